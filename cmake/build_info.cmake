# Runs at every build: writes the build's information header from the current commit. The header
# is rewritten only when its text changes, so an unchanged commit rebuilds nothing.
#   cmake -DSOURCE_DIR=... -DGIT_EXECUTABLE=... -DINPUT=... -DOUTPUT=... -DPROJECT_VERSION=... -P
set(VELMORA_GIT_COMMIT "")
if(GIT_EXECUTABLE)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse HEAD
                    WORKING_DIRECTORY "${SOURCE_DIR}"
                    RESULT_VARIABLE _rc
                    OUTPUT_VARIABLE _commit OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(_rc EQUAL 0)
        set(VELMORA_GIT_COMMIT "${_commit}")
    endif()
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)
