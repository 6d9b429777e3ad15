// Compiled once per directory host: the shipping program and the test
// programs each link their own copy.
#include "lookup/literals.h"

#ifndef CHANNEL_DIRECTORY_HOST
#error "CHANNEL_DIRECTORY_HOST must name the directory service's host"
#endif

#define CHANNEL_BASE_URL "http://" CHANNEL_DIRECTORY_HOST "/channel/"

namespace {

struct LiteralBlock {
    char emptyText[1];
    ByteBufferHead emptyBuffer;
    char baseUrl[sizeof(CHANNEL_BASE_URL)];
    char nameStartMarker[sizeof("\"name\":\"")];
    char nameEndMarker[sizeof("\",")];
};

const LiteralBlock Literals = {
    "",
    {1, 0},
    CHANNEL_BASE_URL,
    "\"name\":\"",
    "\",",
};

} // namespace

TextValue const EmptyText = const_cast<char *>(Literals.emptyText);
ByteBuffer const EmptyBuffer = const_cast<ByteBufferHead *>(&Literals.emptyBuffer);

TextValue BaseUrlText() { return const_cast<char *>(Literals.baseUrl); }
TextValue NameStartMarker() { return const_cast<char *>(Literals.nameStartMarker); }
TextValue NameEndMarker() { return const_cast<char *>(Literals.nameEndMarker); }

void RegisterLiteralConstants()
{
    RegisterStaticRange(&Literals, &Literals + 1);
}
