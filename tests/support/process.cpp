#include "tests/support/process.h"

#include <wchar.h>

std::wstring TestProgramDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, n);
    size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : full.substr(0, slash);
}

double ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME &t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

namespace {

// This process's environment with the changes applied, as a block for
// CreateProcessW.
std::wstring EnvironmentWith(const EnvironmentChanges &changes)
{
    std::wstring block;
    wchar_t *current = GetEnvironmentStringsW();
    for (const wchar_t *entry = current; *entry; entry += wcslen(entry) + 1) {
        bool replaced = false;
        for (const auto &change : changes) {
            std::wstring prefix = change.first + L"=";
            if (_wcsnicmp(entry, prefix.c_str(), prefix.size()) == 0)
                replaced = true;
        }
        if (!replaced)
            block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(current);
    for (const auto &change : changes)
        block.append(change.first + L"=" + change.second).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

} // namespace

bool StartChild(const std::wstring &exe, const std::wstring &arguments, ChildProcess *child,
                const std::wstring &directory, const EnvironmentChanges &changes)
{
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    std::wstring environment = EnvironmentWith(changes);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        &environment[0], directory.empty() ? nullptr : directory.c_str(), &startup, &info))
        return false;
    child->process.reset(info.hProcess);
    child->thread.reset(info.hThread);
    child->id = info.dwProcessId;
    return true;
}

DWORD WaitForExit(const ChildProcess &child, DWORD timeoutMs)
{
    if (WaitForSingleObject(child.process.get(), timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(child.process.get(), &code);
    return code;
}

void KillChild(const ChildProcess &child)
{
    if (child.process.get() && WaitForSingleObject(child.process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(child.process.get(), 1);
        WaitForSingleObject(child.process.get(), 5000);
    }
}

namespace {

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window))
        search->found.push_back(window);
    return TRUE;
}

} // namespace

std::vector<HWND> TopLevelWindowsOf(DWORD processId)
{
    WindowSearch search{processId, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindowOf(DWORD processId, const std::wstring &className, DWORD timeoutMs)
{
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : TopLevelWindowsOf(processId))
                if (className.empty() || WindowClass(window) == className) {
                    result = window;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return result;
}

std::wstring WindowText(HWND window)
{
    int n = GetWindowTextLengthW(window);
    std::wstring text(n + 1, L'\0');
    n = GetWindowTextW(window, &text[0], n + 1);
    text.resize(n > 0 ? n : 0);
    return text;
}

std::wstring WindowClass(HWND window)
{
    wchar_t name[256];
    int n = GetClassNameW(window, name, 256);
    return std::wstring(name, n > 0 ? n : 0);
}
