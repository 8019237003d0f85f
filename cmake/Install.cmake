# Install rules and release archives.
#
# An installed Dravenix is what a host needs and nothing more: the module,
# the header, a CMake package and a pkg-config file for programs built
# against the header, and the documents. The release archives are this same
# tree packed by CPack, so an unpacked archive is itself a prefix that
# find_package and pkg-config can use.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Windows finds DLLs beside programs and in bin/; elsewhere a module loaded
# by path sits with the libraries.
if(WIN32)
    set(DRAVENIX_INSTALL_MODULEDIR ${CMAKE_INSTALL_BINDIR})
else()
    set(DRAVENIX_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR})
endif()
set(DRAVENIX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Dravenix)
set(DRAVENIX_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The module keeps its bare name on every platform (no "lib" prefix), since
# hosts load it by that name.
set(DRAVENIX_MODULE_FILE Dravenix${CMAKE_SHARED_MODULE_SUFFIX})

# A module has no import library and no link-time use: only the loadable
# file is installed.
install(TARGETS Dravenix LIBRARY DESTINATION ${DRAVENIX_INSTALL_MODULEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/Dravenix.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
        ${PROJECT_SOURCE_DIR}/README.md
        ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES
        ${PROJECT_SOURCE_DIR}/examples/example_host.c
        ${PROJECT_SOURCE_DIR}/examples/example_host.py
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# CMake package. The config computes every path from its own location, so
# the tree may be moved or unpacked anywhere.
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/DravenixConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/DravenixConfig.cmake
    INSTALL_DESTINATION ${DRAVENIX_INSTALL_CMAKEDIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR DRAVENIX_INSTALL_MODULEDIR
    NO_SET_AND_CHECK_MACRO
    NO_CHECK_REQUIRED_COMPONENTS_MACRO)
# Releases 0.1.x share one interface; while the major version is 0, a new
# minor version may change it. The version file also refuses a module of the
# wrong pointer size, which a host could not load.
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/package/DravenixConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMinorVersion)
install(FILES
        ${PROJECT_BINARY_DIR}/package/DravenixConfig.cmake
        ${PROJECT_BINARY_DIR}/package/DravenixConfigVersion.cmake
    DESTINATION ${DRAVENIX_INSTALL_CMAKEDIR})

# pkg-config file, relocatable the same way through ${pcfiledir}.
if(IS_ABSOLUTE "${DRAVENIX_INSTALL_PKGCONFIGDIR}")
    set(DRAVENIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH pc_to_prefix
        /prefix/${DRAVENIX_INSTALL_PKGCONFIGDIR} /prefix)
    string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
    set(DRAVENIX_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
endif()
# Hosts do not link the module, but they need the system's loader library
# to open it.
set(DRAVENIX_PC_LIBS "")
foreach(library IN LISTS CMAKE_DL_LIBS)
    string(APPEND DRAVENIX_PC_LIBS " -l${library}")
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/dravenix.pc.in
    ${PROJECT_BINARY_DIR}/package/dravenix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/dravenix.pc
    DESTINATION ${DRAVENIX_INSTALL_PKGCONFIGDIR})

# The release archives are Dravenix's own: as a subproject it leaves the
# packaging of the build, whose CPack files are the top-level project's, alone.
if(NOT PROJECT_IS_TOP_LEVEL)
    return()
endif()

# Release archives: Dravenix-<version>-<platform>, a .tar.gz for Linux and a
# .zip for Windows, named by what a host must match: its operating system and
# its pointer size.
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(DRAVENIX_PLATFORM windows-x64)
    else()
        set(DRAVENIX_PLATFORM windows-x86)
    endif()
    set(CPACK_GENERATOR ZIP)
else()
    string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" DRAVENIX_PLATFORM)
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME Dravenix)
set(CPACK_PACKAGE_VENDOR "the Dravenix authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_FILE_NAME Dravenix-${PROJECT_VERSION}-${DRAVENIX_PLATFORM})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The archives ship the build the test suite ran on, less its debug
# information.
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
