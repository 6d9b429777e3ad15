# 32-bit Windows: the shipping target.
set(mingw_processor i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# CTest runs the test programs with Wine's 32-bit loader.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
