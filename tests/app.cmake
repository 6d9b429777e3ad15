# The whole program, driven from outside through the real input path, and
# its start-up routine in-process.
channel_program_test(app_test app_test.cpp ../app/application.cpp ../app/main_window.cpp
                     ../app/no_test_hooks.cpp)
target_link_libraries(app_test PRIVATE version)

# Wine takes a process's code page from the Unix locale it starts in: the
# whole suite runs under the default locale (code page 1252), and the
# lookup once more under the Chinese one (code page 936).
set_tests_properties(app_test PROPERTIES ENVIRONMENT "LC_ALL=C;CHANNEL_EXPECTED_ACP=1252")
add_test(NAME app_test_zh_CN COMMAND app_test --gtest_color=no
         --gtest_filter=ProgramTest.ShowsTheNumberAndTheChineseName)
set_tests_properties(app_test_zh_CN PROPERTIES TIMEOUT 900
                     ENVIRONMENT "LC_ALL=zh_CN.UTF-8;CHANNEL_EXPECTED_ACP=936")
