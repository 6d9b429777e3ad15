// The whole program as a person uses it. The test build of the program is
// started under the same Wine prefix, given real input (SendInput: the
// keyboard state and the platform's own routing take part) and watched from
// outside; the loopback server on the test host is its directory service.
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <float.h>
#include <wchar.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/application.h"
#include "app/test_hooks.h"
#include "lookup/unique_any.h"
#include "tests/support/fatal_box.h"
#include "tests/support/input.h"
#include "tests/support/process.h"
#include "tests/support/program_driver.h"
#include "tests/support/refusing_port.h"

namespace {

RECT ClientRectOf(HWND control, HWND parent)
{
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

COLORREF ScreenPixel(HWND window, int clientX, int clientY)
{
    POINT point{clientX, clientY};
    ClientToScreen(window, &point);
    HDC screen = GetDC(nullptr);
    COLORREF colour = GetPixel(screen, point.x, point.y);
    ReleaseDC(nullptr, screen);
    return colour;
}

// The second word of the request line.
std::string RequestTarget(const std::string &request)
{
    size_t start = request.find(' ');
    if (start == std::string::npos)
        return std::string();
    size_t end = request.find(' ', start + 1);
    return request.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
}

std::string Reply(const char *utf8Name) { return std::string("{\"id\":1,\"name\":\"") + utf8Name + "\",\"hd\":true}"; }

void SetWindowColour(COLORREF colour)
{
    int element = COLOR_WINDOW;
    SetSysColors(1, &element, &colour);
}
using UniqueWindowColour = UniqueAny<COLORREF, SetWindowColour, CLR_INVALID>;

// Sets the system's window colour; the owner puts the earlier one back.
UniqueWindowColour ChangeWindowColour(COLORREF colour)
{
    UniqueWindowColour earlier(GetSysColor(COLOR_WINDOW));
    SetWindowColour(colour);
    return earlier;
}

// The program against the loopback server on the directory port.
class ProgramTest : public ProgramDriver {
protected:
    void SetUp() override
    {
        server_.reset(new LoopbackServer(DirectoryPort()));
        ASSERT_EQ(server_->Port(), DirectoryPort());
    }

    LoopbackServer &Server() { return *server_; }
    void StopServer() { server_.reset(); }

private:
    std::unique_ptr<LoopbackServer> server_;
};

// A copy that cannot start stops the test at once: nothing after the launch
// runs on with a null window.
class LaunchOfAMissingProgram : public ProgramDriver {
public:
    static void Run()
    {
        LaunchOfAMissingProgram driver;
        driver.TestBody();
    }
    static bool RanOn;

private:
    void TestBody() override
    {
        LaunchSettings missing;
        missing.program = TestProgramDirectory() + L"\\no-such-program.exe";
        Program *program = nullptr;
        ASSERT_NO_FATAL_FAILURE(Launch(&program, missing));
        RanOn = true;
    }
};
bool LaunchOfAMissingProgram::RanOn = false;

TEST(ProgramDriverLaunch, StopsTheTestWhenTheProgramCannotStart)
{
    testing::TestPartResultArray failures;
    {
        testing::ScopedFakeTestPartResultReporter intercept(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        LaunchOfAMissingProgram::Run();
    }
    ASSERT_GE(failures.size(), 1);
    const testing::TestPartResult &first = failures.GetTestPartResult(0);
    EXPECT_TRUE(first.fatally_failed());
    EXPECT_NE(std::string(first.message()).find("cannot start"), std::string::npos) << first.message();
    EXPECT_FALSE(LaunchOfAMissingProgram::RanOn) << "the test ran on after the failed launch";
}

TEST_F(ProgramTest, OpensCentredWithAnEmptyTitleAndTheCaretInTheEditBox)
{
    ASSERT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
    ASSERT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
    // An edit box left to itself would take this colour.
    UniqueWindowColour windowColour = ChangeWindowColour(RGB(200, 100, 50));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));
    HWND window = program->window;

    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.left, 407);
    EXPECT_EQ(outer.top, 344);
    EXPECT_EQ(outer.right - outer.left, 209);
    EXPECT_EQ(outer.bottom - outer.top, 80);

