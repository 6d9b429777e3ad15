#include "lookup/lookup.h"

#include "http/fetch.h"
#include "lookup/literals.h"

namespace {

const UINT ReplyCodePage = CP_UTF8;
// The most data bytes one buffer can hold: its block, head included, is
// counted in 32 bits.
const double LargestBufferCount = INT32_MAX - static_cast<double>(sizeof(ByteBufferHead));

PreTranslateHook TheHook;

bool QuitIsNext()
{
    MSG message;
    return PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) && message.message == WM_QUIT;
}

} // namespace

TextValue LookUpChannel(const char *number)
{
    // The number goes in exactly as typed: no trimming and no escaping.
    TextValue url = ConcatText(BaseUrlText(), number);
    ByteBuffer body = FetchUrl(url);
    ReleaseBlock(url);

    TextValue reply = Utf8ToAnsi(body);
    ReleaseBlock(body);

    PauseWithEvents(LookupPauseMs);

    TextValue name = TextBetween(reply, NameStartMarker(), NameEndMarker());
    TextValue joined = ConcatText(number, name);
    ReleaseBlock(name);
    ReleaseBlock(reply);

    TextValue result = CopyText(joined);
    ReleaseBlock(joined);
    return result;
}

TextValue Utf8ToAnsi(const ByteBufferHead *utf8)
{
    ByteBuffer utf16 = Utf8ToUtf16(utf8);
    TextValue text = Utf16ToAnsi(utf16);
    ReleaseBlock(utf16);
    return text;
}

int32_t ResultBytes(int64_t units, int32_t unitSize)
{
    // Exact in double precision: both factors are below 2^32.
    double bytes = static_cast<double>(units) * unitSize;
    if (units < 0 || unitSize < 0 || bytes > LargestBufferCount)
        return -1;
    return TruncateToInt(bytes);
}

ByteBuffer Utf8ToUtf16(const ByteBufferHead *utf8)
{
    int32_t n = BufferLength(utf8);
    const char *bytes = reinterpret_cast<const char *>(BufferData(utf8));
    // An explicit length: no terminator is read and none is written. An
    // empty input fails here and yields null below.
    int count = MultiByteToWideChar(ReplyCodePage, 0, bytes, n, nullptr, 0);
    // A result too large for one buffer is a reply that cannot be decoded:
    // null, like any other (ZeroBuffer gives null for -1).
    ByteBuffer units = ZeroBuffer(ResultBytes(count, sizeof(WCHAR)));
    if (units)
        MultiByteToWideChar(ReplyCodePage, 0, bytes, n, reinterpret_cast<LPWSTR>(BufferData(units)),
                            count);
    return units;
}

TextValue Utf16ToAnsi(const ByteBufferHead *utf16)
{
    // An odd trailing byte is no whole unit and is dropped.
    int32_t cch = TruncateToInt(static_cast<double>(BufferLength(utf16)) / 2.0);
    const WCHAR *units = reinterpret_cast<const WCHAR *>(BufferData(utf16));
    int m = WideCharToMultiByte(TextCodePage, WC_COMPOSITECHECK, units, cch, nullptr, 0, nullptr,
                                nullptr);
    // As above: a text too large for one buffer is none.
    ByteBuffer bytes = ZeroBuffer(ResultBytes(m, 1));
    if (bytes)
        WideCharToMultiByte(TextCodePage, WC_COMPOSITECHECK, units, cch,
                            reinterpret_cast<LPSTR>(BufferData(bytes)), m, nullptr, nullptr);
    TextValue text = BufferToText(bytes);
    ReleaseBlock(bytes);
    return text;
}

TextValue TextBetween(const char *text, const char *start, const char *end)
{
    int32_t a = FindText(text, start);
    if (a == -1)
        return EmptyText;
    int32_t k = TruncateToInt(static_cast<double>(TextLength(text)) - a - TextLength(start) + 1.0);
    TextValue rest = RightText(text, k);
    int32_t b = FindText(rest, end);
    if (b == -1) {
        ReleaseBlock(rest);
        return EmptyText;
    }
    TextValue name = LeftText(rest, TruncateToInt(static_cast<double>(b) - 1.0));
    ReleaseBlock(rest);
    TextValue result = CopyText(name);
    ReleaseBlock(name);
    return result;
}

void PauseWithEvents(int32_t milliseconds)
{
    if (milliseconds <= 0)
        return;
    DWORD duration = static_cast<DWORD>(milliseconds);
    DWORD start = GetTickCount();
    for (;;) {
        PumpPendingMessages();
        PumpPendingMessages();
        // Unsigned difference: correct across the wrap of the tick count.
        DWORD elapsed = GetTickCount() - start;
        if (elapsed > duration)
            return;
        DWORD remaining = duration - elapsed + 1;
        // A queued WM_QUIT keeps the queue signalled, so waiting on it would
        // return at once; it is left for the event loop and nothing behind
        // it may be dispatched, so the rest of the pause is slept out.
        if (QuitIsNext())
            Sleep(remaining);
        else
            MsgWaitForMultipleObjectsEx(0, nullptr, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void PumpPendingMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) && message.message != WM_QUIT)
        DispatchOneMessage();
}

bool DispatchOneMessage(WPARAM *quitValue)
{
    MSG message;
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
        if (quitValue)
            *quitValue = message.wParam;
        return true;
    }
    // -1 is an error; with no window filter it cannot happen, and there is
    // no message to hand on.
    if (got == -1)
        return false;
    if (TheHook && TheHook(&message))
        return false;
    TranslateMessage(&message);
    DispatchMessageW(&message);
    return false;
}

void SetPreTranslateHook(PreTranslateHook hook) { TheHook = hook; }
