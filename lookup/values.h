// Text and byte-buffer values, the heap blocks behind them, and the fatal
// error report. Every text in the program is 8-bit code page 936.
//
// Ownership: whatever a routine returns belongs to the caller, who releases
// it exactly once with ReleaseBlock. Arguments are only read. Null is the
// empty value everywhere.
#pragma once

#include <stdint.h>

// The code page of every text in the program, used explicitly whatever the
// machine's ANSI code page is.
const unsigned TextCodePage = 936;

// A heap block: the bytes of the text, then one zero byte. Null and a block
// that starts with the zero byte are both the empty text.
typedef char *TextValue;

// The fixed head of a buffer block; `count` data bytes follow it directly,
// with no terminator. `header` is always 1 (the block has the layout of a
// one-dimensional array).
struct ByteBufferHead {
    int32_t header;
    int32_t count;
};
typedef ByteBufferHead *ByteBuffer;

// Static constants; ReleaseBlock leaves them alone.
extern TextValue const EmptyText;
extern ByteBuffer const EmptyBuffer;

// Memory service over the process heap. AllocateBlock never returns null:
// exhaustion ends the process through ReportFatalError.
void *AllocateBlock(int32_t size);
void ReleaseBlock(const void *block);
void RegisterStaticRange(const void *start, const void *end);
// Registers the block of literal constants; start-up calls it once.
void RegisterLiteralConstants();
// Blocks taken and not yet released, for tests that check a whole operation
// gives back everything it took.
int32_t LiveBlockCount();

int32_t TextLength(const char *text);
TextValue ConcatText(const char *first, const char *second);
int32_t FindText(const char *text, const char *sought);
TextValue LeftText(const char *text, int32_t n);
TextValue RightText(const char *text, int32_t n);
TextValue CopyText(const char *text);

int32_t BufferLength(const ByteBufferHead *buffer);
uint8_t *BufferData(const ByteBufferHead *buffer);
ByteBuffer ZeroBuffer(int32_t n);
ByteBuffer BufferFromBytes(const void *bytes, int32_t n);
ByteBuffer CopyBuffer(const ByteBufferHead *buffer);
TextValue BufferToText(const ByteBufferHead *buffer);

// Truncates toward zero to 64 bits and keeps the low 32 bits.
int32_t TruncateToInt(double value);

// Shows an error box with no owner, runs the registered clean-up (if any)
// and ends the process with exit code -1. `message` is code page 936 text.
[[noreturn]] void ReportFatalError(const char *message);
// The clean-up that ReportFatalError runs before the process ends; start-up
// registers its shutdown here.
void SetFatalErrorCleanup(void (*cleanup)());
