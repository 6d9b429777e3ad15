channel_test(http_test http_test.cpp)
