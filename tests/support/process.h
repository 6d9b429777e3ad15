// Child processes and their windows, for tests that drive real programs.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/handles.h"

// The folder of the running test program, without a trailing backslash.
std::wstring TestProgramDirectory();

// User plus kernel time of this process so far, in milliseconds.
double ProcessCpuMs();

struct ChildProcess {
    UniqueHandle process;
    UniqueHandle thread;
    DWORD id = 0;
};

// Variables to set (or replace) in a child's environment.
typedef std::vector<std::pair<std::wstring, std::wstring>> EnvironmentChanges;

// Starts `exe` (a full path) with `arguments`, in `directory` when given,
// with this process's environment plus `changes`. Returns false when the
// process cannot be started.
bool StartChild(const std::wstring &exe, const std::wstring &arguments, ChildProcess *child,
                const std::wstring &directory = std::wstring(),
                const EnvironmentChanges &changes = EnvironmentChanges());

// Waits for the child to end; returns its exit code, or STILL_ACTIVE after
// the time-out (the child is then left running).
DWORD WaitForExit(const ChildProcess &child, DWORD timeoutMs);

// Ends the child if it is still running.
void KillChild(const ChildProcess &child);

// Visible top-level windows of a process.
std::vector<HWND> TopLevelWindowsOf(DWORD processId);

// Polls until a visible top-level window of the process appears whose class
// is `className` (any class when empty); null after the time-out.
HWND WaitForWindowOf(DWORD processId, const std::wstring &className, DWORD timeoutMs);

std::wstring WindowText(HWND window);
std::wstring WindowClass(HWND window);

// Polls `condition` every 10 ms until it holds or the time runs out.
template <typename Condition> bool WaitUntil(Condition condition, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
}
