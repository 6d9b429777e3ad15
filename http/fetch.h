// HTTP GET over WinINet. To its caller the fetch is synchronous: it returns
// when the reply is complete, the server gives up, or the fetch's deadline
// passes, whichever comes first.
#pragma once

#include <stdint.h>

#include "lookup/values.h"

// The most body bytes one fetch reads; a longer reply is cut here, as if
// the server had closed.
const int32_t FetchBodyLimit = 64 << 20;
// The most redirects one fetch follows; past them the last reply's body is
// the result.
const int32_t FetchRedirectLimit = 10;

// The whole body of the response to a GET of `url`, whatever its status;
// null when nothing arrived. Failures are silent.
ByteBuffer FetchUrl(const char *url);
