#include "tests/support/input.h"

#include <vector>

#include "tests/support/process.h"

namespace {

INPUT KeyInput(WORD key, bool up)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return input;
}

INPUT UnicodeInput(wchar_t character, bool up)
{
    INPUT input = {};
    input.type = INPUT_KEYBOARD;
    input.ki.wScan = character;
    input.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
    return input;
}

INPUT ButtonInput(DWORD flags)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    return input;
}

void Send(std::vector<INPUT> inputs)
{
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

} // namespace

bool BringToForeground(HWND window)
{
    return WaitUntil(
        [&] {
            if (GetForegroundWindow() == window)
                return true;
            SetForegroundWindow(window);
            return false;
        },
        5000);
}

void ClickAt(POINT screen)
{
    // The pointer is placed first, so that the press and release land
    // exactly on that pixel whatever the scaling of absolute moves is.
    WaitUntil(
        [&] {
            SetCursorPos(screen.x, screen.y);
            POINT now;
            return GetCursorPos(&now) && now.x == screen.x && now.y == screen.y;
        },
        2000);
    Send({ButtonInput(MOUSEEVENTF_LEFTDOWN), ButtonInput(MOUSEEVENTF_LEFTUP)});
}

void ClickWindow(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    ClickAt(POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

void PressKeys(std::initializer_list<WORD> keys)
{
    std::vector<INPUT> inputs;
    for (WORD key : keys)
        inputs.push_back(KeyInput(key, false));
    for (auto key = keys.end(); key != keys.begin();)
        inputs.push_back(KeyInput(*--key, true));
    Send(inputs);
}

void TypeText(const std::wstring &text)
{
    std::vector<INPUT> inputs;
    for (wchar_t character : text) {
        // Only ASCII is asked of the layout: Wine looks other characters up
        // through the Unix locale's character set, which may turn them into
        // '?' and so into the key of '?'.
        SHORT mapped = character < 0x80 ? VkKeyScanW(character) : -1;
        if (mapped == -1 || (HIBYTE(mapped) & ~1)) {
            inputs.push_back(UnicodeInput(character, false));
            inputs.push_back(UnicodeInput(character, true));
            continue;
        }
        bool shift = HIBYTE(mapped) & 1;
        WORD key = LOBYTE(mapped);
        if (shift)
            inputs.push_back(KeyInput(VK_SHIFT, false));
        inputs.push_back(KeyInput(key, false));
        inputs.push_back(KeyInput(key, true));
        if (shift)
            inputs.push_back(KeyInput(VK_SHIFT, true));
    }
    Send(inputs);
}
