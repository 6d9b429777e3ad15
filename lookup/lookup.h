// Channel lookup: from the number the user typed to the text of the title.
#pragma once

#include <windows.h>

#include "lookup/values.h"

// How long a lookup pauses after decoding the reply.
const int32_t LookupPauseMs = 500;

// The number followed directly by the channel's name as the directory
// service reports it; never null. Pauses LookupPauseMs while dispatching
// messages.
TextValue LookUpChannel(const char *number);

TextValue Utf8ToAnsi(const ByteBufferHead *utf8);
ByteBuffer Utf8ToUtf16(const ByteBufferHead *utf8);
TextValue Utf16ToAnsi(const ByteBufferHead *utf16);
// The byte count of a conversion's result of `units` units of `unitSize`
// bytes each, computed without overflow; -1 when one buffer cannot hold it.
int32_t ResultBytes(int64_t units, int32_t unitSize);

// What lies between the first `start` and the next `end` after it;
// EmptyText when either is missing.
TextValue TextBetween(const char *text, const char *start, const char *end);

// Returns once more than `milliseconds` have passed, dispatching every
// message that arrives meanwhile. A WM_QUIT stays queued.
void PauseWithEvents(int32_t milliseconds);
// Dispatches queued messages until the queue is empty or a WM_QUIT is next.
void PumpPendingMessages();
// Takes one message (waiting for one if need be), offers it to the
// pre-translation hook, then translates and dispatches it. Returns true when
// the message was WM_QUIT, which is not dispatched; its value then goes to
// `quitValue` when one is given.
bool DispatchOneMessage(WPARAM *quitValue = nullptr);

// A window that wants first sight of queued messages (keyboard navigation)
// installs a hook; a hook that returns true has consumed the message.
typedef bool (*PreTranslateHook)(MSG *message);
void SetPreTranslateHook(PreTranslateHook hook);
