// Reads the program's window from inside the same Wine prefix for scripts/run:
// in Wine's virtual desktop the windows are not X windows, so only Win32 can
// tell where they are and what their titles say.
//
//   probe <desktop> window <ms>
//       waits for the program's visible main window and prints its "window"
//       and "close" (box) rectangles and its "edit" box's and "button"'s,
//       each as screen coordinates: left top width height
//   probe <desktop> title <ms>
//       waits until the window's title is not empty and prints it as UTF-8
//   probe <desktop> gone <ms>
//       waits until no such window is left
//
// <desktop> is the NAME that Wine's explorer was given with /desktop=NAME.
// Exit code 0 on success, 1 after the time-out, 2 for bad arguments, 3 when
// the desktop cannot be joined in time.
#include <windows.h>

#include <string>

#include "app/window_names.h"

static void Print(const std::string &text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

static void PrintRect(const char *label, const RECT &r)
{
    char line[128];
    wsprintfA(line, "%s %ld %ld %ld %ld\n", label, r.left, r.top, r.right - r.left, r.bottom - r.top);
    Print(line);
}

static HWND FindVisible(const wchar_t *className)
{
    HWND window = FindWindowW(className, nullptr);
    return window && IsWindowVisible(window) ? window : nullptr;
}

template <typename Condition> static bool Poll(DWORD timeoutMs, Condition condition)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

static void PrintControl(const char *label, HWND window, int id)
{
    RECT r;
    HWND control = GetDlgItem(window, id);
    if (control && GetWindowRect(control, &r))
        PrintRect(label, r);
}

// The close box as the window's own hit test sees it along the middle of the
// title bar.
static bool FindCloseBox(HWND window, RECT *box)
{
    TITLEBARINFO bar = {};
    bar.cbSize = sizeof bar;
    if (!GetTitleBarInfo(window, &bar))
        return false;
    const RECT &r = bar.rcTitleBar;
    LONG y = (r.top + r.bottom) / 2;
    LONG right = -1, left = -1;
    for (LONG x = r.right - 1; x >= r.left; --x) {
        bool hit = SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y)) == HTCLOSE;
        if (hit && right < 0)
            right = x;
        else if (!hit && right >= 0)
            break;
        if (hit)
            left = x;
    }
    if (right < 0)
        return false;
    *box = {left, r.top, right + 1, r.bottom};
    return true;
}

static std::wstring TitleOf(HWND window)
{
    int length = GetWindowTextLengthW(window);
    std::wstring text(length + 1, L'\0');
    text.resize(GetWindowTextW(window, &text[0], length + 1));
    return text;
}

static std::string ToUtf8(const std::wstring &text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size, nullptr, nullptr);
    return utf8;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4)
        return 2;
    std::wstring command = argv[2];
    const wchar_t *className = MainWindowClassName;
    DWORD timeoutMs = static_cast<DWORD>(_wtoi(argv[3]));
    // FindWindow only sees the calling thread's desktop, which explorer may
    // not have made yet. The handle stays the thread's until the process ends.
    HDESK desktop = nullptr;
    if (!Poll(timeoutMs, [&] { return (desktop = OpenDesktopW(argv[1], 0, FALSE, GENERIC_ALL)) != nullptr; }) ||
        !SetThreadDesktop(desktop))
        return 3;
    HWND window = nullptr;

    if (command == L"window") {
        if (!Poll(timeoutMs, [&] { return (window = FindVisible(className)) != nullptr; }))
            return 1;
        RECT r;
        GetWindowRect(window, &r);
        PrintRect("window", r);
        RECT close;
        if (FindCloseBox(window, &close))
            PrintRect("close", close);
        PrintControl("edit", window, EditBoxId);
        PrintControl("button", window, LookupButtonId);
        return 0;
    }
    if (command == L"title") {
        std::wstring title;
        if (!Poll(timeoutMs, [&] {
                window = FindVisible(className);
                return window && !(title = TitleOf(window)).empty();
            }))
            return 1;
        Print(ToUtf8(title) + "\n");
        return 0;
    }
    if (command == L"gone")
        return Poll(timeoutMs, [&] { return FindWindowW(className, nullptr) == nullptr; }) ? 0 : 1;
    return 2;
}
