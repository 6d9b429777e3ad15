// The test build's side of the test hooks: the driver's queries and the
// switch that makes a window's creation fail.
#include "app/test_hooks.h"

#include "lookup/unique_any.h"
#include "lookup/values.h"

namespace {

using UniqueBitmap = UniqueAny<HBITMAP, DeleteObject>;

// Icon handles are not readable from another process under every
// platform, so the window reports on its own.
LRESULT IconWidth(HWND window, WPARAM kind)
{
    HICON icon = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, kind, 0));
    ICONINFO info;
    if (!icon || !GetIconInfo(icon, &info))
        return 0;
    // GetIconInfo hands over copies of the icon's bitmaps.
    UniqueBitmap colour(info.hbmColor);
    UniqueBitmap mask(info.hbmMask);
    BITMAP bitmap = {};
    GetObjectW(colour ? colour.get() : mask.get(), sizeof bitmap, &bitmap);
    return bitmap.bmWidth;
}

} // namespace

const wchar_t *ClassForWindow(const wchar_t *which, const wchar_t *className)
{
    wchar_t broken[16];
    DWORD n = GetEnvironmentVariableW(CHANNEL_TEST_BREAK_WINDOW, broken, 16);
    if (n > 0 && n < 16 && lstrcmpW(broken, which) == 0)
        return L"ChannelLookup.NoSuchClass";
    return className;
}

bool AnswerTestQuery(HWND window, UINT message, WPARAM query, LRESULT *answer)
{
    static const UINT QueryMessage = RegisterWindowMessageW(CHANNEL_TEST_QUERY_MESSAGE);
    if (message != QueryMessage || QueryMessage == 0)
        return false;
    switch (query) {
    case TestQueryBigIconSize:
        *answer = IconWidth(window, ICON_BIG);
        break;
    case TestQuerySmallIconSize:
        *answer = IconWidth(window, ICON_SMALL);
        break;
    case TestQueryLiveBlocks:
        *answer = LiveBlockCount();
        break;
    case TestQueryAnsiCodePage:
        *answer = GetACP();
        break;
    default:
        *answer = -1;
        break;
    }
    return true;
}
