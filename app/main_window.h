// The main window: an edit box for the channel number, a button that looks
// it up, and the title bar that shows the result.
#pragma once

#include <windows.h>

#include "lookup/values.h"

// Makes and shows the window, with the focus in the edit box. False when
// the window or one of its controls cannot be made.
bool CreateMainWindow();
// Null once the window has been destroyed.
HWND MainWindowHandle();

// Keyboard navigation (Tab, Shift+Tab, Esc) for messages addressed to the
// window or its controls; true when the message was consumed.
bool PreTranslateWindowKey(MSG *message);

// The edit box's text now, in code page 936; null when the box is empty.
TextValue ReadEditBoxText();
// Shows `text` (code page 936; null is empty) in the title bar. Does nothing
// once the window is gone.
void SetWindowCaption(const char *text);
void OnLookupButtonClicked();
// The most lookups that run nested in each other's pause; a click beyond
// them does nothing.
const int MostNestedLookups = 32;
