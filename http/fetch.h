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
