# Install rules and release archives.
#
# An installed Dravenix is what a host needs and nothing more: the module,
# the header, a CMake package and a pkg-config file for programs built
# against the header, and the documents; on Windows, for hosts that link the
# DLL at build time, its export list and import libraries. The release
# archives are this same tree with a README and LICENSE at its top, so an
# unpacked archive is itself a prefix that find_package and pkg-config can
# use.

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
# hosts load it by that name; on macOS it is a dynamic library (src/).
if(APPLE)
    set(DRAVENIX_MODULE_FILE Dravenix${CMAKE_SHARED_LIBRARY_SUFFIX})
else()
    set(DRAVENIX_MODULE_FILE Dravenix${CMAKE_SHARED_MODULE_SUFFIX})
endif()

# Dravenix's own installs take their time from the source commit: GNU strip,
# which `cmake --install --strip` and the release archives run, writes
# SOURCE_DATE_EPOCH (else the current time) into a DLL's COFF header. Set
# here, before the module's rule, unless the caller set it; a parent
# project's install is left as it is.
if(PROJECT_IS_TOP_LEVEL)
    install(CODE "if(\"\$ENV{SOURCE_DATE_EPOCH}\" STREQUAL \"\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/SourceStamp.cmake\")
    dravenix_source_stamp(\"${PROJECT_SOURCE_DIR}\")
    set(ENV{SOURCE_DATE_EPOCH} \${DRAVENIX_SOURCE_DATE_EPOCH})
endif()")
endif()

# The module is loaded, not linked: CMake makes no import library for it,
# and only the loadable file is installed.
install(TARGETS Dravenix LIBRARY DESTINATION ${DRAVENIX_INSTALL_MODULEDIR})
# Windows hosts that link the DLL at build time after all: the export list
# and the import libraries made from it (ReleaseBuild.cmake), beside the
# other link-time files.
if(WIN32 AND PROJECT_IS_TOP_LEVEL)
    install(FILES ${DRAVENIX_DEF} ${DRAVENIX_IMPORT_LIBRARIES}
        DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
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

# Release archives: Dravenix-<version>-<commit>-<platform>, a .tar.gz for
# Linux and a .zip for Windows, named by what they were built from and what a
# host must match: its operating system and its pointer size.
#
#   cmake --build <build-folder> --target release-archive
#
# installs the tree, stripped, into a staging folder, adds the archive's own
# README.txt and LICENSE at its top, packs it with pack_release.py (the same
# tree gives the same bytes, whatever the time, zone, umask, user or listing
# order) into DRAVENIX_RELEASE_DIR and writes SHA256SUMS beside it. The
# commit and the time are taken then (SourceStamp.cmake). CPack is not used:
# its archive writer records the builder's times, zone, umask and user.
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(DRAVENIX_PLATFORM windows-x64)
    else()
        set(DRAVENIX_PLATFORM windows-x86)
    endif()
    set(dravenix_archive_format zip)
elseif(APPLE)
    # One module for Intel and Apple silicon Macs where it holds both.
    set(dravenix_architectures ${CMAKE_OSX_ARCHITECTURES})
    list(SORT dravenix_architectures)
    if(dravenix_architectures STREQUAL "arm64;x86_64")
        set(DRAVENIX_PLATFORM macos-universal)
    elseif(CMAKE_OSX_ARCHITECTURES)
        string(REPLACE ";" "-" DRAVENIX_PLATFORM "macos-${CMAKE_OSX_ARCHITECTURES}")
    else()
        set(DRAVENIX_PLATFORM macos-${CMAKE_SYSTEM_PROCESSOR})
    endif()
    set(dravenix_archive_format tar.gz)
else()
    # A toolchain may name the platform where the processor does not say
    # it all (cmake/linux-armhf.cmake: the hard-float ABI).
    if(NOT DRAVENIX_PLATFORM)
        string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" DRAVENIX_PLATFORM)
    endif()
    set(dravenix_archive_format tar.gz)
endif()
set(DRAVENIX_RELEASE_DIR ${PROJECT_BINARY_DIR} CACHE PATH
    "Folder that receives the release archives and their SHA256SUMS")
find_program(DRAVENIX_PYTHON NAMES python3 python
    DOC "Python 3, which packs the release archives")
add_custom_target(release-archive
    COMMAND ${CMAKE_COMMAND}
        -DBINARY_DIR=${PROJECT_BINARY_DIR}
        -DCONFIG=$<CONFIG>
        -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
        -DVERSION=${PROJECT_VERSION}
        -DPLATFORM=${DRAVENIX_PLATFORM}
        -DFORMAT=${dravenix_archive_format}
        -DMODULE=${DRAVENIX_INSTALL_MODULEDIR}/${DRAVENIX_MODULE_FILE}
        -DOUTPUT_DIR=${DRAVENIX_RELEASE_DIR}
        -DPYTHON=${DRAVENIX_PYTHON}
        -DREPRODUCIBLE=${DRAVENIX_REPRODUCIBLE}
        -P ${CMAKE_CURRENT_LIST_DIR}/ReleaseArchive.cmake
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/ReleaseArchive.cmake
        ${CMAKE_CURRENT_LIST_DIR}/pack_release.py
        ${CMAKE_CURRENT_LIST_DIR}/archive-README.txt.in
    USES_TERMINAL
    VERBATIM)
add_dependencies(release-archive Dravenix)
if(TARGET dravenix_import_libraries)
    add_dependencies(release-archive dravenix_import_libraries)
endif()
