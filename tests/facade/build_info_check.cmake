# cmake -DBUILD_INFO=<cmake/build_info.cmake> -DINPUT=<build_info.h.in> -DGIT=<git> -DWORK_DIR=
#       -P build_info_check.cmake
# The commit goes into the build only from a repository whose top level is the source tree: a
# copy of the tree inside a host's repository, or a directory in no repository, names none.
include("${CMAKE_CURRENT_LIST_DIR}/../support/run_command.cmake")

function(commit_of source_dir out)
    set(header "${WORK_DIR}/build_info.h")
    file(REMOVE "${header}")
    run(${CMAKE_COMMAND} -DSOURCE_DIR=${source_dir} -DGIT_EXECUTABLE=${GIT} -DINPUT=${INPUT}
        -DOUTPUT=${header} -DPROJECT_VERSION=2.1.0 -P ${BUILD_INFO})
    file(STRINGS "${header}" line REGEX "VELMORA_BUILD_GIT_COMMIT")
    string(REGEX REPLACE ".*VELMORA_BUILD_GIT_COMMIT \"([^\"]*)\".*" "\\1" commit "${line}")
    set(${out} "${commit}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(host "${WORK_DIR}/host")
file(MAKE_DIRECTORY "${host}/third_party/velmora")
file(WRITE "${host}/third_party/velmora/CMakeLists.txt" "# a copied source tree\n")
set(git ${GIT} -C "${host}" -c user.name=test -c user.email=test@invalid -c commit.gpgsign=false)
run(${git} init -q)
run(${git} add -A)
run(${git} commit -q -m host)
run(${git} rev-parse HEAD)
string(STRIP "${last_output}" host_commit)
file(CREATE_LINK "${host}" "${WORK_DIR}/link" SYMBOLIC)

# source directory | expected commit
set(cases
    "${host}|${host_commit}"
    "${WORK_DIR}/link|${host_commit}"
    "${host}/third_party/velmora|"
    "${host}/third_party|")
foreach(case ${cases})
    string(REGEX MATCH "^([^|]*)\\|(.*)$" _ "${case}")
    set(source_dir "${CMAKE_MATCH_1}")
    set(expected "${CMAKE_MATCH_2}")
    commit_of("${source_dir}" commit)
    if(NOT commit STREQUAL expected)
        message(FATAL_ERROR "a build from ${source_dir} names commit \"${commit}\", "
                            "expected \"${expected}\"")
    endif()
endforeach()

# A directory in no repository at all (git fails) names none either; the ceiling keeps git from
# finding the checkout that holds the build directory.
file(REMOVE_RECURSE "${host}/.git")
set(ENV{GIT_CEILING_DIRECTORIES} "${WORK_DIR}")
commit_of("${host}" commit)
if(NOT commit STREQUAL "")
    message(FATAL_ERROR "a build outside any repository names commit \"${commit}\"")
endif()
