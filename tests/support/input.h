// Input through the platform's real input path (SendInput), as a person at
// the keyboard and mouse would give it, for tests that drive real programs.
// Keyboard input goes to the foreground window, so bring the target there
// first.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>

// Makes `window` the foreground window; false when it did not become so.
bool BringToForeground(HWND window);

// Moves the pointer to `screen` and clicks the left button there.
void ClickAt(POINT screen);
// Clicks the middle of a window (a control, say).
void ClickWindow(HWND window);

// Presses the keys in order, then releases them in reverse order: a chord
// such as {VK_SHIFT, VK_TAB}, or a single key.
void PressKeys(std::initializer_list<WORD> keys);
// Types the text: ASCII characters of the keyboard layout by their keys
// (with Shift where needed), any other character as a Unicode packet.
void TypeText(const std::wstring &text);
