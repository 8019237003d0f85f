# Provides GTest::gtest_main. A native build uses the system package; a cross
# build compiles GoogleTest from the sources that Debian's libgtest-dev ships,
# with the cross compiler, since the system libraries are for the build host.
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest REQUIRED)
    return()
endif()

set(DRAVENIX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build for cross-compiled test suites")
if(NOT EXISTS ${DRAVENIX_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${DRAVENIX_GTEST_SOURCE_DIR}; "
                        "install libgtest-dev")
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${DRAVENIX_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
endif()
