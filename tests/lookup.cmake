channel_test(lookup_test lookup_test.cpp)
