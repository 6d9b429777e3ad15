#include "app/main_window.h"

#include <windowsx.h>

#include <string>

#include "app/application.h"
#include "app/test_hooks.h"
#include "app/window_names.h"
#include "lookup/lookup.h"
#include "lookup/unique_any.h"

namespace {

const int WindowWidth = 209;
const int WindowHeight = 80;
const DWORD MainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

const int EditLeft = 8, EditTop = 16, EditWidth = 112, EditHeight = 24;
const DWORD EditStyle = WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;

const int ButtonLeft = 136, ButtonTop = 16, ButtonWidth = 64, ButtonHeight = 24;
const DWORD ButtonStyle =
    WS_CHILD | WS_CLIPSIBLINGS | WS_TABSTOP | BS_PUSHBUTTON | BS_CENTER | BS_VCENTER | BS_MULTILINE;
// A character of the script the edit box is made for; only its height is
// measured.
const wchar_t HeightProbe[] = L"\u5434";

using UniqueBrush = UniqueAny<HBRUSH, DeleteObject>;

void ReleaseScreenDC(HDC dc) { ReleaseDC(nullptr, dc); }
using UniqueScreenDC = UniqueAny<HDC, ReleaseScreenDC>;

// An object selected into a DC until the one it replaced is put back.
struct Selection {
    HDC dc;
    HGDIOBJ previous;
};
void RestoreSelection(Selection *selection) { SelectObject(selection->dc, selection->previous); }
using UniqueSelection = UniqueAny<Selection *, RestoreSelection>;

// The window, its controls and what they hold; released when the window is
// destroyed.
struct MainWindow {
    HWND window;
    HWND edit;
    HWND button;
    // The edit box's background, made with the box.
    UniqueBrush editBrush;
    // The child that had the focus when the window was last deactivated.
    HWND savedFocus;
    // The window's own copy of its title, in code page 936: the title bar
    // holds only a UTF-16 copy. SetWindowCaption replaces it; it goes with
    // the window, and is the one block the window keeps between lookups.
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

// Everything the window holds goes with it; then the event loop may end.
void ReleaseWindowState()
{
    ReleaseBlock(TheMainWindow.title);
    TheMainWindow = MainWindow();
    ApplyQuitRule();
}

// The class has no background brush: the window paints its face itself.
void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    UniqueBrush face(CreateSolidBrush(GetSysColor(COLOR_BTNFACE)));
    FillRect(dc, &paint.rcPaint, face.get());
    EndPaint(window, &paint);
}

// Black on white, whatever the system's window colours are.
HBRUSH OnCtlColorEdit(HWND window, HDC dc, HWND control, int)
{
    if (control != TheMainWindow.edit || !TheMainWindow.editBrush)
        return FORWARD_WM_CTLCOLOREDIT(window, dc, control, DefWindowProcW);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, RGB(255, 255, 255));
    return TheMainWindow.editBrush.get();
}

void OnSetFocus(HWND window, HWND previous)
{
    FORWARD_WM_SETFOCUS(window, previous, DefWindowProcW);
    PassFocusOn();
}

// Remembers the focused control on the way out; the default handling on the
// way in focuses the window, which passes the focus on (OnSetFocus).
void OnActivate(HWND window, UINT state, HWND other, BOOL minimized)
{
    if (state == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(window, focus))
            TheMainWindow.savedFocus = focus;
    }
    FORWARD_WM_ACTIVATE(window, state, other, minimized, DefWindowProcW);
}

void OnCommand(HWND window, int id, HWND control, UINT code)
{
    if (id == LookupButtonId && code == BN_CLICKED && control == TheMainWindow.button) {
        OnLookupButtonClicked();
        return;
    }
    FORWARD_WM_COMMAND(window, id, control, code, DefWindowProcW);
}

