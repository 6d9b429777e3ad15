# 64-bit Windows.
set(mingw_processor x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Only 64-bit Wine runs on the build machines, so this is the build the
# tests run on.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
