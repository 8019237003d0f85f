# What a release is built from: the source commit and its time.
#
#   include(SourceStamp.cmake)
#   dravenix_source_stamp(<source-dir>)
#
# sets, in the caller's scope:
#
#   DRAVENIX_SOURCE_COMMIT      the full commit hash, or "" outside git
#   DRAVENIX_SOURCE_TAG         g<first 7 digits of the hash>[-dirty], or
#                               "nogit" outside git: the archive names' part
#   DRAVENIX_SOURCE_DIRTY       TRUE if tracked files differ from the commit
#   DRAVENIX_SOURCE_DATE_EPOCH  the time every archive entry and the DLL
#                               stamps carry, in seconds since 1970 (UTC)
#
# The time is $ENV{SOURCE_DATE_EPOCH} when the caller set it (the convention
# of reproducible builds), else the commit's time (git log -1 --format=%ct),
# else a fixed one: 1980-01-01 00:00:00 UTC, the first a zip entry can hold.
# It is taken when the archive is packed, not when the build was configured,
# so a build folder configured before the last commit still names the right
# one. Runs in script mode as well (cpack, cmake_install.cmake).

function(dravenix_source_stamp source_dir)
    set(commit "")
    set(dirty FALSE)
    set(epoch "")
    find_program(DRAVENIX_GIT_EXECUTABLE git)
    if(DRAVENIX_GIT_EXECUTABLE)
        # Only the source tree's own repository counts: an unpacked source
        # tree inside some other checkout is not that checkout's commit.
        execute_process(COMMAND ${DRAVENIX_GIT_EXECUTABLE} rev-parse --show-toplevel
            WORKING_DIRECTORY ${source_dir}
            OUTPUT_VARIABLE toplevel OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE status ERROR_VARIABLE error)
        # A checkout that git will not read (owned by another user, say)
        # would pass for no checkout at all.
        if(NOT status EQUAL 0 AND EXISTS ${source_dir}/.git)
            message(WARNING "git does not read the checkout ${source_dir}, so the commit is "
                "unknown: ${error}")
        endif()
        file(REAL_PATH "${source_dir}" source_real)
        if(status EQUAL 0)
            file(REAL_PATH "${toplevel}" toplevel)
        endif()
        if(status EQUAL 0 AND toplevel STREQUAL source_real)
            execute_process(COMMAND ${DRAVENIX_GIT_EXECUTABLE} log -1 --format=%H%n%ct
                WORKING_DIRECTORY ${source_dir}
                OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE status ERROR_QUIET)
            if(status EQUAL 0 AND head MATCHES "^([0-9a-f]+)\n([0-9]+)$")
                set(commit ${CMAKE_MATCH_1})
                set(epoch ${CMAKE_MATCH_2})
                # Uncommitted changes to tracked files; new untracked files
                # are no part of the build unless a tracked file names them.
                execute_process(COMMAND ${DRAVENIX_GIT_EXECUTABLE} status --porcelain
                        --untracked-files=no
                    WORKING_DIRECTORY ${source_dir}
                    OUTPUT_VARIABLE changes RESULT_VARIABLE status ERROR_QUIET)
                if(NOT status EQUAL 0 OR NOT changes STREQUAL "")
                    set(dirty TRUE)
                endif()
            endif()
        endif()
    endif()

    if(commit STREQUAL "")
        set(tag nogit)
    else()
        # A fixed length, not git's shortest unambiguous one, which grows
        # with the clone's object count.
        string(SUBSTRING ${commit} 0 7 short)
        set(tag g${short})
        if(dirty)
            string(APPEND tag -dirty)
        endif()
    endif()

    if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
        set(epoch $ENV{SOURCE_DATE_EPOCH})
    elseif(epoch STREQUAL "")
        set(epoch 315532800)
    endif()
    if(NOT epoch MATCHES "^[0-9]+$")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${epoch}', not a number of seconds")
    endif()

    set(DRAVENIX_SOURCE_COMMIT ${commit} PARENT_SCOPE)
    set(DRAVENIX_SOURCE_TAG ${tag} PARENT_SCOPE)
    set(DRAVENIX_SOURCE_DIRTY ${dirty} PARENT_SCOPE)
    set(DRAVENIX_SOURCE_DATE_EPOCH ${epoch} PARENT_SCOPE)
endfunction()
