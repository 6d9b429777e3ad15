#include "app/main_window.h"

#include <string>

#include "app/application.h"
#include "lookup/lookup.h"

#ifdef CHANNEL_TEST_HOOKS
#include <stdlib.h>

#include "app/test_hooks.h"
#endif

namespace {

// Texts inside the program are code page 936; the windows themselves are
// Unicode, so that titles are right whatever the machine's code page is.
const UINT TextCodePage = 936;

const wchar_t MainClassName[] = L"QWidget";
const int WindowWidth = 209;
const int WindowHeight = 80;
const DWORD MainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

const int EditId = 100;
const int EditLeft = 8, EditTop = 16, EditWidth = 112, EditHeight = 24;
const DWORD EditStyle = WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;

const int ButtonId = 110;
const int ButtonLeft = 136, ButtonTop = 16, ButtonWidth = 64, ButtonHeight = 24;
const DWORD ButtonStyle =
    WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER | BS_VCENTER | BS_MULTILINE;
// The button's caption, written as escapes so that the encoding of this
// file does not matter.
const wchar_t ButtonCaption[] = L"\u68F1\u6714";
// The widest character of the text the edit box is sized for.
const wchar_t HeightProbe[] = L"\u5434";

// The window, its controls and what they hold; released when the window is
// destroyed.
struct MainWindow {
    HWND window;
    HWND edit;
    HWND button;
    // The edit box's background, made with the box.
    HBRUSH editBrush;
    // The child that had the focus when the window was last deactivated.
    HWND savedFocus;
    // The window's own copy of its title.
    TextValue title;
};
MainWindow TheMainWindow;

// Loaded once and held for the life of the process.
HICON BigIcon;
HICON SmallIcon;
bool IconsLoaded;

// The controls in focus order.
HWND FocusOrder(int index) { return index == 0 ? TheMainWindow.edit : TheMainWindow.button; }
const int FocusOrderCount = 2;

bool CanTakeFocus(HWND control)
{
    return control && IsWindowVisible(control) && IsWindowEnabled(control) &&
        (GetWindowLongW(control, GWL_STYLE) & WS_TABSTOP);
}

// The next (or previous) control that can take the focus after `current`,
// wrapping around; `current` may be none of them.
HWND NeighbourInFocusOrder(HWND current, bool forward)
{
    int position = -1;
    for (int i = 0; i < FocusOrderCount; ++i)
        if (FocusOrder(i) == current)
            position = i;
    int step = forward ? 1 : FocusOrderCount - 1;
    int index = position >= 0 ? position : (forward ? FocusOrderCount - 1 : 0);
    for (int tried = 0; tried < FocusOrderCount; ++tried) {
        index = (index + step) % FocusOrderCount;
        if (CanTakeFocus(FocusOrder(index)))
            return FocusOrder(index);
    }
    return nullptr;
}

void PassFocusOn()
{
    HWND target = TheMainWindow.savedFocus;
    TheMainWindow.savedFocus = nullptr;
    if (!target || !IsWindow(target) || !IsChild(TheMainWindow.window, target))
        target = NeighbourInFocusOrder(nullptr, true);
    if (target)
        SetFocus(target);
}

void Paint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    HBRUSH face = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    FillRect(dc, &paint.rcPaint, face);
    DeleteObject(face);
    EndPaint(window, &paint);
}

// Everything the window holds goes with it; then the event loop may end.
void ReleaseWindowState()
{
    ReleaseBlock(TheMainWindow.title);
    if (TheMainWindow.editBrush)
        DeleteObject(TheMainWindow.editBrush);
    TheMainWindow = MainWindow();
    ApplyQuitRule();
}

#ifdef CHANNEL_TEST_HOOKS
UINT TestQueryMessage;

// Icon handles are not readable from another process under every
// platform, so the window reports on its own.
LRESULT IconWidth(HWND window, WPARAM kind)
{
    HICON icon = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, kind, 0));
    ICONINFO info;
    if (!icon || !GetIconInfo(icon, &info))
        return 0;
    BITMAP bitmap = {};
    GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    if (info.hbmMask)
        DeleteObject(info.hbmMask);
    return bitmap.bmWidth;
}

LRESULT AnswerTestQuery(HWND window, WPARAM query)
{
    switch (query) {
    case TestQueryBigIconSize:
        return IconWidth(window, ICON_BIG);
    case TestQuerySmallIconSize:
        return IconWidth(window, ICON_SMALL);
    case TestQueryLiveBlocks:
        return LiveBlockCount();
    case TestQueryAnsiCodePage:
        return GetACP();
    default:
        return -1;
    }
}

