// The shipping program against hostile directory servers, driven from
// outside as a person would drive it: a redirect loop, drips of the head
// and of the body, replies of 100 MiB and 3 GB made as they are sent, a
// name with the euro sign; and a burst of clicks that nests lookups. The
// servers listen on the shipping build's own directory port
// (SHIPPING_DIRECTORY_PORT, from CHANNEL_DIRECTORY_HOST).
//
// How deep a nested lookup goes on the stack is measured in this process,
// with the program's own window, click handling and lookup.
#include "tests/support/program_driver.h"

#include <gtest/gtest.h>

#include <psapi.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "lookup/lookup.h"
#include "tests/support/input.h"
#include "tests/support/loopback_server.h"

#if !defined(SHIPPING_DIRECTORY_HOST) || !defined(SHIPPING_DIRECTORY_PORT)
#error "tests/hostile.cmake gives the shipping build's directory host and port"
#endif

namespace {

const unsigned short ShippingPort = SHIPPING_DIRECTORY_PORT;
// The program's whole-fetch deadline, plus what a lookup adds to it (the
// pause) and a loaded machine's slack.
const DWORD FetchDeadlineOfTheProgramMs = 30000;
const DWORD DeadlineAndSlackMs = FetchDeadlineOfTheProgramMs + 2000;
const DWORD PauseMs = 500;

std::string Reply(const std::string &utf8Name) { return "{\"id\":1,\"name\":\"" + utf8Name + "\",\"hd\":true}"; }

// A 200 reply of `size` bytes that starts with the name and goes on with
// filler made as it is sent.
LoopbackReply HugeReply(const std::string &name, uint64_t size, bool declared)
{
    std::string prefix = "{\"id\":1,\"name\":\"" + name + "\",\"pad\":\"";
    LoopbackReply reply;
    reply.head = "HTTP/1.0 200 OK\r\n" +
        (declared ? "Content-Length: " + std::to_string(size) + "\r\n" : std::string()) + "\r\n";
    reply.body = prefix;
    reply.segments.push_back(FillerSegment(size - prefix.size() - 2, 'x'));
    reply.segments.push_back(LiteralSegment("\"}"));
    return reply;
}

PROCESS_MEMORY_COUNTERS MemoryOf(const ChildProcess &child)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(child.process.get(), &counters, sizeof counters);
    return counters;
}

