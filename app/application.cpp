#include "app/application.h"

#include <float.h>
#include <ole2.h>
#include <string.h>

#include "app/main_window.h"
#include "lookup/lookup.h"
#include "lookup/values.h"

AppState TheAppState;

void StartUp()
{
    // A fatal report from here on must still uninitialise OLE.
    SetFatalErrorCleanup(ShutDown);

    OleInitialize(nullptr);
    TheAppState.oleInitialised = true;

    // Whatever folder the program was started in, it works in its own.
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n >= MAX_PATH)
        n = MAX_PATH - 1;
    path[n] = '\0';
    // In a double-byte code page a trail byte may equal '\\', so the path
    // is walked character by character.
    char *lastBackslash = nullptr;
    for (char *p = path; *p; p = CharNextA(p))
        if (*p == '\\')
            lastBackslash = p;
    if (lastBackslash)
        *lastBackslash = '\0';
    else
        path[0] = '\0';
    memcpy(TheAppState.programDirectory, path, sizeof TheAppState.programDirectory);
    SetCurrentDirectoryA(TheAppState.programDirectory);

    RegisterLiteralConstants();

    // All exceptions masked, rounding to nearest.
    _clearfp();
    _controlfp(_MCW_EM | _RC_NEAR, _MCW_EM | _MCW_RC);
}

int RunEventLoop()
{
    TheAppState.loopRunning = true;
    if (!IsWindow(MainWindowHandle()))
        return 0;
    WPARAM quitValue = 0;
    while (!DispatchOneMessage(&quitValue)) {
    }
    return static_cast<int>(quitValue);
}

void ShutDown()
{
    if (TheAppState.oleInitialised) {
        OleUninitialize();
        TheAppState.oleInitialised = false;
    }
}

void ApplyQuitRule()
{
    // The main window is the program's only window.
    if (TheAppState.loopRunning)
        PostQuitMessage(0);
}
