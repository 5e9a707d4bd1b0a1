# What the MinGW-w64 cross build needs from the build machine beyond the
# compiler: Asio's headers and GoogleTest, both taken from Debian's packages.

# Asio is header only, but adding /usr/include to the search path would pull
# in glibc's headers; a folder of links to just Asio's headers avoids that.
set(asio_links ${CMAKE_BINARY_DIR}/asio-include)
file(MAKE_DIRECTORY ${asio_links})
foreach(entry asio asio.hpp)
    if(NOT EXISTS /usr/include/${entry})
        message(FATAL_ERROR "/usr/include/${entry} is missing: install libasio-dev")
    endif()
    file(CREATE_LINK /usr/include/${entry} ${asio_links}/${entry} SYMBOLIC)
endforeach()
set(LORVENT_ASIO_INCLUDE_DIR ${asio_links} CACHE PATH "Asio's headers" FORCE)

# GoogleTest built from the sources that libgtest-dev installs (it names its
# targets GTest::gtest and so on itself).
if(LORVENT_BUILD_TESTS)
    set(googletest_source /usr/src/googletest)
    if(NOT EXISTS ${googletest_source}/CMakeLists.txt)
        message(FATAL_ERROR "${googletest_source} is missing: install libgtest-dev")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${googletest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set(LORVENT_GTEST_FROM_SOURCE ON)
endif()