    EXPECT_EQ(WindowClass(window), MainWindowClassName);
    EXPECT_TRUE(IsWindowUnicode(window));
    EXPECT_EQ(WindowText(window), L"");
    LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_FALSE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);
    POINT closeBox;
    EXPECT_TRUE(FindCloseBox(window, &closeBox)) << "the title bar has no close box";

    struct Placement {
        const char *name;
        HWND control;
        const wchar_t *className;
        LONG left, top, width, height;
        bool mayBeTaller; // for a font taller than the box
    };
    const Placement placements[] = {
        {"edit box", program->edit, L"Edit", 8, 16, 112, 24, true},
        {"button", program->button, L"Button", 136, 16, 64, 24, false},
    };
    for (const Placement &placement : placements) {
        SCOPED_TRACE(placement.name);
        EXPECT_EQ(WindowClass(placement.control), placement.className);
        RECT rect = ClientRectOf(placement.control, window);
        EXPECT_EQ(rect.left, placement.left);
        EXPECT_EQ(rect.top, placement.top);
        EXPECT_EQ(rect.right - rect.left, placement.width);
        if (placement.mayBeTaller) {
            EXPECT_GE(rect.bottom - rect.top, placement.height);
        } else {
            EXPECT_EQ(rect.bottom - rect.top, placement.height);
        }
    }
    RECT edit = ClientRectOf(program->edit, window);
    EXPECT_TRUE(GetWindowLongW(program->edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_FALSE(GetWindowLongW(program->edit, GWL_STYLE) & WS_BORDER);
    EXPECT_EQ(ControlText(program->edit), L"");
    EXPECT_EQ(WindowText(program->button), LookupButtonCaption);
    EXPECT_EQ(GetWindowLongW(program->button, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);

    GUITHREADINFO gui = GuiStateOf(window);
    EXPECT_EQ(gui.hwndActive, window);
    EXPECT_EQ(gui.hwndFocus, program->edit);
    EXPECT_EQ(gui.hwndCaret, program->edit);

    EXPECT_EQ(Query(window, TestQueryBigIconSize), 32);
    EXPECT_EQ(Query(window, TestQuerySmallIconSize), 16);

    // The class has no background brush: only the window's own painting
    // gives the face colour. The edit box is white whatever the system's
    // window colour is.
    struct Pixel {
        int x, y;
        COLORREF colour;
    };
    const Pixel pixels[] = {
        {4, 4, GetSysColor(COLOR_BTNFACE)},
        {200, 50, GetSysColor(COLOR_BTNFACE)},
        {edit.left + 100, edit.top + 12, RGB(255, 255, 255)},
    };
    for (const Pixel &pixel : pixels) {
        // Painting may still be on its way.
        EXPECT_TRUE(WaitUntil(
            [&] { return ScreenPixel(window, pixel.x, pixel.y) == pixel.colour; }, 3000))
            << "at " << pixel.x << "," << pixel.y << ": " << std::hex
            << ScreenPixel(window, pixel.x, pixel.y) << " instead of " << pixel.colour;
    }
}

// The title shows the right characters whatever the machine's code page,
// and what the user types reaches the directory as code page 936. CTest runs
// this once under Wine's default locale (code page 1252) and once under
// LC_ALL=zh_CN.UTF-8 (code page 936), and says which in
// CHANNEL_EXPECTED_ACP: Wine takes a process's code page from the locale of
// the Unix environment it was started in, not from the Windows one.
TEST_F(ProgramTest, ShowsTheNumberAndTheChineseName)
{
    wchar_t expected[16] = L"";
    GetEnvironmentVariableW(L"CHANNEL_EXPECTED_ACP", expected, 16);
    Server().SetReplyFor("/channel/7", OkReply(Reply(u8"\u4E2D\u592E\u4E00\u53F0")));
    Server().SetReply(OkReply(Reply(u8"\u9891\u9053")));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));
    LRESULT codePage = Query(program->window, TestQueryAnsiCodePage);
    if (*expected) {
        ASSERT_EQ(codePage, _wtoi(expected));
    }
    RecordProperty("ansi_code_page", static_cast<int>(codePage));

    ASSERT_NO_FATAL_FAILURE(TypeIntoEditBox(program, L"7"));
    ClickWindow(program->button);
    EXPECT_TRUE(WaitForTitle(program, L"7\u4E2D\u592E\u4E00\u53F0"))
        << "title " << testing::PrintToString(WindowText(program->window));
    EXPECT_EQ(ControlText(program->edit), L"7");

    // A number typed in Chinese characters (U+9891, 0xC6 0xB5 in code page 936).
    ASSERT_NO_FATAL_FAILURE(Retype(program, L"\u9891"));
    ClickWindow(program->button);
    EXPECT_TRUE(WaitForTitle(program, L"\u9891\u9891\u9053"))
        << "title " << testing::PrintToString(WindowText(program->window));

    // How a character beyond ASCII travels in the request line is the HTTP
    // layer's affair (Wine's WinINet sends it as '?' under code page 936);
    // the title above shows that the edit box was read as code page 936.
    std::vector<std::string> requests = Server().Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RequestTarget(requests[0]), "/channel/7");
    EXPECT_EQ(RequestTarget(requests[1]).compare(0, 9, "/channel/"), 0);
}

