// The program's literal constants. They live in one contiguous block that
// the memory service recognises and never frees; releasing them is harmless.
#pragma once

#include "lookup/values.h"

// "http://<directory host>/channel/"; the host is fixed at build time.
TextValue BaseUrlText();
// `"name":"` and `",`: the channel's name lies between them in a reply.
TextValue NameStartMarker();
TextValue NameEndMarker();
