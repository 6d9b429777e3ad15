# What ships: both builds of the program read as files, for their manifest,
# version information and reproducible header.
channel_test(release_test release_test.cpp)
add_dependencies(release_test channel-lookup-test channel-lookup)
target_link_libraries(release_test PRIVATE version)
get_target_property(release_program_folder channel-lookup RUNTIME_OUTPUT_DIRECTORY)
file(RELATIVE_PATH release_test_program "${CMAKE_CURRENT_BINARY_DIR}"
     "${release_program_folder}/channel-lookup-test.exe")
file(RELATIVE_PATH release_shipping_program "${CMAKE_CURRENT_BINARY_DIR}"
     "${release_program_folder}/channel-lookup.exe")
target_compile_definitions(release_test PRIVATE
    CHANNEL_TEST_PROGRAM=L"${release_test_program}"
    CHANNEL_SHIPPING_PROGRAM=L"${release_shipping_program}"
    CHANNEL_PROJECT_VERSION=L"${PROJECT_VERSION}"
    CHANNEL_SOURCE_FOLDER="${CMAKE_SOURCE_DIR}"
    CHANNEL_BUILD_FOLDER="${CMAKE_BINARY_DIR}")
