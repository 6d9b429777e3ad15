// Helpers for tests of text and buffer values: owners that release a value
// once, byte strings written in hex, results taken and released, a fixture
// that checks no block leaks, and a name for each row of a table of cases.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "lookup/unique_any.h"
#include "lookup/values.h"

using UniqueText = UniqueAny<TextValue, ReleaseBlock>;
using UniqueBuffer = UniqueAny<ByteBuffer, ReleaseBlock>;

typedef std::vector<uint8_t> Bytes;

// "E4 B8 AD" -> those three bytes.
std::string HexBytes(const char *hex);
// The bytes as "E4 B8 AD": two digits each, one space between.
std::string Hex(const std::string &bytes);
std::string Hex(const Bytes &bytes);

// Fresh blocks holding the bytes: a text (no zero byte among them) and a
// buffer (null when there are none).
TextValue NewText(const Bytes &bytes);
TextValue NewText(const char *text);
ByteBuffer NewBuffer(const std::string &bytes);

Bytes TextBytes(const char *text);
Bytes BufferBytes(const ByteBufferHead *buffer);

// The bytes of a result, which is released here; "(null)" for null, so
// that a null result never passes for an empty one.
std::string TakeText(TextValue text);
std::string TakeBuffer(ByteBuffer buffer);

// Every test gives back every block it took.
class LeakCheckedTest : public testing::Test {
protected:
    void SetUp() override { blocksBefore_ = LiveBlockCount(); }
    void TearDown() override { EXPECT_EQ(LiveBlockCount(), blocksBefore_) << "blocks leaked"; }

private:
    int32_t blocksBefore_ = 0;
};

// Names each instance of a TEST_P by its case's `label`.
struct CaseLabel {
    template <typename Case> std::string operator()(const testing::TestParamInfo<Case> &info) const
    {
        return info.param.label;
    }
};