// The class of window `which`, or one that no one registered when the
// driver asks for that creation to fail.
const wchar_t *ClassFor(const wchar_t *which, const wchar_t *className)
{
    wchar_t broken[16];
    DWORD n = GetEnvironmentVariableW(CHANNEL_TEST_BREAK_WINDOW, broken, 16);
    if (n > 0 && n < 16 && lstrcmpW(broken, which) == 0)
        return L"ChannelLookup.NoSuchClass";
    return className;
}
#else
const wchar_t *ClassFor(const wchar_t *, const wchar_t *className) { return className; }
#endif

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        Paint(window);
        return 0;
    case WM_CTLCOLOREDIT:
        if (reinterpret_cast<HWND>(lParam) == TheMainWindow.edit && TheMainWindow.editBrush) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(0, 0, 0));
            SetBkColor(dc, RGB(255, 255, 255));
            return reinterpret_cast<LRESULT>(TheMainWindow.editBrush);
        }
        break;
    case WM_SETFOCUS: {
        LRESULT result = DefWindowProcW(window, message, wParam, lParam);
        PassFocusOn();
        return result;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(window, focus))
                TheMainWindow.savedFocus = focus;
        }
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == ButtonId && HIWORD(wParam) == BN_CLICKED &&
            reinterpret_cast<HWND>(lParam) == TheMainWindow.button) {
            OnLookupButtonClicked();
            return 0;
        }
        break;
    case WM_NCDESTROY: {
        LRESULT result = DefWindowProcW(window, message, wParam, lParam);
        ReleaseWindowState();
        return result;
    }
    default:
#ifdef CHANNEL_TEST_HOOKS
        if (message == TestQueryMessage && TestQueryMessage != 0)
            return AnswerTestQuery(window, wParam);
#endif
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void LoadIconsOnce(HINSTANCE instance)
{
    if (IconsLoaded)
        return;
    IconsLoaded = true;
    // A missing resource leaves null handles: the platform's default icon.
    BigIcon = static_cast<HICON>(LoadImageW(instance, L"DEFAULT_ICON", IMAGE_ICON, 32, 32, 0));
    SmallIcon = static_cast<HICON>(LoadImageW(instance, L"DEFAULT_ICON", IMAGE_ICON, 16, 16, 0));
}

bool UseOrRegisterClass(HINSTANCE instance)
{
    WNDCLASSW existing;
    if (GetClassInfoW(instance, MainClassName, &existing))
        return true;
    WNDCLASSW windowClass = {};
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    // The window's own handling is attached to it once it exists.
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    windowClass.lpszClassName = MainClassName;
    return RegisterClassW(&windowClass) != 0;
}

// Never lower than the font's character height plus the sunken edge.
void RaiseToMinimumHeight(HWND edit, HFONT font)
{
    HDC screen = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(screen, font);
    SIZE extent = {};
    GetTextExtentPoint32W(screen, HeightProbe, 1, &extent);
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);

    int minimum = extent.cy + 2 * GetSystemMetrics(SM_CYEDGE);
    RECT outer;
    GetWindowRect(edit, &outer);
    if (outer.bottom - outer.top < minimum)
        SetWindowPos(edit, nullptr, 0, 0, outer.right - outer.left, minimum,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool MakeEditBox(HINSTANCE instance, HFONT font)
{
    TheMainWindow.editBrush = CreateSolidBrush(RGB(255, 255, 255));
    HWND edit = CreateWindowExW(0, ClassFor(L"edit", L"EDIT"), L"", EditStyle, EditLeft, EditTop,
                                EditWidth, EditHeight, TheMainWindow.window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(EditId)), instance,
                                nullptr);
    if (!edit)
        return false;
    TheMainWindow.edit = edit;
    const UINT reframe = SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE;

    RaiseToMinimumHeight(edit, font);
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetWindowPos(edit, nullptr, 0, 0, 0, 0, reframe);

    SendMessageW(edit, EM_LIMITTEXT, 0, 0);
    SendMessageW(edit, EM_SETSEL, 0, 0);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);

    // A sunken edge and nothing else around the box.
    LONG_PTR exStyle = GetWindowLongPtrW(edit, GWL_EXSTYLE);
    exStyle &= ~static_cast<LONG_PTR>(WS_EX_STATICEDGE | WS_EX_CLIENTEDGE | WS_EX_DLGMODALFRAME);
    SetWindowLongPtrW(edit, GWL_EXSTYLE, exStyle | WS_EX_CLIENTEDGE);
    SetWindowLongPtrW(edit, GWL_STYLE, GetWindowLongPtrW(edit, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_BORDER));
    SetWindowPos(edit, nullptr, 0, 0, 0, 0, reframe);
    return true;
}

bool MakeButton(HINSTANCE instance, HFONT font)
{
    HWND button = CreateWindowExW(0, ClassFor(L"button", L"BUTTON"), ButtonCaption, ButtonStyle,
                                  ButtonLeft, ButtonTop, ButtonWidth, ButtonHeight,
                                  TheMainWindow.window,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(ButtonId)), instance,
                                  nullptr);
    if (!button)
        return false;
    TheMainWindow.button = button;
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return true;
}

} // namespace