void OnNcDestroy(HWND window)
{
    FORWARD_WM_NCDESTROY(window, DefWindowProcW);
    ReleaseWindowState();
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        HANDLE_MSG(window, WM_PAINT, OnPaint);
        HANDLE_MSG(window, WM_CTLCOLOREDIT, OnCtlColorEdit);
        HANDLE_MSG(window, WM_SETFOCUS, OnSetFocus);
        HANDLE_MSG(window, WM_ACTIVATE, OnActivate);
        HANDLE_MSG(window, WM_COMMAND, OnCommand);
        HANDLE_MSG(window, WM_NCDESTROY, OnNcDestroy);
    }
    LRESULT answer = 0;
    if (AnswerTestQuery(window, message, wParam, &answer))
        return answer;
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
    if (GetClassInfoW(instance, MainWindowClassName, &existing))
        return true;
    WNDCLASSW windowClass = {};
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    windowClass.lpszClassName = MainWindowClassName;
    return RegisterClassW(&windowClass) != 0;
}

int CharacterHeight(HFONT font)
{
    UniqueScreenDC screen(GetDC(nullptr));
    Selection selected = {screen.get(), SelectObject(screen.get(), font)};
    UniqueSelection restore(&selected);
    SIZE extent = {};
    GetTextExtentPoint32W(screen.get(), HeightProbe, 1, &extent);
    return extent.cy;
}

// Never lower than the font's character height plus the sunken edge.
void RaiseToMinimumHeight(HWND edit, HFONT font)
{
    int minimum = CharacterHeight(font) + 2 * GetSystemMetrics(SM_CYEDGE);
    RECT outer;
    GetWindowRect(edit, &outer);
    if (outer.bottom - outer.top < minimum)
        SetWindowPos(edit, nullptr, 0, 0, outer.right - outer.left, minimum,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool MakeEditBox(HINSTANCE instance, HFONT font)
{
    TheMainWindow.editBrush.reset(CreateSolidBrush(RGB(255, 255, 255)));
    HWND edit = CreateWindowExW(0, ClassForWindow(L"edit", L"EDIT"), L"", EditStyle, EditLeft,
                                EditTop, EditWidth, EditHeight, TheMainWindow.window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(EditBoxId)), instance,
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

    // The sunken edge is the box's only frame: it was made without any
    // border or edge, so the edge is all there is to add.
    SetWindowLongPtrW(edit, GWL_EXSTYLE, GetWindowLongPtrW(edit, GWL_EXSTYLE) | WS_EX_CLIENTEDGE);
    SetWindowPos(edit, nullptr, 0, 0, 0, 0, reframe);
    return true;
}

bool MakeButton(HINSTANCE instance, HFONT font)
{
    HWND button = CreateWindowExW(0, ClassForWindow(L"button", L"BUTTON"), LookupButtonCaption,
                                  ButtonStyle, ButtonLeft, ButtonTop, ButtonWidth, ButtonHeight,
                                  TheMainWindow.window,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(LookupButtonId)),
                                  instance, nullptr);
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
    if (!UseOrRegisterClass(instance))
        return false;

    // Centred on the primary screen; the quotients truncate toward zero.
    int x = (GetSystemMetrics(SM_CXSCREEN) - WindowWidth) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - WindowHeight) / 2;
    HWND window = CreateWindowExW(0, ClassForWindow(L"main", MainWindowClassName), L"", MainStyle,
                                  x, y, WindowWidth, WindowHeight, nullptr, nullptr, instance,
                                  nullptr);
    if (!window)
        return false;
    TheMainWindow.window = window;

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

    // Only Tab and Esc are the window's. Enter is not: with no default button
    // it neither clicks nor moves the focus, so it goes on to the control.
    WPARAM key = message->wParam;
    if (key != VK_TAB && key != VK_ESCAPE)
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
    // A click during a lookup's pause nests another lookup on the stack. A
    // click this deep would have its title overwritten by the outer
    // lookups anyway, and a burst of clicks must not exhaust the stack.
    static int nested = 0;
    if (nested >= MostNestedLookups)
        return;
    ++nested;
    TextValue number = ReadEditBoxText();
    TextValue display = LookUpChannel(number);
    ReleaseBlock(number);
    SetWindowCaption(display);
    ReleaseBlock(display);
    --nested;
}
