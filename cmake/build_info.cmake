# Runs at every build: writes the build's information header from the current commit. The header
# is rewritten only when its text changes, so an unchanged commit rebuilds nothing.
#   cmake -DSOURCE_DIR=... -DGIT_EXECUTABLE=... -DINPUT=... -DOUTPUT=... -DPROJECT_VERSION=... -P
# The commit is taken only from a repository whose top level is the source directory itself: a
# tree copied into a host's repository would otherwise name the host's commit. Anything else
# leaves it empty, and the build reports no commit.
set(VELMORA_GIT_COMMIT "")
if(GIT_EXECUTABLE)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --show-toplevel HEAD
                    WORKING_DIRECTORY "${SOURCE_DIR}"
                    RESULT_VARIABLE _rc
                    OUTPUT_VARIABLE _out OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(_rc EQUAL 0)
        string(REPLACE "\n" ";" _lines "${_out}")
        list(LENGTH _lines _count)
        if(_count EQUAL 2)
            list(GET _lines 0 _top)
            list(GET _lines 1 _commit)
            file(REAL_PATH "${_top}" _top)
            file(REAL_PATH "${SOURCE_DIR}" _source)
            if(_top STREQUAL _source AND _commit MATCHES "^[0-9a-f]+$")
                set(VELMORA_GIT_COMMIT "${_commit}")
            endif()
        endif()
    endif()
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)
