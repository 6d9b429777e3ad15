channel_test(http_test http_test.cpp)

# The same program with code page 936 as the ANSI code page, for the cases
# that need it (they skip themselves elsewhere).
add_test(NAME http_test_cp936 COMMAND http_test --gtest_color=no --gtest_filter=*CodePage936*)
set_tests_properties(http_test_cp936 PROPERTIES
    TIMEOUT 900
    ENVIRONMENT "LANG=zh_CN.UTF-8;LC_ALL=zh_CN.UTF-8;CHANNEL_WANTS_CP936=1")
