# 64-bit Windows.
set(mingw_processor x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# CTest runs the test programs with Wine's 64-bit loader.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
