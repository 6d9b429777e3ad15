// The channel lookup: cutting the name out of a reply, the reply decoding,
// the responsive pause and the message step, and whole lookups against the
// loopback server.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <memory>
#include <string>
#include <vector>

#include "lookup/literals.h"
#include "lookup/lookup.h"
#include "lookup/values.h"
#include "tests/support/directory_port.h"
#include "tests/support/loopback_server.h"
#include "tests/support/process.h"
#include "tests/support/refusing_port.h"
#include "tests/support/values.h"

namespace {

using LookupTest = LeakCheckedTest;

// ---------------------------------------------------------------- TextBetween

struct BetweenCase {
    const char *label;
    std::string text;
    std::string expected; // "(null)" when the empty result is null
    bool emptyTextConstant;
};

void PrintTo(const BetweenCase &c, std::ostream *out) { *out << c.label; }

// The replies below that are plain ASCII are also whole lookups' replies
// (ChannelLookupCases).
const BetweenCase BetweenCases[] = {
    {"abc", R"({"id":1,"name":"abc","x":2})", "abc", false},
    {"name_is_last_field", R"({"id":1,"name":"abc"})", "", true},
    {"two_start_markers", R"({"name":"first","name":"second",})", "first", false},
    {"end_right_after_start", R"({"name":"","id":1})", "(null)", false},
    {"no_start_marker", R"({"id":1,"title":"abc",})", "", true},
    {"start_marker_ends_text", R"({"id":1,"name":")", "", true},
    {"empty_text", "", "", true},
    {"end_before_start_does_not_count", R"(",{"name":"abc"})", "", true},
    {"backslash_escapes_kept", R"({"name":"a\"b\\c\u4e2d","id":1})", R"(a\"b\\c\u4e2d)", false},
    {"chinese_name", "{\"name\":\"" + HexBytes("D6 D0 CE C4") + "\",", HexBytes("D6 D0 CE C4"), false},
    // B0 22 is one character: its second byte is no quote that could begin
    // the start marker, so the second marker is the first found.
    {"start_quote_inside_character", HexBytes("B0") + R"("name":"x","name":"y",)", "y", false},
    // The same for the end marker: the name runs on past B0 22 2C.
    {"end_quote_inside_character", R"("name":"a)" + HexBytes("B0") + R"(",b",)",
     "a" + HexBytes("B0") + R"(",b)", false},
};

class TextBetweenTest : public LookupTest, public testing::WithParamInterface<BetweenCase> {};