double Mib(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

class HostileServers : public ProgramDriver {
protected:
    void SetUp() override
    {
        std::string host = SHIPPING_DIRECTORY_HOST;
        if (host.compare(0, 10, "127.0.0.1:") != 0 && host != "127.0.0.1" && host.compare(0, 10, "localhost:") != 0)
            GTEST_SKIP() << "the shipping build looks up channels at " << host << ", not on this machine";
        server_.reset(new LoopbackServer(ShippingPort));
        ASSERT_EQ(server_->Port(), ShippingPort) << "cannot listen on the shipping build's directory port";
    }
    void TearDown() override
    {
        ProgramDriver::TearDown();
        server_.reset();
    }
    // The server's request count has not changed for `quietMs`.
    bool ServerQuietFor(DWORD quietMs)
    {
        size_t count = server_->RequestCount();
        if (count != lastCount_) {
            lastCount_ = count;
            lastChange_ = GetTickCount();
        }
        return GetTickCount() - lastChange_ >= quietMs;
    }

    void LaunchShipping(Program **program)
    {
        LaunchSettings settings;
        settings.program = ShippingProgramPath();
        Launch(program, settings);
    }

    // Types `number` afresh and clicks the button; the tick of the click.
    DWORD LookUp(Program *program, const std::wstring &number)
    {
        Retype(program, number);
        DWORD start = GetTickCount();
        ClickWindow(program->button);
        return start;
    }

    // Waits up to `timeoutMs` from `start` for the title; the time it took,
    // or -1.
    long TimeToTitle(Program *program, const std::wstring &title, DWORD start, DWORD timeoutMs)
    {
        DWORD left = timeoutMs - std::min(timeoutMs, GetTickCount() - start);
        if (!WaitUntil([&] { return WindowText(program->window) == title; }, left))
            return -1;
        return static_cast<long>(GetTickCount() - start);
    }

    LoopbackServer &Server() { return *server_; }

private:
    std::unique_ptr<LoopbackServer> server_;
    size_t lastCount_ = 0;
    DWORD lastChange_ = GetTickCount();
};

// Three copies, each against a server that would hold it without end: all
// three titles come within the deadline and its slack.
TEST_F(HostileServers, ADripOrARedirectLoopEndsWithinTheDeadline)
{
    // Headers, the name, then one byte every 2 s: the name arrived in time.
    LoopbackReply bodyDrip = ReplyDeclaring(2000, "{\"id\":1,\"name\":\"drip\",");
    bodyDrip.segments.push_back(LiteralSegment(std::string(1978, 'x'), 2000));
    // The status line, then one header byte every 2 s: nothing ever arrives.
    LoopbackReply headDrip;
    headDrip.head = "HTTP/1.0 200 OK\r\n";
    headDrip.segments.push_back(LiteralSegment("X-Slow: " + std::string(100, 's') + "\r\n\r\n", 2000));
    headDrip.segments.push_back(LiteralSegment(Reply("late")));
    struct Case {
        const char *what;
        std::wstring number;
        LoopbackReply reply;
        std::wstring title;
        DWORD atLeastMs;  // the deadline, or nothing, has to pass first
        long tookMs = -1;
        DWORD start = 0;
        Program *program = nullptr;
    } cases[] = {
        {"self-redirect loop", L"3", SelfRedirectReply(), L"3", PauseMs},
        {"body drip", L"1", bodyDrip, L"1drip", FetchDeadlineOfTheProgramMs},
        {"head drip", L"2", headDrip, L"2", FetchDeadlineOfTheProgramMs},
    };
    for (Case &c : cases)
        Server().SetReplyFor("/channel/" + std::string(c.number.begin(), c.number.end()), c.reply);
    // The loop ends long before the deadline, and it runs first and alone:
    // a copy of the program that is busy in its fetch can hold up another
    // one's window activation (Wine), which would show here as its time.
    // The drips then run side by side.
    for (Case &c : cases) {
        ASSERT_NO_FATAL_FAILURE(LaunchShipping(&c.program));
        c.start = LookUp(c.program, c.number);
        ASSERT_FALSE(HasFatalFailure());
        if (c.atLeastMs < FetchDeadlineOfTheProgramMs)
            c.tookMs = TimeToTitle(c.program, c.title, c.start, DeadlineAndSlackMs + 5000);
    }
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.tookMs < 0)
            c.tookMs = TimeToTitle(c.program, c.title, c.start, DeadlineAndSlackMs + 5000);
        printf("%s: title after %ld ms\n", c.what, c.tookMs);
        RecordProperty(std::string(c.what) + " ms", static_cast<int>(c.tookMs));
        EXPECT_GE(c.tookMs, 0) << "title " << testing::PrintToString(WindowText(c.program->window));
        EXPECT_LE(c.tookMs, static_cast<long>(DeadlineAndSlackMs));
        EXPECT_GE(c.tookMs, static_cast<long>(c.atLeastMs));
    }
    // The loop was broken by the client: the first request and ten
    // redirects, each of the same target.
    int loopRequests = 0;
    for (const std::string &request : Server().Requests())
        loopRequests += request.compare(0, 16, "GET /channel/3 H") == 0;
    EXPECT_EQ(loopRequests, 1 + 10);
    for (Case &c : cases) {
        PostMessageW(c.program->window, WM_CLOSE, 0, 0);
        EXPECT_EQ(WaitForExit(c.program->process, ExitTimeoutMs), 0u) << c.what;
    }
}

