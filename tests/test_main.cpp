// Entry point of every test program: the literal constants are registered
// first, as the program's start-up does, so releasing them is harmless.
#include <gtest/gtest.h>

#include "lookup/values.h"

int main(int argc, char **argv)
{
    RegisterLiteralConstants();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