TEST_F(ProgramTest, WorksFromTheKeyboardAlone)
{
    Server().SetReply(OkReply(Reply("abc")));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));
    ASSERT_NO_FATAL_FAILURE(TypeIntoEditBox(program, L"12"));

    // Enter neither looks up nor moves the focus: the Tab after it has to
    // move the focus from the edit box to the button.
    PressKeys({VK_RETURN});
    PressKeys({VK_TAB});
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(program->window) == program->button; }, 5000));
    EXPECT_EQ(Server().RequestCount(), 0u);
    EXPECT_EQ(WindowText(program->window), L"");

    struct Step {
        const char *name;
        bool shift;
        bool toButton;
    };
    const Step steps[] = {
        {"Tab from the button", false, false},
        {"Shift+Tab from the edit box", true, true},
        {"Shift+Tab from the button", true, false},
        {"Tab from the edit box", false, true},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        if (step.shift)
            PressKeys({VK_SHIFT, VK_TAB});
        else
            PressKeys({VK_TAB});
        HWND expected = step.toButton ? program->button : program->edit;
        EXPECT_TRUE(WaitUntil([&] { return FocusOf(program->window) == expected; }, 5000));
    }

    // Space on the focused button is a click.
    ASSERT_EQ(FocusOf(program->window), program->button);
    PressKeys({VK_SPACE});
    EXPECT_TRUE(WaitForTitle(program, L"12abc"))
        << "title " << testing::PrintToString(WindowText(program->window));
    std::vector<std::string> requests = Server().Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(RequestTarget(requests[0]), "/channel/12");
    EXPECT_EQ(ControlText(program->edit), L"12");
    EXPECT_EQ(FocusOf(program->window), program->button);
}

TEST_F(ProgramTest, EveryWayOfClosingEndsWithExitCodeZero)
{
    struct Closer {
        const char *name;
        std::function<void(Program *)> close;
    };
    const Closer closers[] = {
        {"Esc in the edit box", [](Program *) { PressKeys({VK_ESCAPE}); }},
        {"Esc on the button",
         [](Program *program) {
             PressKeys({VK_TAB});
             ASSERT_TRUE(
                 WaitUntil([&] { return FocusOf(program->window) == program->button; }, 5000));
             PressKeys({VK_ESCAPE});
         }},
        {"a click on the close box",
         [](Program *program) {
             POINT closeBox;
             ASSERT_TRUE(FindCloseBox(program->window, &closeBox));
             ClickAt(closeBox);
         }},
        {"Alt+F4", [](Program *) { PressKeys({VK_MENU, VK_F4}); }},
        {"WM_CLOSE from another program",
         [](Program *program) { PostMessageW(program->window, WM_CLOSE, 0, 0); }},
    };
    for (const Closer &closer : closers) {
        SCOPED_TRACE(closer.name);
        Program *program = nullptr;
        ASSERT_NO_FATAL_FAILURE(Launch(&program));
        ASSERT_NO_FATAL_FAILURE(closer.close(program));
        EXPECT_EQ(WaitForExit(program->process, ExitTimeoutMs), 0u);
    }
}

