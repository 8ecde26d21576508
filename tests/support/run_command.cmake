# For the suite's CMake scripts: run(<command> <args>...) runs a command, stops the script with
# its output when it fails, and leaves what it printed (standard output and error) in
# `last_output`.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "failed (${rc}): ${command}\n${out}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()
