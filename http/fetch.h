// HTTP GET over WinINet, synchronous, on the calling thread.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "lookup/values.h"

// The whole body of the response to a GET of `url`, whatever its status;
// null when nothing arrived. Failures are silent.
ByteBuffer FetchUrl(const char *url);

// The process-wide root handle of the internet client: opened by the first
// fetch that needs it, shared by all later fetches, closed at normal exit.
struct HttpClient {
    HINTERNET root = nullptr;
    ~HttpClient();
};
extern HttpClient TheHttpClient;

// Bytes asked for by each read, from the Content-Length text (or null when
// the response has none).
int32_t ChunkSizeFor(const char *contentLength);

// What a fetch takes from its URL.
struct UrlParts {
    char host[256];
    char object[2048];  // path and query; a fragment, if any, is still there
    char userName[128];
    char password[128];
    INTERNET_PORT port;
    DWORD service;      // INTERNET_SERVICE_*; 4107 for https
};
// Canonicalises and cracks `url`; false when the platform cannot.
bool SplitUrl(const char *url, UrlParts *parts);

// Send and receive time-out of every connection, in milliseconds. Without it
// a server that accepts and never answers would hold the program forever.
// Tests shorten it; the program keeps the default of 30 seconds.
extern DWORD FetchTimeoutMs;
// For tests: this many of the next root opens fail as if the platform had
// refused them.
extern int32_t FailingRootOpens;