// Replies far past the size limit: the name at their start is shown, the
// memory stays bounded, the program lives on and ends normally.
TEST_F(HostileServers, HugeRepliesShowTheNameWithinBoundedMemory)
{
    const uint64_t hundredMib = 100ull << 20;
    const uint64_t threeGb = 3000000000ull;
    Server().SetReplyFor("/channel/4", HugeReply("big", hundredMib, true));
    Server().SetReplyFor("/channel/5", HugeReply("huge", threeGb, false));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(LaunchShipping(&program));

    DWORD start = LookUp(program, L"4");
    long took = TimeToTitle(program, L"4big", start, DeadlineAndSlackMs);
    SIZE_T peak100 = MemoryOf(program->process).PeakWorkingSetSize;
    printf("100 MiB reply: title after %ld ms, peak working set %.1f MiB\n", took, Mib(peak100));
    EXPECT_GE(took, 0) << "title " << testing::PrintToString(WindowText(program->window));

    start = LookUp(program, L"5");
    took = TimeToTitle(program, L"5huge", start, DeadlineAndSlackMs);
    PROCESS_MEMORY_COUNTERS memory = MemoryOf(program->process);
    printf("3 GB reply: title after %ld ms, peak working set %.1f MiB\n", took, Mib(memory.PeakWorkingSetSize));
    RecordProperty("peak_working_set_mib", static_cast<int>(Mib(memory.PeakWorkingSetSize)));
    EXPECT_GE(took, 0) << "title " << testing::PrintToString(WindowText(program->window));
    ASSERT_GT(memory.PeakWorkingSetSize, 0u) << "the program's memory cannot be read";
    EXPECT_LT(memory.PeakWorkingSetSize, static_cast<SIZE_T>(400) << 20);
    // The server was left long before the end of its reply.
    std::vector<LoopbackServer::Sent> sent = Server().Replies();
    ASSERT_FALSE(sent.empty());
    EXPECT_LT(sent.back().bytes, threeGb / 4);

    EXPECT_EQ(WaitForExit(program->process, 0), static_cast<DWORD>(STILL_ACTIVE));
    ASSERT_TRUE(BringToForeground(program->window));
    PressKeys({VK_ESCAPE});
    EXPECT_EQ(WaitForExit(program->process, ExitTimeoutMs), 0u);
}

TEST_F(HostileServers, ANameWithTheEuroSignIsShown)
{
    // U+20AC is the single byte 0x80 in code page 936; the quote after it
    // must still end the name.
    Server().SetReplyFor("/channel/6", OkReply(Reply(u8"a\u20AC")));
    Server().SetReplyFor("/channel/7", OkReply(Reply(u8"\u20AC\u4E2D\u20AC")));
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(LaunchShipping(&program));
    const std::pair<std::wstring, std::wstring> lookups[] = {
        {L"6", L"6a\u20AC"},
        {L"7", L"7\u20AC\u4E2D\u20AC"},
    };
    for (const auto &lookup : lookups) {
        DWORD start = LookUp(program, lookup.first);
        EXPECT_GE(TimeToTitle(program, lookup.second, start, LookupTimeoutMs), 0)
            << "title " << testing::PrintToString(WindowText(program->window));
    }
}

