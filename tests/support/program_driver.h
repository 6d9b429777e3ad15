// Drives the real program from outside: starts copies of it under the same
// Wine prefix, finds their windows and controls, and watches them. Input
// goes through support/input.h; the directory service is whatever loopback
// server the test runs on DirectoryPort().
//
//   class MyTest : public ProgramDriver {};
//   TEST_F(MyTest, Something)
//   {
//       LoopbackServer server(DirectoryPort());
//       Program *program = nullptr;
//       ASSERT_NO_FATAL_FAILURE(Launch(&program));
//       ...
//   }
//
// A test program that uses this is declared with channel_program_test()
// (tests/CMakeLists.txt), which builds both programs before it; where they
// land is compiled into test_support.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/test_hooks.h"
#include "app/window_names.h"
#include "tests/support/directory_port.h"
#include "tests/support/process.h"

const DWORD StartTimeoutMs = 30000;
// A lookup takes its fetch plus a 500 ms pause; this is ample.
const DWORD LookupTimeoutMs = 10000;
const DWORD ExitTimeoutMs = 10000;

// Full paths of the test build, which answers Query(), and of the shipping
// build.
std::wstring TestProgramPath();
std::wstring ShippingProgramPath();

// Under Xvfb there is no window manager to draw the frame that Wine leaves
// to one, so the close box would exist for hit-testing but not on screen.
// This makes Wine draw the frame itself for that program, as Windows does.
void LetWineDrawTheFrame(const std::wstring &programPath);

// The text of a control of another process: GetWindowText would give its
// window name, not what the user typed.
std::wstring ControlText(HWND control);

// Asks the test build of the program; -1 when it does not answer.
LRESULT Query(HWND window, TestQuery query);

GUITHREADINFO GuiStateOf(HWND window);
HWND FocusOf(HWND window);

// Where the window's close box is, found by asking the window itself.
bool FindCloseBox(HWND window, POINT *point);

struct Program {
    ChildProcess process;
    HWND window = nullptr;
    HWND edit = nullptr;
    HWND button = nullptr;
};

struct LaunchSettings {
    std::wstring program = TestProgramPath();
    std::wstring arguments;
    std::wstring directory; // the current directory when empty
    EnvironmentChanges environment;
};

// Keeps every copy it launched and ends those still running after the test.
class ProgramDriver : public testing::Test {
protected:
    static void SetUpTestSuite();
    void TearDown() override;

    // Starts a copy of the program, waits for its window and brings it to
    // the front. A copy that does not come up is a fatal failure: call it
    // as ASSERT_NO_FATAL_FAILURE(Launch(&program)).
    void Launch(Program **launched, const LaunchSettings &settings = LaunchSettings());

    // Replaces the edit box's text as a person would: click into it, clear
    // it from the end, type.
    void Retype(Program *program, const std::wstring &text);
    // Types into the focused edit box and waits until the box holds `text`.
    void TypeIntoEditBox(Program *program, const std::wstring &text);
    // Waits for the title to become `title`; false after LookupTimeoutMs.
    bool WaitForTitle(Program *program, const std::wstring &title);

private:
    std::vector<std::unique_ptr<Program>> programs_;
};