bool CreateMainWindow()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
#ifdef CHANNEL_TEST_HOOKS
    TestQueryMessage = RegisterWindowMessageW(CHANNEL_TEST_QUERY_MESSAGE);
#endif
    if (!UseOrRegisterClass(instance))
        return false;

    // Centred on the primary screen; the quotients truncate toward zero.
    int x = (GetSystemMetrics(SM_CXSCREEN) - WindowWidth) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - WindowHeight) / 2;
    HWND window = CreateWindowExW(0, ClassFor(L"main", MainClassName), L"", MainStyle, x, y,
                                  WindowWidth, WindowHeight, nullptr, nullptr, instance, nullptr);
    if (!window)
        return false;
    TheMainWindow.window = window;
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MainWindowProc));

    // The outer size is fixed whatever the frame and title bar take.
    RECT outer;
    GetWindowRect(window, &outer);
    if (outer.right - outer.left != WindowWidth || outer.bottom - outer.top != WindowHeight)
        MoveWindow(window, x, y, WindowWidth, WindowHeight, TRUE);

    LoadIconsOnce(instance);
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(BigIcon));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(SmallIcon));

    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);

    if (!MakeEditBox(instance, font) || !MakeButton(instance, font)) {
        DestroyWindow(window);
        return false;
    }

    SetPreTranslateHook(PreTranslateWindowKey);
    ShowWindow(TheMainWindow.edit, SW_SHOWNA);
    ShowWindow(TheMainWindow.button, SW_SHOWNA);
    // Activation gives the window the focus, which it passes to the edit box.
    ShowWindow(window, SW_SHOW);
    return true;
}

HWND MainWindowHandle() { return TheMainWindow.window; }

bool PreTranslateWindowKey(MSG *message)
{
    if (message->message != WM_KEYDOWN && message->message != WM_SYSKEYDOWN)
        return false;
    HWND window = TheMainWindow.window;
    if (!window || (message->hwnd != window && !IsChild(window, message->hwnd)))
        return false;

    WPARAM key = message->wParam;
    if (key != VK_TAB && key != VK_ESCAPE && key != VK_RETURN)
        return false;
    bool shift = GetKeyState(VK_SHIFT) < 0;
    bool control = GetKeyState(VK_CONTROL) < 0;
    bool alt = GetKeyState(VK_MENU) < 0;

    // A control that wants the key for itself keeps it.
    HWND focus = GetFocus();
    if (focus && (focus == window || IsChild(window, focus))) {
        LRESULT code = SendMessageW(focus, WM_GETDLGCODE, key, reinterpret_cast<LPARAM>(message));
        if (code & (DLGC_WANTALLKEYS | DLGC_WANTMESSAGE))
            return false;
        if (key == VK_TAB && (code & DLGC_WANTTAB))
            return false;
    }

    if (key == VK_TAB && !control && !alt) {
        HWND next = NeighbourInFocusOrder(focus, !shift);
        if (next)
            SetFocus(next);
        return true;
    }
    if (key == VK_ESCAPE && !shift && !control && !alt) {
        SendMessageW(window, WM_CLOSE, 0, 0);
        return true;
    }
    // Enter: the window has no default button and does not move the focus.
    return false;
}

TextValue ReadEditBoxText()
{
    HWND edit = TheMainWindow.edit;
    int n = GetWindowTextLengthW(edit);
    if (n <= 0)
        return nullptr;
    std::wstring wide(n + 1, L'\0');
    n = GetWindowTextW(edit, &wide[0], n + 1);
    if (n <= 0)
        return nullptr;
    int m = WideCharToMultiByte(TextCodePage, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    if (m <= 0)
        return nullptr;
    TextValue text = static_cast<TextValue>(AllocateBlock(m + 1));
    WideCharToMultiByte(TextCodePage, 0, wide.data(), n, text, m, nullptr, nullptr);
    text[m] = '\0';
    return text;
}

void SetWindowCaption(const char *text)
{
    // Closed during a lookup's pause: there is no title left to show.
    HWND window = TheMainWindow.window;
    if (!window)
        return;
    TextValue copy = CopyText(text);
    ReleaseBlock(TheMainWindow.title);
    TheMainWindow.title = copy;

    int n = TextLength(text);
    int units = n > 0 ? MultiByteToWideChar(TextCodePage, 0, text, n, nullptr, 0) : 0;
    std::wstring wide(units + 1, L'\0');
    if (units > 0)
        MultiByteToWideChar(TextCodePage, 0, text, n, &wide[0], units);
    SetWindowTextW(window, wide.c_str());
}

void OnLookupButtonClicked()
{
    TextValue number = ReadEditBoxText();
    TextValue display = LookUpChannel(number);
    ReleaseBlock(number);
    SetWindowCaption(display);
    ReleaseBlock(display);
}
