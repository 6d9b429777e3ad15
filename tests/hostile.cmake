# The shipping program against hostile directory servers; and nested
# lookups, measured in-process with the program's own window and handler.
channel_program_test(hostile_test hostile_test.cpp ../app/application.cpp ../app/main_window.cpp
                     ../app/no_test_hooks.cpp)
target_link_libraries(hostile_test PRIVATE psapi)
# The shipping build looks up channels at CHANNEL_DIRECTORY_HOST: its port
# (80 when it names none) is where these tests' servers listen.
if(CHANNEL_DIRECTORY_HOST MATCHES ":([0-9]+)$")
    set(shipping_port ${CMAKE_MATCH_1})
else()
    set(shipping_port 80)
endif()
target_compile_definitions(hostile_test PRIVATE
    SHIPPING_DIRECTORY_HOST="${CHANNEL_DIRECTORY_HOST}"
    SHIPPING_DIRECTORY_PORT=${shipping_port})
