#include <gtest/gtest.h>
#include "lookup/values.h"
TEST(Smoke, Length) { EXPECT_EQ(TextLength("ab"), 2); }
