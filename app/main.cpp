// The entry point. The command line and the show state mean nothing to the
// program, and any number of copies may run at once.
#include <windows.h>

#include "app/application.h"
#include "app/main_window.h"
#include "lookup/values.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // No system boxes for critical errors or files that cannot be opened.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    StartUp();
    if (!CreateMainWindow())
        ReportFatalError("The start-up window failed to load.");
    int exitCode = RunEventLoop();
    ShutDown();
    // The quit message's value (0). Returning (rather than exiting here)
    // runs the destructors of the process-wide objects, the internet
    // handle's among them.
    return exitCode;
}
