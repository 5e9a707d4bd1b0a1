# Cross-compiles for 32-bit Windows (PE32) with MinGW-w64: the width of the
# converter's FTD2XX.DLL at the sites.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_triplet i686-w64-mingw32)
# The tests build a library of the other width too.
set(LORVENT_OTHER_WIDTH_CXX x86_64-w64-mingw32-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
