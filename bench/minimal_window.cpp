// The yardstick for the program's start-up: the least a Win32 program does
// to put a window on the screen, built with the same flags and linked the
// same way. It closes on WM_CLOSE like the program.
#include <windows.h>

namespace {

LRESULT CALLBACK MinimalWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = MinimalWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"MinimalWindow";
    if (!RegisterClassW(&windowClass))
        return 1;
    // The program's outer size and frame, so both put as much on the screen.
    HWND window = CreateWindowExW(0, L"MinimalWindow", L"", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 209, 80, nullptr, nullptr, instance,
                                  nullptr);
    if (!window)
        return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