TEST_P(TextBetweenTest, CutsBetweenFirstStartAndNextEnd)
{
    const BetweenCase &c = GetParam();
    TextValue result = TextBetween(c.text.c_str(), NameStartMarker(), NameEndMarker());
    if (c.emptyTextConstant) {
        EXPECT_EQ(result, EmptyText);
    }
    EXPECT_EQ(Hex(TakeText(result)), Hex(c.expected)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Replies, TextBetweenTest, testing::ValuesIn(BetweenCases), CaseLabel());

TEST_F(LookupTest, TextBetweenNullTextIsEmptyText)
{
    EXPECT_EQ(TextBetween(nullptr, NameStartMarker(), NameEndMarker()), EmptyText);
}

// ---------------------------------------------------------------- conversions

enum Conversion { FromUtf8ToAnsi, FromUtf8ToUtf16, FromUtf16ToAnsi };

struct ConversionCase {
    const char *label;
    Conversion conversion;
    const char *input;    // hex
    const char *expected; // hex, or nullptr for a null result
};

void PrintTo(const ConversionCase &c, std::ostream *out) { *out << c.label; }

// The decodings of replies (FromUtf8ToAnsi) are also decodings of names in
// whole lookups (ChannelLookupCases).
const ConversionCase ConversionCases[] = {
    {"utf8_to_ansi_empty", FromUtf8ToAnsi, "", nullptr},
    {"utf8_to_ansi_ascii", FromUtf8ToAnsi, "61 62 63", "61 62 63"},
    // U+4E2D U+6587
    {"utf8_to_ansi_chinese", FromUtf8ToAnsi, "E4 B8 AD E6 96 87", "D6 D0 CE C4"},
    {"utf8_to_ansi_chinese_among_ascii", FromUtf8ToAnsi, "31 E4 B8 AD 32", "31 D6 D0 32"},
    // U+20AC is the single byte 80 in code page 936: as a name, the quote
    // after it still ends the name.
    {"utf8_to_ansi_euro_sign", FromUtf8ToAnsi, "61 E2 82 AC", "61 80"},
    // U+0E01 (Thai) has no place in code page 936.
    {"utf8_to_ansi_outside_936_default_char", FromUtf8ToAnsi, "61 E0 B8 81 62", "61 3F 62"},
    // e + U+0301 composes to U+00E9, which 936 has as A8 A6.
    {"utf8_to_ansi_combining_mark_composed", FromUtf8ToAnsi, "65 CC 81", "A8 A6"},
    // U+00E9 given precomposed comes out the same.
    {"utf8_to_ansi_precomposed", FromUtf8ToAnsi, "C3 A9", "A8 A6"},
    // An invalid byte decodes to U+FFFD, which 936 lacks.
    {"utf8_to_ansi_invalid_utf8", FromUtf8ToAnsi, "61 FF 62", "61 3F 62"},
    {"utf8_to_ansi_truncated_sequence", FromUtf8ToAnsi, "61 E4 B8", "61 3F"},
    // The text ends at a decoded zero, as any text does.
    {"utf8_to_ansi_embedded_zero", FromUtf8ToAnsi, "61 00 62", "61"},

    {"utf8_to_utf16_empty", FromUtf8ToUtf16, "", nullptr},
    {"utf8_to_utf16_ascii", FromUtf8ToUtf16, "61 62", "61 00 62 00"},
    {"utf8_to_utf16_chinese", FromUtf8ToUtf16, "E4 B8 AD", "2D 4E"},
    // U+1F600 takes a surrogate pair.
    {"utf8_to_utf16_outside_bmp", FromUtf8ToUtf16, "F0 9F 98 80", "3D D8 00 DE"},
    {"utf8_to_utf16_invalid_utf8", FromUtf8ToUtf16, "61 FF", "61 00 FD FF"},
    {"utf8_to_utf16_zero_byte_kept", FromUtf8ToUtf16, "61 00", "61 00 00 00"},

    {"utf16_to_ansi_empty", FromUtf16ToAnsi, "", nullptr},
    {"utf16_to_ansi_single_odd_byte", FromUtf16ToAnsi, "61", nullptr},
    {"utf16_to_ansi_odd_trailing_byte_ignored", FromUtf16ToAnsi, "61 00 62", "61"},
    {"utf16_to_ansi_chinese", FromUtf16ToAnsi, "2D 4E 87 65", "D6 D0 CE C4"},
    {"utf16_to_ansi_outside_936", FromUtf16ToAnsi, "01 0E", "3F"},
    {"utf16_to_ansi_combining_mark", FromUtf16ToAnsi, "65 00 01 03", "A8 A6"},
    {"utf16_to_ansi_leading_zero_unit", FromUtf16ToAnsi, "00 00 61 00", nullptr},
};

// The result's bytes, "(null)" for null; the result is released. A buffer
// result has the header 1 of every buffer.
std::string Converted(Conversion conversion, const ByteBufferHead *input)
{
    switch (conversion) {
    case FromUtf8ToAnsi:
        return TakeText(Utf8ToAnsi(input));
    case FromUtf16ToAnsi:
        return TakeText(Utf16ToAnsi(input));
    case FromUtf8ToUtf16:
        break;
    }
    ByteBuffer units = Utf8ToUtf16(input);
    if (units) {
        EXPECT_EQ(units->header, 1);
    }
    return TakeBuffer(units);
}

class ConversionTest : public LookupTest, public testing::WithParamInterface<ConversionCase> {};

// Null where none is expected, else exactly the expected bytes: UTF-16LE
// units without a terminator, or code page 936 text.
TEST_P(ConversionTest, GivesExactlyTheExpectedBytes)
{
    const ConversionCase &c = GetParam();
    UniqueBuffer input(NewBuffer(HexBytes(c.input)));
    std::string result = Converted(c.conversion, input.get());
    if (!c.expected) {
        EXPECT_EQ(result, "(null)");
    } else {
        EXPECT_EQ(Hex(result), Hex(HexBytes(c.expected)));
    }
}

INSTANTIATE_TEST_SUITE_P(Buffers, ConversionTest, testing::ValuesIn(ConversionCases), CaseLabel());

TEST_F(LookupTest, ConversionsOfNullAreNull)
{
    EXPECT_EQ(Utf8ToUtf16(nullptr), nullptr);
    EXPECT_EQ(Utf16ToAnsi(nullptr), nullptr);
    EXPECT_EQ(Utf8ToAnsi(nullptr), nullptr);
    EXPECT_EQ(Utf8ToAnsi(EmptyBuffer), nullptr);
}

// The sizes of the conversions' results, up to sizes that cannot be
// allocated in a test: a size past what one buffer holds is -1 (a null
// result), never a wrapped 32-bit number.
TEST(ResultBytes, NeverWrapsPastWhatABufferHolds)
{
    const int64_t largest = INT32_MAX - 8;  // data bytes of the largest buffer
    struct Case {
        int64_t units;
        int32_t unitSize;
        int32_t expected;
    } cases[] = {
        {0, 2, 0},
        {1, 2, 2},
        {5, 1, 5},
        {largest / 2, 2, static_cast<int32_t>(largest / 2 * 2)},
        {largest / 2 + 1, 2, -1},
        {0x40000000, 2, -1},           // 2^31: wrapped, the most negative count
        {0x48000000, 2, -1},           // 1.1 GiB of UTF-8: wrapped, negative
        {0x80000001LL, 2, -1},         // wrapped, 2
        {largest, 1, static_cast<int32_t>(largest)},
        {largest + 1, 1, -1},
        {INT32_MAX, 2, -1},
        {-1, 2, -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ResultBytes(c.units, c.unitSize), c.expected) << c.units << " units of " << c.unitSize;
}

// ---------------------------------------------------------------- messages

const UINT CountedMessage = WM_APP + 1;
const UINT StampedMessage = WM_APP + 2;
const UINT NestedLookupMessage = WM_APP + 3;

struct Received {
    UINT message;
    WPARAM wParam;
    DWORD tick;
};
std::vector<Received> ReceivedMessages;

struct NestedLookup {
    std::string number;
    std::string result;
    DWORD startTick = 0;
    DWORD endTick = 0;
} Nested;

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case CountedMessage:
    case StampedMessage:
    case WM_KEYDOWN:
    case WM_CHAR:
        ReceivedMessages.push_back({message, wParam, GetTickCount()});
        return 0;
    case NestedLookupMessage:
        Nested.startTick = GetTickCount();
        Nested.result = TakeText(LookUpChannel(Nested.number.c_str()));
        Nested.endTick = GetTickCount();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void DiscardQueue()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// A Unicode message-only window on the test thread that records what it gets.
class MessageTest : public LookupTest {
protected:
    void SetUp() override
    {
        LookupTest::SetUp();
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = TestWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"LookupTestWindow";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, L"LookupTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        DiscardQueue();
        ReceivedMessages.clear();
    }
    void TearDown() override
    {
        SetPreTranslateHook(nullptr);
        DestroyWindow(window_);
        DiscardQueue();
        LookupTest::TearDown();
    }

    std::vector<UINT> ReceivedKinds() const
    {
        std::vector<UINT> kinds;
        for (const Received &r : ReceivedMessages)
            kinds.push_back(r.message);
        return kinds;
    }

    HWND window_ = nullptr;
};

TEST_F(MessageTest, PauseOfZeroOrLessReturnsAtOnceWithoutDispatching)
{
    for (int32_t duration : {0, -1, INT32_MIN}) {
        PostMessageW(window_, CountedMessage, 0, 0);
        DWORD start = GetTickCount();
        PauseWithEvents(duration);
        EXPECT_LT(GetTickCount() - start, 50u) << duration;
        EXPECT_TRUE(ReceivedMessages.empty()) << duration;
        DiscardQueue();
    }
}

TEST_F(MessageTest, PauseLastsLongerThanItsDurationAndDispatchesQueuedMessages)
{
    for (int32_t duration : {1, 100, 300}) {
        ReceivedMessages.clear();
        for (int i = 0; i < 3; ++i)
            PostMessageW(window_, CountedMessage, i, 0);
        DWORD start = GetTickCount();
        PauseWithEvents(duration);
        DWORD elapsed = GetTickCount() - start;
        EXPECT_GT(elapsed, static_cast<DWORD>(duration));
        EXPECT_LT(elapsed, static_cast<DWORD>(duration) + 400u);
        ASSERT_EQ(ReceivedMessages.size(), 3u) << duration;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(ReceivedMessages[i].wParam, i);
    }
}

struct Poster {
    HWND window;
    DWORD postTick;
};

DWORD WINAPI PostAfterWhile(LPVOID parameter)
{
    Poster *poster = static_cast<Poster *>(parameter);
    Sleep(100);
    poster->postTick = GetTickCount();
    PostMessageW(poster->window, StampedMessage, 0, 0);
    return 0;
}

// The pause waits for the queue rather than for the end of the pause: a
// message that arrives midway is dispatched at once.
TEST_F(MessageTest, PauseDispatchesMessageArrivingMidwayPromptly)
{
    Poster poster = {window_, 0};
    UniqueHandle thread(CreateThread(nullptr, 0, PostAfterWhile, &poster, 0, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    DWORD start = GetTickCount();
    PauseWithEvents(600);
    DWORD elapsed = GetTickCount() - start;
    WaitForSingleObject(thread.get(), INFINITE);
    EXPECT_GT(elapsed, 600u);
    ASSERT_EQ(ReceivedMessages.size(), 1u);
    EXPECT_LT(ReceivedMessages[0].tick - poster.postTick, 150u);
}

TEST_F(MessageTest, PauseCostsLittleProcessorTime)
{
    double cpuBefore = ProcessCpuMs();
    PauseWithEvents(500);
    double cpu = ProcessCpuMs() - cpuBefore;
    EXPECT_LT(cpu, 50.0) << "a spinning pause burns about 500 ms";
}

TEST_F(MessageTest, PauseLeavesQuitQueuedAndStillLastsItsDuration)
{
    PostMessageW(window_, CountedMessage, 0, 0);
    PostQuitMessage(7);
    double cpuBefore = ProcessCpuMs();
    DWORD start = GetTickCount();
    PauseWithEvents(300);
    DWORD elapsed = GetTickCount() - start;
    double cpu = ProcessCpuMs() - cpuBefore;
    EXPECT_GT(elapsed, 300u);
    EXPECT_LT(cpu, 50.0) << "the pause spun while the quit message was queued";
    EXPECT_EQ(ReceivedKinds(), std::vector<UINT>{CountedMessage});
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 7u);
}

TEST_F(MessageTest, PumpStopsAtQuitAndLeavesWhatFollowsIt)
{
    PostMessageW(window_, CountedMessage, 1, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 5, 0);
    PostMessageW(window_, CountedMessage, 2, 0);
    PumpPendingMessages();
    ASSERT_EQ(ReceivedMessages.size(), 1u);
    EXPECT_EQ(ReceivedMessages[0].wParam, 1u);
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    ASSERT_TRUE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, CountedMessage);
    EXPECT_EQ(message.wParam, 2u);
}

TEST_F(MessageTest, DispatchOneReportsQuitWithoutDispatchingIt)
{
    PostQuitMessage(3);
    WPARAM quitValue = 0;
    EXPECT_TRUE(DispatchOneMessage(&quitValue));
    EXPECT_EQ(quitValue, 3u);
    EXPECT_TRUE(ReceivedMessages.empty());
    PostMessageW(window_, CountedMessage, 0, 0);
    EXPECT_FALSE(DispatchOneMessage());
    EXPECT_EQ(ReceivedKinds(), std::vector<UINT>{CountedMessage});
}

// The message step is Unicode all through: a character that neither code
// page 936 nor the ANSI code page holds reaches a Unicode window intact.
TEST_F(MessageTest, DispatchOneKeepsUnicodeCharacters)
{
    PostMessageW(window_, WM_CHAR, 0x0E01, 0);
    EXPECT_FALSE(DispatchOneMessage());
    ASSERT_EQ(ReceivedMessages.size(), 1u);
    EXPECT_EQ(ReceivedMessages[0].wParam, 0x0E01u);
}

std::vector<UINT> HookSaw;

bool ConsumeKeyDown(MSG *message)
{
    HookSaw.push_back(message->message);
    return message->message == WM_KEYDOWN;
}

bool ConsumeNothing(MSG *message)
{
    HookSaw.push_back(message->message);
    return false;
}

// A key press that nobody consumes is translated (a WM_CHAR follows it) and
// dispatched; a consumed one is neither.
TEST_F(MessageTest, DispatchOneOffersEveryMessageToTheHookFirst)
{
    const LPARAM keyA = 1 | (MapVirtualKeyW('A', MAPVK_VK_TO_VSC) << 16);

    HookSaw.clear();
    SetPreTranslateHook(ConsumeNothing);
    PostMessageW(window_, WM_KEYDOWN, 'A', keyA);
    PumpPendingMessages();
    EXPECT_EQ(ReceivedKinds(), (std::vector<UINT>{WM_KEYDOWN, WM_CHAR}));
    EXPECT_EQ(HookSaw, (std::vector<UINT>{WM_KEYDOWN, WM_CHAR}));

    HookSaw.clear();
    ReceivedMessages.clear();
    SetPreTranslateHook(ConsumeKeyDown);
    PostMessageW(window_, WM_KEYDOWN, 'A', keyA);
    PostMessageW(window_, CountedMessage, 0, 0);
    EXPECT_FALSE(DispatchOneMessage());
    EXPECT_FALSE(DispatchOneMessage());
    EXPECT_EQ(HookSaw, (std::vector<UINT>{WM_KEYDOWN, CountedMessage}));
    EXPECT_EQ(ReceivedKinds(), std::vector<UINT>{CountedMessage});
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) << "a WM_CHAR was made";

    HookSaw.clear();
    ReceivedMessages.clear();
    SetPreTranslateHook(nullptr);
    PostMessageW(window_, CountedMessage, 0, 0);
    EXPECT_FALSE(DispatchOneMessage());
    EXPECT_TRUE(HookSaw.empty());
    EXPECT_EQ(ReceivedKinds(), std::vector<UINT>{CountedMessage});
}

// ---------------------------------------------------------------- lookups

std::string RequestLine(const std::string &request)
{
    return request.substr(0, request.find("\r\n"));
}

class ChannelLookupTest : public MessageTest {
protected:
    void SetUp() override
    {
        MessageTest::SetUp();
        server_.reset(new LoopbackServer(DirectoryPort()));
        ASSERT_EQ(server_->Port(), DirectoryPort()) << "cannot listen on the directory port";
    }
    void TearDown() override
    {
        server_.reset();
        MessageTest::TearDown();
    }

    std::unique_ptr<LoopbackServer> server_;
};

struct LookupCase {
    std::string label;
    std::string number;
    std::string reply; // UTF-8
    std::string expected; // code page 936
};

void PrintTo(const LookupCase &c, std::ostream *out) { *out << c.label; }

bool IsAscii(const std::string &bytes)
{
    for (unsigned char c : bytes)
        if (c >= 0x80)
            return false;
    return true;
}

// Whole lookups made of the rows above, so that they cannot drift apart:
// every ASCII reply of BetweenCases (UTF-8 and code page 936 alike), and
// every decoding of ConversionCases as the name in a reply (but for a zero
// byte, which ends the reply's text and so loses the end marker).
std::vector<LookupCase> LookupCases()
{
    std::vector<LookupCase> cases;
    for (const BetweenCase &c : BetweenCases)
        if (IsAscii(c.text))
            cases.push_back({std::string("reply_") + c.label, "42", c.text,
                             "42" + (c.expected == "(null)" ? std::string() : c.expected)});
    for (const ConversionCase &c : ConversionCases) {
        std::string name = HexBytes(c.input);
        if (c.conversion != FromUtf8ToAnsi || name.find('\0') != std::string::npos)
            continue;
        cases.push_back({std::string("name_") + c.label, "7", "{\"name\":\"" + name + "\",}",
                         "7" + (c.expected ? HexBytes(c.expected) : std::string())});
    }
    cases.push_back({"empty_number", "", R"({"name":"abc",})", "abc"});
    return cases;
}

class ChannelLookupCases : public ChannelLookupTest, public testing::WithParamInterface<LookupCase> {};

TEST_P(ChannelLookupCases, ShowsNumberFollowedByName)
{
    const LookupCase &c = GetParam();
    server_->SetReply(OkReply(c.reply));
    DWORD start = GetTickCount();
    std::string result = TakeText(LookUpChannel(c.number.c_str()));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(Hex(result), Hex(c.expected)) << result;
    EXPECT_GT(elapsed, 500u);
    std::vector<std::string> requests = server_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(RequestLine(requests[0]), "GET /channel/" + c.number + " HTTP/1.0");
}

INSTANTIATE_TEST_SUITE_P(Replies, ChannelLookupCases, testing::ValuesIn(LookupCases()), CaseLabel());

TEST_F(ChannelLookupTest, ReadsNameFromErrorPageToo)
{
    server_->SetReply(HttpReply("HTTP/1.0 404 Not Found", "", R"({"name":"gone",})"));
    EXPECT_EQ(TakeText(LookUpChannel("5")), "5gone");
}

// A lookup started by a message during the pause runs to completion, its
// own fetch and pause included, before the outer one returns.
TEST_F(ChannelLookupTest, NestedLookupCompletesBeforeOuterOne)
{
    server_->SetReplyFor("/channel/1", OkReply(R"({"name":"outer",})"));
    server_->SetReplyFor("/channel/2", OkReply(R"({"name":"inner",})"));
    Nested = NestedLookup();
    Nested.number = "2";
    PostMessageW(window_, NestedLookupMessage, 0, 0);

    DWORD start = GetTickCount();
    std::string outer = TakeText(LookUpChannel("1"));
    DWORD end = GetTickCount();

    EXPECT_EQ(outer, "1outer");
    EXPECT_EQ(Nested.result, "2inner");
    EXPECT_GT(Nested.endTick - Nested.startTick, 500u);
    EXPECT_LE(Nested.startTick - start, end - start);
    EXPECT_LE(Nested.endTick - start, end - start);
    std::vector<std::string> requests = server_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RequestLine(requests[0]), "GET /channel/1 HTTP/1.0");
    EXPECT_EQ(RequestLine(requests[1]), "GET /channel/2 HTTP/1.0");
}

TEST_F(MessageTest, FailedFetchGivesNumberAloneAfterFullPause)
{
    RefusingPort port(DirectoryPort());
    ASSERT_TRUE(port.Bound());
    DWORD start = GetTickCount();
    std::string result = TakeText(LookUpChannel("42"));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(result, "42");
    EXPECT_GT(elapsed, 500u);
}

} // namespace