// A click during the pause runs a whole lookup inside the first one; the
// first one then finishes and its result is what stays.
TEST_F(ProgramTest, ASecondClickDuringThePauseRunsANestedLookup)
{
    LoopbackReply slow = OkReply(Reply("outer"));
    // Time for the second click to be queued before the first pause ends.
    slow.delayMs = 300;
    Server().SetReplyFor("/channel/1", slow);
    Server().SetReplyFor("/channel/2", OkReply(Reply("inner")));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));
    ASSERT_NO_FATAL_FAILURE(TypeIntoEditBox(program, L"1"));
    ClickWindow(program->button);
    ASSERT_TRUE(Server().WaitForRequests(1, LookupTimeoutMs));

    // The program is busy; this input waits in its queue for the pause.
    ClickWindow(program->edit);
    PressKeys({VK_END});
    PressKeys({VK_BACK});
    TypeText(L"2");
    ClickWindow(program->button);

    ASSERT_TRUE(Server().WaitForRequests(2, LookupTimeoutMs));
    // The inner lookup is pausing now, so the outer one cannot have ended.
    EXPECT_EQ(WindowText(program->window), L"");
    EXPECT_TRUE(WaitForTitle(program, L"1outer"))
        << "title " << testing::PrintToString(WindowText(program->window));
    std::vector<std::string> requests = Server().Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RequestTarget(requests[0]), "/channel/1");
    EXPECT_EQ(RequestTarget(requests[1]), "/channel/2");
    // Nothing more comes: the title stays.
    Sleep(1000);
    EXPECT_EQ(WindowText(program->window), L"1outer");
}

TEST_F(ProgramTest, ClosingDuringThePauseEndsNormally)
{
    LoopbackReply slow = OkReply(Reply("late"));
    slow.delayMs = 300;
    Server().SetReply(slow);
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));
    ASSERT_NO_FATAL_FAILURE(TypeIntoEditBox(program, L"3"));
    ClickWindow(program->button);
    ASSERT_TRUE(Server().WaitForRequests(1, LookupTimeoutMs));
    // The button has the focus after the click; Esc reaches the queue
    // while the fetch runs and is handled in the pause.
    PressKeys({VK_ESCAPE});
    EXPECT_EQ(WaitForExit(program->process, ExitTimeoutMs), 0u);
}

TEST_F(ProgramTest, AFailedFetchLeavesTheNumberAlone)
{
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));

    {
        SCOPED_TRACE("connection refused");
        StopServer();
        RefusingPort refusing(DirectoryPort());
        ASSERT_TRUE(refusing.Bound());
        ASSERT_NO_FATAL_FAILURE(Retype(program, L"41"));
        ClickWindow(program->button);
        EXPECT_TRUE(WaitForTitle(program, L"41"))
            << "title " << testing::PrintToString(WindowText(program->window));
        EXPECT_EQ(ControlText(program->edit), L"41");
    }

    LoopbackServer server(DirectoryPort());
    ASSERT_EQ(server.Port(), DirectoryPort());
    LoopbackReply nothing;  // no status line, no body: the connection just ends
    server.SetReplyFor("/channel/42", nothing);
    server.SetReplyFor("/channel/43", OkReply("{\"id\":43,\"name\":\"last field\"}"));
    server.SetReplyFor("/channel/44", HttpReply("HTTP/1.0 500 Internal Server Error", "", ""));
    const std::pair<const char *, const wchar_t *> cases[] = {
        {"closed without an answer", L"42"},
        {"no end marker after the name", L"43"},
        {"an error status with an empty body", L"44"},
    };
    for (const auto &failure : cases) {
        SCOPED_TRACE(failure.first);
        ASSERT_NO_FATAL_FAILURE(Retype(program, failure.second));
        ClickWindow(program->button);
        EXPECT_TRUE(WaitUntil([&] { return server.RequestCount() > 0; }, LookupTimeoutMs));
        EXPECT_TRUE(WaitForTitle(program, failure.second))
            << "title " << testing::PrintToString(WindowText(program->window));
        EXPECT_EQ(ControlText(program->edit), failure.second);
        server.ClearRequests();
    }
}