// A burst of clicks while each lookup waits 100 ms for its reply: every
// click lands in the pause of the lookup before it and nests. The program
// must come through it alive, show the outermost result, and close
// normally after it.
TEST_F(HostileServers, ABurstOf2000QueuedClicksNeitherCrashesNorHangs)
{
    const int clicks = 2000;
    LoopbackReply slow = OkReply(Reply("burst"));
    slow.delayMs = 100;
    Server().SetReplyFor("/channel/8", slow);
    Program *program = nullptr;
    ASSERT_NO_FATAL_FAILURE(LaunchShipping(&program));
    ASSERT_NO_FATAL_FAILURE(TypeIntoEditBox(program, L"8"));

    // Each click is the button's notification itself. Under Wine a click
    // that goes through the button's own procedure (BM_CLICK) nests no
    // deeper than 32 levels whatever the program does, as Wine stops
    // nested window procedures there; the notification alone nests until
    // the program stops it, or the stack overflows.
    DWORD start = GetTickCount();
    for (int i = 0; i < clicks; ++i)
        ASSERT_TRUE(PostMessageW(program->window, WM_COMMAND, MAKEWPARAM(LookupButtonId, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(program->button)));
    // Unbounded nesting would take a reply's 100 ms for each click: the
    // limit lets that finish, were the stack deep enough.
    bool settled = WaitUntil(
        [&] {
            return WaitForExit(program->process, 0) != STILL_ACTIVE ||
                (WindowText(program->window) == L"8burst" && ServerQuietFor(3000));
        },
        clicks * 150 + 60000);
    DWORD took = GetTickCount() - start - 3000;
    size_t requests = Server().RequestCount();
    printf("burst of %d clicks: %zu lookups, settled after %lu ms\n", clicks, requests, took);
    RecordProperty("burst_lookups", static_cast<int>(requests));
    RecordProperty("burst_ms", static_cast<int>(took));
    ASSERT_EQ(WaitForExit(program->process, 0), static_cast<DWORD>(STILL_ACTIVE)) << "the program died";
    EXPECT_TRUE(settled) << "still busy; title " << testing::PrintToString(WindowText(program->window));
    EXPECT_GE(requests, 2u) << "the clicks did not nest";
    DWORD_PTR ignored = 0;
    EXPECT_TRUE(SendMessageTimeoutW(program->window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored));
    PostMessageW(program->window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(program->process, ExitTimeoutMs), 0u);
}

// ------------------------------------------------------------ the stack

// Where each nested level's pause dispatched the probe message: the stack
// pointer one level down is lower by what one level takes.
std::vector<uintptr_t> ProbeDepths;
const UINT ProbeMessage = WM_APP + 7;

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == ProbeMessage) {
        volatile char here = 0;
        ProbeDepths.push_back(reinterpret_cast<uintptr_t>(&here));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The stack reserve that the executable's header asks for.
uint64_t StackReserveOf(const std::wstring &path)
{
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return 0;
    UniqueHandle file(opened);
    std::vector<char> bytes(4096);
    DWORD got = 0;
    ReadFile(file.get(), bytes.data(), 4096, &got, nullptr);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(bytes.data());
    if (got < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > got)
        return 0;
    const char *nt = bytes.data() + dos->e_lfanew;
    WORD magic = *reinterpret_cast<const WORD *>(nt + 4 + sizeof(IMAGE_FILE_HEADER));
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return reinterpret_cast<const IMAGE_NT_HEADERS64 *>(nt)->OptionalHeader.SizeOfStackReserve;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        return reinterpret_cast<const IMAGE_NT_HEADERS32 *>(nt)->OptionalHeader.SizeOfStackReserve;
    return 0;
}

class NestedLookups : public testing::Test {
protected:
    void SetUp() override
    {
        server_.reset(new LoopbackServer(DirectoryPort()));
        ASSERT_EQ(server_->Port(), DirectoryPort());
        LoopbackReply slow = OkReply(Reply("nest"));
        slow.delayMs = 100;
        server_->SetReply(slow);
        ASSERT_TRUE(CreateMainWindow());
        HWND window = MainWindowHandle();
        button_ = GetDlgItem(window, LookupButtonId);
        SetWindowTextW(GetDlgItem(window, EditBoxId), L"1");
        WNDCLASSW probeClass = {};
        probeClass.lpfnWndProc = ProbeProc;
        probeClass.hInstance = GetModuleHandleW(nullptr);
        probeClass.lpszClassName = L"HostileTest.StackProbe";
        RegisterClassW(&probeClass);
        probe_ = CreateWindowExW(0, probeClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 probeClass.hInstance, nullptr);
        ASSERT_NE(probe_, nullptr);
        ProbeDepths.clear();
    }
    void TearDown() override
    {
        if (probe_)
            DestroyWindow(probe_);
        if (MainWindowHandle())
            DestroyWindow(MainWindowHandle());
        server_.reset();
    }

    // Queues `clicks` clicks, each followed by a probe, and lets the first
    // click run: every later one is dispatched in the pause before it. A
    // click is the button's BM_CLICK (through the button's procedure, as a
    // mouse click goes) or the button's notification alone.
    enum ClickKind { ThroughTheButton, NotificationAlone };
    void Burst(int clicks, ClickKind kind)
    {
        HWND window = MainWindowHandle();
        for (int i = 0; i < clicks; ++i) {
            if (kind == ThroughTheButton)
                PostMessageW(button_, BM_CLICK, 0, 0);
            else
                PostMessageW(window, WM_COMMAND, MAKEWPARAM(LookupButtonId, BN_CLICKED),
                             reinterpret_cast<LPARAM>(button_));
            PostMessageW(probe_, ProbeMessage, 0, 0);
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE) && message.message != WM_QUIT)
            DispatchOneMessage();
    }

    std::unique_ptr<LoopbackServer> server_;
    HWND button_ = nullptr;
    HWND probe_ = nullptr;
};

