# The fuzzing campaign: fetch and decode against seeded hostile replies. It
# has its own entry point, which also runs one batch of cases in a child.
add_executable(fuzz_test fuzz_test.cpp $<TARGET_OBJECTS:literals_test>)
target_link_libraries(fuzz_test PRIVATE channel_core test_support GTest::gtest)
add_test(NAME fuzz_test COMMAND fuzz_test --gtest_color=no)
set_tests_properties(fuzz_test PROPERTIES TIMEOUT 900)
