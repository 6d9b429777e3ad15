# What ships: both builds of the program read as files, for their manifest,
# version information and reproducible header.
channel_program_test(release_test release_test.cpp)
target_link_libraries(release_test PRIVATE version)
target_compile_definitions(release_test PRIVATE
    CHANNEL_PROJECT_VERSION=L"${PROJECT_VERSION}"
    CHANNEL_SOURCE_FOLDER="${CMAKE_SOURCE_DIR}"
    CHANNEL_BUILD_FOLDER="${CMAKE_BINARY_DIR}")
