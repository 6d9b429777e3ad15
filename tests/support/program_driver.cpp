#include "tests/support/program_driver.h"

#include "tests/support/input.h"

#if !defined(CHANNEL_TEST_PROGRAM) || !defined(CHANNEL_SHIPPING_PROGRAM)
#error "tests/app.cmake gives the programs' paths from the test programs' folder"
#endif

namespace {

std::wstring FullPathFromTests(const std::wstring &fromTests)
{
    std::wstring relative = TestProgramDirectory() + L"\\" + fromTests;
    for (wchar_t &c : relative)
        if (c == L'/')
            c = L'\\';
    wchar_t full[MAX_PATH];
    DWORD n = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::wstring(full, n) : relative;
}

} // namespace

std::wstring TestProgramPath() { return FullPathFromTests(CHANNEL_TEST_PROGRAM); }
std::wstring ShippingProgramPath() { return FullPathFromTests(CHANNEL_SHIPPING_PROGRAM); }

void LetWineDrawTheFrame(const std::wstring &programPath)
{
    std::wstring name = programPath.substr(programPath.find_last_of(L'\\') + 1);
    std::wstring path = L"Software\\Wine\\AppDefaults\\" + name + L"\\X11 Driver";
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key, L"Decorated", 0, REG_SZ, reinterpret_cast<const BYTE *>(L"N"),
                       2 * sizeof(wchar_t));
        RegCloseKey(key);
    }
}

std::wstring ControlText(HWND control)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        return L"<no answer>";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    text.resize(copied);
    return text;
}

LRESULT Query(HWND window, TestQuery query)
{
    static UINT message = RegisterWindowMessageW(CHANNEL_TEST_QUERY_MESSAGE);
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, message, query, 0, SMTO_ABORTIFHUNG, 10000, &answer))
        return -1;
    return static_cast<LRESULT>(answer);
}

GUITHREADINFO GuiStateOf(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info;
}

HWND FocusOf(HWND window) { return GuiStateOf(window).hwndFocus; }

bool FindCloseBox(HWND window, POINT *point)
{
    RECT outer;
    GetWindowRect(window, &outer);
    for (LONG y = outer.top; y < outer.top + 40 && y < outer.bottom; ++y)
        for (LONG x = outer.right - 1; x > outer.right - 60 && x > outer.left; --x) {
            DWORD_PTR hit = 0;
            SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, 5000,
                                &hit);
            if (hit == HTCLOSE) {
                *point = POINT{x, y};
                return true;
            }
        }
    return false;
}

void ProgramDriver::SetUpTestSuite()
{
    LetWineDrawTheFrame(TestProgramPath());
    LetWineDrawTheFrame(ShippingProgramPath());
}

void ProgramDriver::TearDown()
{
    for (auto &program : programs_) {
        if (!program->process.process.get() || WaitForExit(program->process, 0) != STILL_ACTIVE)
            continue;
        if (program->window)
            PostMessageW(program->window, WM_CLOSE, 0, 0);
        if (WaitForExit(program->process, 5000) == STILL_ACTIVE)
            KillChild(program->process);
    }
}

void ProgramDriver::Launch(Program **launched, const LaunchSettings &settings)
{
    programs_.emplace_back(new Program);
    Program *program = programs_.back().get();
    *launched = program;
    ASSERT_TRUE(StartChild(settings.program, settings.arguments, &program->process,
                           settings.directory, settings.environment))
        << "cannot start " << testing::PrintToString(settings.program);
    program->window = WaitForWindowOf(program->process.id, MainWindowClassName, StartTimeoutMs);
    ASSERT_NE(program->window, nullptr) << "no main window appeared";
    program->edit = GetDlgItem(program->window, EditBoxId);
    program->button = GetDlgItem(program->window, LookupButtonId);
    ASSERT_NE(program->edit, nullptr);
    ASSERT_NE(program->button, nullptr);
    ASSERT_TRUE(BringToForeground(program->window));
    // Settled: the activation has handed the focus to a control.
    WaitUntil([&] { return FocusOf(program->window) != nullptr; }, 5000);
}

void ProgramDriver::Retype(Program *program, const std::wstring &text)
{
    ClickWindow(program->edit);
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(program->window) == program->edit; }, 5000));
    size_t old = ControlText(program->edit).size();
    PressKeys({VK_END});
    for (size_t i = 0; i < old; ++i)
        PressKeys({VK_BACK});
    TypeIntoEditBox(program, text);
}

void ProgramDriver::TypeIntoEditBox(Program *program, const std::wstring &text)
{
    TypeText(text);
    ASSERT_TRUE(WaitUntil([&] { return ControlText(program->edit) == text; }, 5000))
        << "edit box holds " << testing::PrintToString(ControlText(program->edit));
}

bool ProgramDriver::WaitForTitle(Program *program, const std::wstring &title)
{
    return WaitUntil([&] { return WindowText(program->window) == title; }, LookupTimeoutMs);
}
