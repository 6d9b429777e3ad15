// The life of the process: start-up, the event loop and shutdown.
#pragma once

#include <windows.h>

struct AppState {
    // The executable's folder, ANSI code page, no trailing backslash.
    char programDirectory[MAX_PATH];
    bool oleInitialised;
    // Set when the event loop starts and never cleared.
    bool loopRunning;
};
extern AppState TheAppState;

void StartUp();
// Returns once the quit message has been taken, with its value (0 when the
// window was gone before the loop began).
int RunEventLoop();
// Safe to run more than once; the fatal report runs it too.
void ShutDown();

// The main window's last act: ends the event loop once no window is left.
void ApplyQuitRule();