// Two copies side by side, one of them given a command line and another
// working folder; each keeps its own focus across switching.
TEST_F(ProgramTest, TwoCopiesRunSideBySideAndACommandLineChangesNothing)
{
    Server().SetReplyFor("/channel/1", OkReply(Reply("one")));
    Server().SetReplyFor("/channel/2", OkReply(Reply("two")));
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);

    Program *first = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&first));
    TypeText(L"1");
    ASSERT_TRUE(WaitUntil([&] { return ControlText(first->edit) == L"1"; }, 5000));
    PressKeys({VK_TAB});
    ASSERT_TRUE(WaitUntil([&] { return FocusOf(first->window) == first->button; }, 5000));

    LaunchSettings elsewhere;
    elsewhere.arguments = L"/? --host 10.0.0.1 99 \"two words\"";
    elsewhere.directory = temp;
    Program *second = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&second, elsewhere));
    ASSERT_NE(first->window, second->window);
    RECT a, b;
    GetWindowRect(first->window, &a);
    GetWindowRect(second->window, &b);
    EXPECT_TRUE(EqualRect(&a, &b));
    EXPECT_EQ(WindowText(second->window), L"");
    EXPECT_TRUE(WaitUntil([&] { return FocusOf(second->window) == second->edit; }, 5000));
    TypeText(L"2");
    ASSERT_TRUE(WaitUntil([&] { return ControlText(second->edit) == L"2"; }, 5000));
    ClickWindow(second->button);
    EXPECT_TRUE(WaitForTitle(second, L"2two"))
        << "title " << testing::PrintToString(WindowText(second->window));

    // Back to the first: the focus is where it was left, on the button.
    ASSERT_TRUE(BringToForeground(first->window));
    EXPECT_TRUE(WaitUntil([&] { return FocusOf(first->window) == first->button; }, 5000));
    PressKeys({VK_SPACE});
    EXPECT_TRUE(WaitForTitle(first, L"1one"))
        << "title " << testing::PrintToString(WindowText(first->window));
    EXPECT_EQ(WindowText(second->window), L"2two");

    PostMessageW(second->window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(second->process, ExitTimeoutMs), 0u);
    EXPECT_EQ(WaitForExit(first->process, 0), static_cast<DWORD>(STILL_ACTIVE));
}

// Every lookup gives back every block it took. The window keeps one block,
// its copy of the title, from the first lookup on; so the count is taken
// after that one.
TEST_F(ProgramTest, TwoHundredLookupsLeaveNoBlockBehind)
{
    Server().SetReply(OkReply(Reply("n0")));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(Launch(&program));
    ASSERT_NO_FATAL_FAILURE(TypeIntoEditBox(program, L"9"));
    ClickWindow(program->button);
    ASSERT_TRUE(WaitForTitle(program, L"9n0"));
    LRESULT before = Query(program->window, TestQueryLiveBlocks);
    ASSERT_GE(before, 0);

    for (int i = 1; i <= 200; ++i) {
        // Each reply differs, so that each lookup's end shows in the title.
        std::string name = "n" + std::to_string(i);
        Server().SetReply(OkReply(Reply(name.c_str())));
        PressKeys({VK_SPACE});
        std::wstring title = L"9" + std::wstring(name.begin(), name.end());
        ASSERT_TRUE(WaitForTitle(program, title))
            << "lookup " << i << ": title " << testing::PrintToString(WindowText(program->window));
    }
    EXPECT_EQ(Server().RequestCount(), 201u);
    EXPECT_EQ(Query(program->window, TestQueryLiveBlocks), before);
}

// The fatal report: one error box, and after it exit code -1.
TEST_F(ProgramTest, AWindowThatCannotBeMadeIsFatal)
{
    for (const wchar_t *broken : {L"main", L"edit", L"button"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(broken)));
        ChildProcess child;
        ASSERT_TRUE(StartChild(TestProgramPath(), std::wstring(), &child, std::wstring(),
                               {{CHANNEL_TEST_BREAK_WINDOW, broken}}));
        ASSERT_NO_FATAL_FAILURE(ExpectFatalBox(child, [&](const std::wstring &message) {
            EXPECT_NE(message.find(L"start-up window"), std::wstring::npos)
                << testing::PrintToString(message);
            for (HWND window : TopLevelWindowsOf(child.id))
                EXPECT_NE(WindowClass(window), MainWindowClassName) << "a main window is showing";
        }));
    }
}

