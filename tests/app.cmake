# The whole program, driven from outside through the real input path, and
# its start-up routine in-process.
channel_test(app_test app_test.cpp ../app/application.cpp ../app/main_window.cpp)
add_dependencies(app_test channel-lookup-test channel-lookup)
target_link_libraries(app_test PRIVATE version)
# Both builds of the program, by their paths from the test program's folder.
get_target_property(program_folder channel-lookup-test RUNTIME_OUTPUT_DIRECTORY)
file(RELATIVE_PATH test_program_from_tests "${CMAKE_CURRENT_BINARY_DIR}"
     "${program_folder}/channel-lookup-test.exe")
file(RELATIVE_PATH shipping_program_from_tests "${CMAKE_CURRENT_BINARY_DIR}"
     "${program_folder}/channel-lookup.exe")
target_compile_definitions(app_test PRIVATE
    CHANNEL_TEST_PROGRAM=L"${test_program_from_tests}"
    CHANNEL_SHIPPING_PROGRAM=L"${shipping_program_from_tests}")

# Wine takes a process's code page from the Unix locale it starts in: the
# whole suite runs under the default locale (code page 1252), and the
# lookup once more under the Chinese one (code page 936).
set_tests_properties(app_test PROPERTIES ENVIRONMENT "LC_ALL=C;CHANNEL_EXPECTED_ACP=1252")
add_test(NAME app_test_zh_CN COMMAND app_test --gtest_color=no
         --gtest_filter=ProgramTest.ShowsTheNumberAndTheChineseName)
set_tests_properties(app_test_zh_CN PROPERTIES TIMEOUT 900
                     ENVIRONMENT "LC_ALL=zh_CN.UTF-8;CHANNEL_EXPECTED_ACP=936")
