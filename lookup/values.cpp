#include "lookup/values.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

HANDLE ProcessHeap;
int32_t LiveBlocks;

struct StaticRange {
    const char *start;
    const char *end;
};
// The list is written once at start-up; it grows by doubling.
StaticRange *StaticRanges;
int32_t StaticRangeCount;
int32_t StaticRangeCapacity;

void (*FatalCleanup)();

bool InStaticRange(const void *address)
{
    const char *p = static_cast<const char *>(address);
    for (int32_t i = 0; i < StaticRangeCount; ++i)
        if (StaticRanges[i].start <= p && p < StaticRanges[i].end)
            return true;
    return false;
}

TextValue TextFromBytes(const char *bytes, int32_t n)
{
    char *text = static_cast<char *>(AllocateBlock(n + 1));
    memcpy(text, bytes, n);
    text[n] = '\0';
    return text;
}

} // namespace

void *AllocateBlock(int32_t size)
{
    if (!ProcessHeap)
        ProcessHeap = GetProcessHeap();
    void *block = size < 0 ? nullptr : HeapAlloc(ProcessHeap, 0, static_cast<SIZE_T>(size));
    if (!block) {
        char message[96];
        snprintf(message, sizeof message, "Memory allocation failed: %ld bytes were requested.",
                 static_cast<long>(size));
        ReportFatalError(message);
    }
    ++LiveBlocks;
    return block;
}

void ReleaseBlock(const void *block)
{
    if (!block || InStaticRange(block))
        return;
    HeapFree(ProcessHeap, 0, const_cast<void *>(block));
    --LiveBlocks;
}

void RegisterStaticRange(const void *start, const void *end)
{
    if (StaticRangeCount == StaticRangeCapacity) {
        // Taken from the heap directly: the list itself is not a value.
        int32_t capacity = StaticRangeCapacity ? StaticRangeCapacity * 2 : 4;
        if (!ProcessHeap)
            ProcessHeap = GetProcessHeap();
        void *grown = StaticRanges
            ? HeapReAlloc(ProcessHeap, 0, StaticRanges, capacity * sizeof(StaticRange))
            : HeapAlloc(ProcessHeap, 0, capacity * sizeof(StaticRange));
        if (!grown)
            ReportFatalError("Memory allocation failed while registering constants.");
        StaticRanges = static_cast<StaticRange *>(grown);
        StaticRangeCapacity = capacity;
    }
    StaticRanges[StaticRangeCount++] = {static_cast<const char *>(start),
                                        static_cast<const char *>(end)};
}

int32_t LiveBlockCount() { return LiveBlocks; }

int32_t TextLength(const char *text)
{
    return text ? static_cast<int32_t>(strlen(text)) : 0;
}

TextValue ConcatText(const char *first, const char *second)
{
    // Each piece is measured once and the result allocated once.
    int32_t firstLength = TextLength(first);
    int32_t secondLength = TextLength(second);
    char *result = static_cast<char *>(AllocateBlock(firstLength + secondLength + 1));
    memcpy(result, first ? first : "", firstLength);
    memcpy(result + firstLength, second ? second : "", secondLength);
    result[firstLength + secondLength] = '\0';
    return result;
}

int32_t FindText(const char *text, const char *sought)
{
    int32_t l = TextLength(text);
    int32_t k = TextLength(sought);
    if (k == 0)
        return l > 0 ? 1 : -1;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    // A candidate never starts on the second byte of a two-byte character.
    // Code page 936 leads one with 0x81 to 0xFE only; 0x80 (the euro sign)
    // and 0xFF stand alone.
    for (int32_t i = 0; l - i >= k; i += bytes[i] >= 0x81 && bytes[i] <= 0xFE ? 2 : 1)
        if (memcmp(bytes + i, sought, k) == 0)
            return i + 1;
    return -1;
}

TextValue LeftText(const char *text, int32_t n)
{
    if (n <= 0)
        return nullptr;
    int32_t l = TextLength(text);
    int32_t m = n < l ? n : l;
    return m == 0 ? nullptr : TextFromBytes(text, m);
}

TextValue RightText(const char *text, int32_t n)
{
    if (n <= 0)
        return nullptr;
    int32_t l = TextLength(text);
    int32_t m = n < l ? n : l;
    return m == 0 ? nullptr : TextFromBytes(text + (l - m), m);
}

TextValue CopyText(const char *text)
{
    return text ? TextFromBytes(text, TextLength(text)) : nullptr;
}

int32_t BufferLength(const ByteBufferHead *buffer)
{
    return buffer ? buffer->count : 0;
}

uint8_t *BufferData(const ByteBufferHead *buffer)
{
    return buffer ? reinterpret_cast<uint8_t *>(const_cast<ByteBufferHead *>(buffer) + 1) : nullptr;
}

namespace {

ByteBuffer NewBuffer(int32_t n)
{
    if (n > INT32_MAX - static_cast<int32_t>(sizeof(ByteBufferHead))) {
        char message[96];
        snprintf(message, sizeof message, "Memory allocation failed: %ld bytes were requested.",
                 static_cast<long>(n));
        ReportFatalError(message);
    }
    ByteBuffer buffer = static_cast<ByteBuffer>(AllocateBlock(n + sizeof(ByteBufferHead)));
    buffer->header = 1;
    buffer->count = n;
    return buffer;
}

} // namespace

ByteBuffer ZeroBuffer(int32_t n)
{
    if (n <= 0)
        return nullptr;
    ByteBuffer buffer = NewBuffer(n);
    memset(BufferData(buffer), 0, n);
    return buffer;
}

ByteBuffer BufferFromBytes(const void *bytes, int32_t n)
{
    if (n <= 0)
        return nullptr;
    ByteBuffer buffer = NewBuffer(n);
    memcpy(BufferData(buffer), bytes, n);
    return buffer;
}

ByteBuffer CopyBuffer(const ByteBufferHead *buffer)
{
    if (!buffer)
        return nullptr;
    int32_t size = buffer->count + static_cast<int32_t>(sizeof(ByteBufferHead));
    ByteBuffer copy = static_cast<ByteBuffer>(AllocateBlock(size));
    memcpy(copy, buffer, size);
    return copy;
}

TextValue BufferToText(const ByteBufferHead *buffer)
{
    int32_t c = BufferLength(buffer);
    if (c <= 0)
        return nullptr;
    const char *data = reinterpret_cast<const char *>(BufferData(buffer));
    const void *zero = memchr(data, 0, c);
    int32_t z = zero ? static_cast<int32_t>(static_cast<const char *>(zero) - data) : c;
    return z == 0 ? nullptr : TextFromBytes(data, z);
}

int32_t TruncateToInt(double value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value))));
}

void SetFatalErrorCleanup(void (*cleanup)()) { FatalCleanup = cleanup; }

void ReportFatalError(const char *message)
{
    char text[512];
    snprintf(text, sizeof text, "A runtime error has occurred.\r\n\r\n%s", message ? message : "");
    // No owner: the main window stays enabled and its messages keep flowing
    // while the box is up.
    MessageBoxA(nullptr, text, "Error", MB_OK | MB_ICONHAND);
    if (FatalCleanup)
        FatalCleanup();
    ExitProcess(0xFFFFFFFFu);
}
