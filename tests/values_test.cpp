// Text and buffer values, the memory service and the fatal report.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "lookup/literals.h"
#include "lookup/values.h"
#include "tests/support/fatal_box.h"
#include "tests/support/process.h"
#include "tests/support/values.h"

namespace {

Bytes BlockBytes(const void *block, size_t n)
{
    const uint8_t *p = static_cast<const uint8_t *>(block);
    return Bytes(p, p + n);
}

// The block size the heap reports; proves "exactly length + 1 bytes".
size_t BlockSize(const void *block)
{
    return HeapSize(GetProcessHeap(), 0, block);
}

using Values = LeakCheckedTest;

TEST_F(Values, TextLengthCountsBytesBeforeTheTerminator)
{
    EXPECT_EQ(TextLength(nullptr), 0);
    EXPECT_EQ(TextLength(EmptyText), 0);
    UniqueText chinese(NewText(Bytes{0xD6, 0xD0, 0xCE, 0xC4})); // two characters of code page 936
    EXPECT_EQ(TextLength(chinese.get()), 4);
}

TEST_F(Values, ConcatTextJoinsIntoOneFreshBlock)
{
    UniqueText ab(NewText("ab"));
    UniqueText cd(NewText(Bytes{0xB0, 0xA1, 0x63}));

    struct Case {
        const char *first;
        const char *second;
        Bytes expected;
    } cases[] = {
        {ab.get(), cd.get(), {0x61, 0x62, 0xB0, 0xA1, 0x63}},
        {ab.get(), nullptr, {0x61, 0x62}},
        {nullptr, ab.get(), {0x61, 0x62}},
        {EmptyText, nullptr, {}},
        {nullptr, nullptr, {}},
    };
    for (const Case &c : cases) {
        TextValue joined = ConcatText(c.first, c.second);
        ASSERT_NE(joined, nullptr) << "ConcatText never returns null";
        EXPECT_NE(joined, c.first);
        EXPECT_NE(joined, c.second);
        EXPECT_EQ(TextBytes(joined), c.expected);
        EXPECT_EQ(BlockSize(joined), c.expected.size() + 1);
        ReleaseBlock(joined);
    }
    EXPECT_EQ(TextBytes(ab.get()), TextBytes("ab")) << "arguments are only read";
}

TEST_F(Values, FindTextNeverStartsAMatchOnASecondByte)
{
    struct Case {
        Bytes text;
        Bytes sought;
        int32_t expected;
    } cases[] = {
        {{0x61}, {}, 1},                               // empty sought in a non-empty text
        {{}, {}, -1},                                  // empty sought in the empty text
        {{0x61}, {0x61, 0x62}, -1},                    // longer than the text
        {{0x61, 0x62}, {0x61, 0x62}, 1},               // the whole text
        {{0x78, 0x61, 0x62, 0x61, 0x62}, {0x61, 0x62}, 2}, // first of two occurrences
        {{0x41, 0x62}, {0x61, 0x62}, -1},              // case matters
        {{0x81, 0x61, 0x62, 0x63}, {0x61, 0x62, 0x63}, -1}, // 81 61 is one character
        {{0x81, 0x61, 0x62, 0x63}, {0x62, 0x63}, 3},
        {{0x61, 0xB0, 0xA1}, {0x61, 0xB0}, 1},         // a match may end inside a character
        {{0xB0, 0xA1, 0xB0, 0xA1}, {0xB0, 0xA1}, 1},
        {{0xA1, 0xB0, 0xA1, 0xB0}, {0xB0, 0xA1}, -1},  // B0 A1 at 2 starts on a second byte
        {{0x61, 0xA1, 0xB0, 0xB0, 0xA1}, {0xB0, 0xA1}, 4},
        {{0x61, 0x62, 0x81}, {0x81}, 3},               // a lead byte at the very end
        {{0x80, 0x22, 0x2C}, {0x22, 0x2C}, 2},         // 80 (the euro sign) is one byte
        {{0xFF, 0x22, 0x2C}, {0x22, 0x2C}, 2},         // FF is one byte
        {{0xFE, 0x22, 0x2C}, {0x22, 0x2C}, -1},        // FE 22 is one character
    };
    for (const Case &c : cases) {
        UniqueText text(NewText(c.text));
        UniqueText sought(NewText(c.sought));
        EXPECT_EQ(FindText(text.get(), sought.get()), c.expected)
            << "text " << Hex(c.text) << ", sought " << Hex(c.sought);
    }
    EXPECT_EQ(FindText(nullptr, nullptr), -1);
    EXPECT_EQ(FindText(nullptr, "a"), -1);
    EXPECT_EQ(FindText("a", nullptr), 1);
}

TEST_F(Values, LeftAndRightTextCutBytesAndMaySplitACharacter)
{
    struct Case {
        bool left;
        Bytes text;
        int32_t n;
        bool expectNull;
        Bytes expected;
    } cases[] = {
        {true, {0x61, 0x62, 0x63}, 0, true, {}},
        {true, {0x61, 0x62, 0x63}, -4, true, {}},
        {true, {0x61, 0x62, 0x63}, 2, false, {0x61, 0x62}},
        {true, {0x61, 0x62, 0x63}, 9, false, {0x61, 0x62, 0x63}},
        {true, {}, 3, true, {}},
        {true, {0xB0, 0xA1, 0x62}, 1, false, {0xB0}},
        {false, {0x61, 0x62, 0x63}, 0, true, {}},
        {false, {0x61, 0x62, 0x63}, -1, true, {}},
        {false, {0x61, 0x62, 0x63}, 2, false, {0x62, 0x63}},
        {false, {0x61, 0x62, 0x63}, 9, false, {0x61, 0x62, 0x63}},
        {false, {}, 2, true, {}},
        {false, {0x62, 0xB0, 0xA1}, 1, false, {0xA1}},
    };
    for (const Case &c : cases) {
        UniqueText text(NewText(c.text));
        Bytes before = TextBytes(text.get());
        TextValue cut = c.left ? LeftText(text.get(), c.n) : RightText(text.get(), c.n);
        SCOPED_TRACE((c.left ? "LeftText of " : "RightText of ") + Hex(c.text) + ", n " + std::to_string(c.n));
        if (c.expectNull) {
            EXPECT_EQ(cut, nullptr);
        } else {
            ASSERT_NE(cut, nullptr);
            EXPECT_NE(cut, text.get());
            EXPECT_EQ(TextBytes(cut), c.expected);
            EXPECT_EQ(BlockSize(cut), c.expected.size() + 1);
        }
        EXPECT_EQ(TextBytes(text.get()), before);
        ReleaseBlock(cut);
    }
    EXPECT_EQ(LeftText(nullptr, 3), nullptr);
    EXPECT_EQ(RightText(nullptr, 3), nullptr);
}

TEST_F(Values, CopyTextKeepsTheFormOfTheEmptyText)
{
    EXPECT_EQ(CopyText(nullptr), nullptr);

    TextValue empty = CopyText(EmptyText);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(empty, EmptyText);
    EXPECT_EQ(BlockSize(empty), 1u);
    EXPECT_EQ(empty[0], '\0');
    ReleaseBlock(empty);

    UniqueText text(NewText(Bytes{0xD6, 0xD0, 0x31}));
    TextValue copy = CopyText(text.get());
    ASSERT_NE(copy, text.get());
    EXPECT_EQ(TextBytes(copy), TextBytes(text.get()));
    EXPECT_EQ(BlockSize(copy), 4u);
    ReleaseBlock(copy);
}

TEST_F(Values, BufferLayoutIsHeaderCountThenData)
{
    EXPECT_EQ(BufferLength(nullptr), 0);
    EXPECT_EQ(BufferData(nullptr), nullptr);
    EXPECT_EQ(BufferLength(EmptyBuffer), 0);
    EXPECT_EQ(EmptyBuffer->header, 1);

    EXPECT_EQ(ZeroBuffer(0), nullptr);
    EXPECT_EQ(ZeroBuffer(-3), nullptr);

    ByteBuffer zeros = ZeroBuffer(3);
    ASSERT_NE(zeros, nullptr);
    // The raw block: 01 00 00 00 | 03 00 00 00 | 00 00 00, nothing more.
    EXPECT_EQ(BlockSize(zeros), 11u);
    EXPECT_EQ(BlockBytes(zeros, 11), (Bytes{1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(BufferData(zeros), reinterpret_cast<uint8_t *>(zeros) + 8);
    ReleaseBlock(zeros);

    const uint8_t source[] = {0x00, 0xFF, 0x61};
    EXPECT_EQ(BufferFromBytes(source, 0), nullptr);
    ByteBuffer made = BufferFromBytes(source, 3);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(BlockBytes(made, 11), (Bytes{1, 0, 0, 0, 3, 0, 0, 0, 0x00, 0xFF, 0x61}));
    EXPECT_EQ(BlockSize(made), 11u);

    EXPECT_EQ(CopyBuffer(nullptr), nullptr);
    ByteBuffer copy = CopyBuffer(made);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, made);
    EXPECT_EQ(BlockBytes(copy, 11), BlockBytes(made, 11));
    EXPECT_EQ(BlockSize(copy), 11u);
    ReleaseBlock(copy);
    ReleaseBlock(made);
}

TEST_F(Values, BufferToTextStopsAtTheFirstZeroByte)
{
    struct Case {
        Bytes data;
        bool expectNull;
        Bytes expected;
    } cases[] = {
        {{0x61, 0x62, 0x00, 0x63}, false, {0x61, 0x62}},
        {{0x00, 0x61}, true, {}},
        {{0x61, 0x62}, false, {0x61, 0x62}},
        {{0xD6, 0xD0, 0xCE}, false, {0xD6, 0xD0, 0xCE}}, // bytes taken as they stand
    };
    for (const Case &c : cases) {
        ByteBuffer buffer = BufferFromBytes(c.data.data(), static_cast<int32_t>(c.data.size()));
        TextValue text = BufferToText(buffer);
        SCOPED_TRACE("data " + Hex(c.data));
        if (c.expectNull) {
            EXPECT_EQ(text, nullptr);
        } else {
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(TextBytes(text), c.expected);
            EXPECT_EQ(BlockSize(text), c.expected.size() + 1);
        }
        EXPECT_EQ(BufferBytes(buffer), c.data) << "the buffer is only read";
        ReleaseBlock(text);
        ReleaseBlock(buffer);
    }
    EXPECT_EQ(BufferToText(nullptr), nullptr);
    EXPECT_EQ(BufferToText(EmptyBuffer), nullptr);
}

TEST_F(Values, TruncateToIntDropsTheFractionAndKeepsTheLow32Bits)
{
    struct Case {
        double value;
        int32_t expected;
    } cases[] = {
        {2.5, 2},
        {-2.5, -2},
        {7.0, 7},
        {-0.9, 0},
        {3.0 / 2.0, 1}, // an odd count halved
        {2147483647.0, 2147483647},
        {2147483648.0, INT32_MIN},       // low 32 bits of 2^31
        {4294967296.0 + 5.0, 5},         // 2^32 + 5
        {-2147483649.0, 2147483647},     // low 32 bits of -(2^31) - 1
    };
    for (const Case &c : cases)
        EXPECT_EQ(TruncateToInt(c.value), c.expected) << "value " << c.value;
}

TEST_F(Values, StaticConstantsSurviveAnyNumberOfReleases)
{
    Bytes marker = TextBytes(NameStartMarker());
    Bytes url = TextBytes(BaseUrlText());
    for (int i = 0; i < 1000; ++i) {
        ReleaseBlock(nullptr);
        ReleaseBlock(EmptyText);
        ReleaseBlock(EmptyBuffer);
        ReleaseBlock(NameStartMarker());
        ReleaseBlock(NameEndMarker());
        ReleaseBlock(BaseUrlText());
    }
    EXPECT_EQ(EmptyText[0], '\0');
    EXPECT_EQ(EmptyBuffer->header, 1);
    EXPECT_EQ(EmptyBuffer->count, 0);
    EXPECT_EQ(TextBytes(NameStartMarker()), marker);
    EXPECT_EQ(TextBytes(NameStartMarker()), TextBytes("\"name\":\""));
    EXPECT_EQ(TextBytes(NameEndMarker()), TextBytes("\","));
    EXPECT_EQ(TextBytes(BaseUrlText()), url);
    // The heap still works after all those releases.
    TextValue fresh = CopyText("still fine");
    EXPECT_EQ(TextBytes(fresh), TextBytes("still fine"));
    ReleaseBlock(fresh);
}

TEST_F(Values, LiveBlockCountFollowsAllocationsAndReleases)
{
    int32_t before = LiveBlockCount();
    TextValue a = CopyText("a");
    ByteBuffer b = ZeroBuffer(4);
    EXPECT_EQ(LiveBlockCount(), before + 2);
    ReleaseBlock(a);
    EXPECT_EQ(LiveBlockCount(), before + 1);
    ReleaseBlock(b);
    EXPECT_EQ(LiveBlockCount(), before);
    // Operations with an empty result take nothing.
    EXPECT_EQ(LeftText("abc", 0), nullptr);
    EXPECT_EQ(BufferToText(EmptyBuffer), nullptr);
    EXPECT_EQ(LiveBlockCount(), before);
}

TEST(FatalReport, ExhaustedMemoryShowsAnErrorBoxAndEndsWithMinusOne)
{
    struct Case {
        const wchar_t *size;
    } cases[] = {{L"-5"}, {L"-2147483648"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        ChildProcess child;
        ASSERT_TRUE(StartChild(TestProgramDirectory() + L"\\fatal_child.exe", c.size, &child));
        ASSERT_NO_FATAL_FAILURE(ExpectFatalBox(child, [&](const std::wstring &message) {
            EXPECT_NE(message.find(L"allocation failed"), std::wstring::npos)
                << testing::PrintToString(message);
            EXPECT_NE(message.find(std::wstring(L" ") + c.size + L" bytes"), std::wstring::npos)
                << "the size in signed decimal: " << testing::PrintToString(message);
        }));
    }
}

} // namespace