TEST_F(NestedLookups, EachLevelTakesTheSameStackAndTheReserveHoldsTheMostThatNest)
{
    const int levels = 12;
    intptr_t deepest = 0;
    for (ClickKind kind : {ThroughTheButton, NotificationAlone}) {
        const char *name = kind == ThroughTheButton ? "a click through the button" : "the notification alone";
        SCOPED_TRACE(name);
        ProbeDepths.clear();
        server_->ClearRequests();
        Burst(levels, kind);
        ASSERT_EQ(ProbeDepths.size(), static_cast<size_t>(levels));
        EXPECT_EQ(server_->RequestCount(), static_cast<size_t>(levels)) << "every click nested a lookup";
        // Level k's probe ran in level k's pause, one level below level
        // k-1's.
        std::vector<intptr_t> steps;
        for (int i = 1; i < levels; ++i)
            steps.push_back(static_cast<intptr_t>(ProbeDepths[i - 1] - ProbeDepths[i]));
        for (intptr_t step : steps)
            EXPECT_EQ(step, steps[0]) << "levels of different depth";
        ASSERT_GT(steps[0], 0);
        printf("stack: %ld bytes per nested lookup for %s\n", static_cast<long>(steps[0]), name);
        RecordProperty(kind == ThroughTheButton ? "stack_per_level_button" : "stack_per_level_notification",
                       static_cast<int>(steps[0]));
        deepest = std::max(deepest, steps[0]);
    }

    uint64_t reserve = StackReserveOf(ShippingProgramPath());
    ASSERT_GT(reserve, 0u) << "no stack reserve in the shipping program's header";
    uint64_t fits = reserve / static_cast<uint64_t>(deepest);
    printf("stack: channel-lookup.exe reserves %llu bytes: room for at most %llu levels of %ld bytes\n",
           static_cast<unsigned long long>(reserve), static_cast<unsigned long long>(fits),
           static_cast<long>(deepest));
    RecordProperty("stack_reserve", static_cast<int>(reserve));
    // The bound leaves the stack most of its room for what one lookup
    // needs below the deepest level.
    EXPECT_LT(static_cast<uint64_t>(MostNestedLookups) * deepest, reserve / 4);
}

// Past the bound a click does nothing: no lookup, no deeper stack.
TEST_F(NestedLookups, AClickBeyondTheBoundDoesNothing)
{
    const int clicks = MostNestedLookups + 8;
    Burst(clicks, NotificationAlone);
    ASSERT_EQ(ProbeDepths.size(), static_cast<size_t>(clicks));
    EXPECT_EQ(server_->RequestCount(), static_cast<size_t>(MostNestedLookups));
    for (int i = MostNestedLookups; i < clicks; ++i)
        EXPECT_EQ(ProbeDepths[i], ProbeDepths[MostNestedLookups - 1]) << "probe " << i;
    EXPECT_EQ(WindowText(MainWindowHandle()), L"1nest");
    // Once the burst is over, a click looks up again.
    server_->ClearRequests();
    Burst(1, ThroughTheButton);
    EXPECT_EQ(server_->RequestCount(), 1u);
}

} // namespace
