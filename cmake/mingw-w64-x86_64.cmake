# Cross-compiles for 64-bit Windows (PE32+) with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triplet x86_64-w64-mingw32)
# The tests build a library of the other width too.
set(LORVENT_OTHER_WIDTH_CXX i686-w64-mingw32-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
