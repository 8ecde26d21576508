# Included by CTest before it runs anything (a test include file written by velmora_add_suites):
# lists the suites of one GoogleTest binary and adds one CTest test per suite, which runs all of
# the suite's cases in one process. Reads VELMORA_SUITES_BINARY, VELMORA_SUITES_TIMEOUT and
# VELMORA_SUITES_ENVIRONMENT.
# The listing is kept beside the binary and taken again only when the binary is newer, so a
# rerun does not start every binary once before it starts any test.
set(_kept "${VELMORA_SUITES_BINARY}.suites")
if(EXISTS "${_kept}" AND "${_kept}" IS_NEWER_THAN "${VELMORA_SUITES_BINARY}"
   AND NOT "${VELMORA_SUITES_BINARY}" IS_NEWER_THAN "${_kept}")
    file(READ "${_kept}" _listing)
    set(_listed 0)
else()
    file(REMOVE "${_kept}")
    execute_process(COMMAND "${VELMORA_SUITES_BINARY}" --gtest_list_tests
                    OUTPUT_VARIABLE _listing ERROR_VARIABLE _listing RESULT_VARIABLE _listed
                    TIMEOUT 120)
endif()
get_filename_component(_binary_name "${VELMORA_SUITES_BINARY}" NAME)
if(NOT _listed EQUAL 0)
    # Shown as a failed test rather than lost: the binary that cannot list its tests runs as is.
    add_test("${_binary_name}.cannot-list-its-tests" "${VELMORA_SUITES_BINARY}" --gtest_list_tests)
    return()
endif()
if(NOT EXISTS "${_kept}")
    file(WRITE "${_kept}" "${_listing}")
endif()
string(REPLACE ";" "\\;" _listing "${_listing}")
string(REPLACE "\n" ";" _lines "${_listing}")
foreach(_line IN LISTS _lines)
    # A suite line is "Suite." (or "Instance/Suite.", "Suite/0.  # TypeParam = ..."); its cases
    # follow, indented.
    if(_line MATCHES "^([A-Za-z0-9_/]+)\\.(  #.*)?$")
        set(_suite "${CMAKE_MATCH_1}")
        add_test("${_suite}.*" "${VELMORA_SUITES_BINARY}" "--gtest_filter=${_suite}.*")
        set_tests_properties("${_suite}.*" PROPERTIES TIMEOUT "${VELMORA_SUITES_TIMEOUT}"
                             ENVIRONMENT "${VELMORA_SUITES_ENVIRONMENT}")
    endif()
endforeach()