// Whether the file holds the text in UTF-16, as the program's wide
// literals are stored.
bool FileHoldsWideText(const std::wstring &path, const std::wstring &text)
{
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    UniqueHandle file(opened);
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    std::string sought(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
    return bytes.find(sought) != std::string::npos;
}

TEST(ShippingProgram, CarriesNoTestHooks)
{
    for (const wchar_t *hook : {CHANNEL_TEST_QUERY_MESSAGE, CHANNEL_TEST_BREAK_WINDOW}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(hook)));
        EXPECT_TRUE(FileHoldsWideText(TestProgramPath(), hook));
        EXPECT_FALSE(FileHoldsWideText(ShippingProgramPath(), hook));
    }
}

std::wstring VersionString(const std::vector<BYTE> &info, const wchar_t *name)
{
    struct Translation {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&translation), &size) ||
        size < sizeof *translation)
        return L"<no translation>";
    wchar_t key[128];
    swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->codePage, name);
    wchar_t *value = nullptr;
    if (!VerQueryValueW(info.data(), key, reinterpret_cast<void **>(&value), &size) || !value)
        return L"<none>";
    return value;
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
struct IconGroup {
    WORD reserved;
    WORD type;
    WORD count;
    IconGroupEntry entries[1];
};
#pragma pack(pop)

TEST(ShippingProgram, HasItsIconAndVersionInformation)
{
    std::wstring path = ShippingProgramPath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    EXPECT_EQ(VersionString(info, L"FileDescription"), L"Channel lookup");
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"channel-lookup.exe");

    HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    HRSRC found = FindResourceW(module, L"DEFAULT_ICON", reinterpret_cast<LPCWSTR>(RT_GROUP_ICON));
    EXPECT_NE(found, nullptr);
    if (found) {
        const IconGroup *group = static_cast<const IconGroup *>(LockResource(LoadResource(module, found)));
        ASSERT_NE(group, nullptr);
        ASSERT_EQ(group->count, 1);
        EXPECT_EQ(group->entries[0].width, 32);
        EXPECT_EQ(group->entries[0].height, 32);
        EXPECT_EQ(group->entries[0].bitCount, 32);
    }
    FreeLibrary(module);
}

std::wstring CurrentDirectory()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, path);
    return std::wstring(path, n);
}

// Start-up in this process: whatever folder it starts in, it then works in
// the folder of its executable, with OLE up and the floating-point unit in
// its initial state.
TEST(StartUp, MovesIntoTheProgramFolderAndResetsTheFloatingPointUnit)
{
    std::wstring original = CurrentDirectory();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    ASSERT_TRUE(SetCurrentDirectoryW(temp));
    ASSERT_NE(lstrcmpiW(CurrentDirectory().c_str(), TestProgramDirectory().c_str()), 0);
    unsigned int originalFpu = _controlfp(0, 0);
    _controlfp(_RC_CHOP, _MCW_RC);
    _controlfp(_MCW_EM & ~_EM_INVALID, _MCW_EM);

    StartUp();
    std::wstring now = CurrentDirectory();
    unsigned int fpu = _controlfp(0, 0);
    bool oleUp = TheAppState.oleInitialised;
    std::string programDirectory = TheAppState.programDirectory;
    ShutDown();
    bool oleStillUp = TheAppState.oleInitialised;
    ShutDown();

    _controlfp(originalFpu, _MCW_RC | _MCW_EM);
    SetCurrentDirectoryW(original.c_str());

    EXPECT_EQ(lstrcmpiW(now.c_str(), TestProgramDirectory().c_str()), 0)
        << testing::PrintToString(now);
    EXPECT_EQ(std::wstring(programDirectory.begin(), programDirectory.end()), TestProgramDirectory());
    EXPECT_EQ(fpu & _MCW_RC, static_cast<unsigned int>(_RC_NEAR));
    EXPECT_EQ(fpu & _MCW_EM, static_cast<unsigned int>(_MCW_EM));
    EXPECT_TRUE(oleUp);
    EXPECT_FALSE(oleStillUp);
}

} // namespace
