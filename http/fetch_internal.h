// The fetch's inner parts and test seams: for http/fetch.cpp and the tests
// only; the program's callers use http/fetch.h.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <stdint.h>

#include "http/fetch.h"

// Send and receive time-out of every connection, in milliseconds; each byte
// that arrives starts it again. Tests shorten it; the program keeps 30000.
extern DWORD FetchTimeoutMs;
// The most one fetch may take from its start, whatever the server does, in
// milliseconds. Tests shorten it; the program keeps 30000.
extern DWORD FetchDeadlineMs;
// This many of the next root opens fail as if the platform had refused
// them.
extern int32_t FailingRootOpens;

// Closes the process-wide root handle, so that the next fetch opens it
// again.
void ResetHttpClient();
// Whether the process-wide root handle is open.
bool HttpClientIsOpen();
// The process-wide root handle (null when closed), to show that fetches
// share it.
HINTERNET HttpClientRoot();

// The most one read asks for, from the Content-Length text (or null when
// the response has none).
int32_t ChunkSizeFor(const char *contentLength);

// What a fetch takes from its URL.
struct UrlParts {
    char host[256];
    char object[2048];  // path and query; a fragment, if any, is still there
    char userName[128];
    char password[128];
    INTERNET_PORT port;
    // The connection's service: INTERNET_SERVICE_FTP, _GOPHER or _HTTP, or
    // one of this program's own values from 4096 up for the schemes that
    // have none (4107 for https).
    DWORD service;
};
// Canonicalises and cracks `url`; false when the platform cannot.
bool SplitUrl(const char *url, UrlParts *parts);
