# cmake -DBUILD_DIR= -DHOST_DIR= -DREADME= -DWORK_DIR= -DGENERATOR= -DCXX= -DNM= -DSANITIZE_FLAGS=
#       -DPYTHON= -DCLANGXX= -DSYMBOLS_SCRIPT= -P install_check.cmake
include("${CMAKE_CURRENT_LIST_DIR}/../support/run_command.cmake")

# The hosts' build trees are kept between runs: an install that changed nothing keeps every
# installed file's time, so a rerun rebuilds only what a changed header or library reaches.
find_program(CCACHE ccache)
set(launcher "")
if(CCACHE)
    set(launcher "-DCMAKE_CXX_COMPILER_LAUNCHER=${CCACHE}")
endif()

# Configures and builds a host project against the installed package.
function(build_host source binary)
    if(NOT EXISTS "${binary}/build.ninja" AND NOT EXISTS "${binary}/Makefile")
        run(${CMAKE_COMMAND} -S "${source}" -B "${binary}" -G "${GENERATOR}"
            -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}"
            "-DCMAKE_CXX_FLAGS=${SANITIZE_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE_FLAGS}"
            ${launcher})
    endif()
    run(${CMAKE_COMMAND} --build "${binary}")
endfunction()

# Compiles and links one program by hand with the package's pkg-config flags, the compile
# through ccache when there is one.
function(build_program source output)
    separate_arguments(sanitize UNIX_COMMAND "${SANITIZE_FLAGS}")
    run(${PKG_CONFIG} --cflags velmora)
    separate_arguments(cflags UNIX_COMMAND "${last_output}")
    run(${PKG_CONFIG} --libs velmora)
    separate_arguments(libs UNIX_COMMAND "${last_output}")
    set(compile "${CXX}")
    if(CCACHE)
        set(compile "${CCACHE}" "${CXX}")
    endif()
    run(${compile} -std=c++20 ${sanitize} ${cflags} -c "${source}" -o "${output}.o")
    run("${CXX}" ${sanitize} "${output}.o" -o "${output}" ${libs})
endfunction()

# Writes a generated file only when its text changed, so that its time says when it did.
function(write_if_changed path text)
    if(EXISTS "${path}")
        file(READ "${path}" old)
        if(old STREQUAL text)
            return()
        endif()
    endif()
    file(WRITE "${path}" "${text}")
endfunction()

set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
# What an earlier install left and this one did not place (a header since removed) goes.
file(STRINGS "${BUILD_DIR}/install_manifest.txt" installed)
file(GLOB_RECURSE present LIST_DIRECTORIES false "${prefix}/*")
foreach(path ${present})
    list(FIND installed "${path}" found)
    if(found EQUAL -1)
        file(REMOVE "${path}")
    endif()
endforeach()

# The build's identity is exported data with C linkage, found by name in the dynamic symbols.
file(GLOB shared_libs "${prefix}/lib*/libvelmora.so" "${prefix}/lib/*/libvelmora.so")
list(LENGTH shared_libs shared_count)
if(NOT shared_count EQUAL 1)
    message(FATAL_ERROR "expected one installed libvelmora.so, found: ${shared_libs}")
endif()
run("${NM}" -D --defined-only "${shared_libs}")
foreach(symbol VelmoraVersionNumber VelmoraVersionString)
    if(NOT last_output MATCHES "[0-9a-f]+ [DR] ${symbol}\n")
        message(FATAL_ERROR "${symbol} is not an exported data symbol:\n${last_output}")
    endif()
endforeach()

# Only the public API is exported. A lower-case namespace below velmora (detail, dispatch,
# platform, jsonintake, builder, ...) is internal, except for the free functions that the
# installed headers declare exported there: the host's hooks into the platform layer. A
# parameter list is left out of the test, so a public function may take an internal type.
set(public_functions "")
file(GLOB_RECURSE public_headers "${prefix}/include/velmora/*.h")
foreach(header ${public_headers})
    file(READ "${header}" text)
    string(REGEX MATCHALL "VELMORA_EXPORT [^;{(]*[ *&:][A-Za-z_][A-Za-z0-9_]*\\(" declared "${text}")
    foreach(declaration ${declared})
        string(REGEX REPLACE ".*[ *&:]([A-Za-z_][A-Za-z0-9_]*)\\($" "\\1" name "${declaration}")
        list(APPEND public_functions "${name}")
    endforeach()
endforeach()
run("${NM}" -D --defined-only -C "${shared_libs}")
# Demangled names may hold ';' and unbalanced brackets, which CMake lists do not survive.
string(REPLACE ";" "<semicolon>" symbols "${last_output}")
string(REPLACE "[" "<" symbols "${symbols}")
string(REPLACE "]" ">" symbols "${symbols}")
string(REPLACE "\n" ";" symbols "${symbols}")
set(offenders "")
foreach(line ${symbols})
    string(REGEX REPLACE "^[0-9a-f]* *[A-Za-z] " "" symbol "${line}")
    string(REGEX REPLACE "\\(.*" "" head "${symbol}")
    string(REPLACE "<abi:cxx11>" "" head "${head}")
    if(NOT head MATCHES "velmora::[a-z_][a-z0-9_]*::")
        continue()
    endif()
    if(head MATCHES "^velmora::[a-z_][a-z0-9_]*::([A-Za-z_][A-Za-z0-9_]*)$")
        list(FIND public_functions "${CMAKE_MATCH_1}" found)
        if(NOT found EQUAL -1)
            continue()
        endif()
    endif()
    list(APPEND offenders "${symbol}")
endforeach()
if(offenders)
    list(LENGTH offenders offender_count)
    list(JOIN offenders "\n  " listed)
    message(FATAL_ERROR "libvelmora.so exports ${offender_count} internal symbols:\n  ${listed}")
endif()

# find_package(Velmora)
build_host("${HOST_DIR}" "${WORK_DIR}/host")
foreach(exe host_shared host_static)
    run("${WORK_DIR}/host/${exe}")
    if(NOT last_output MATCHES "host ok 2\\.1\\.0")
        message(FATAL_ERROR "${exe} printed: ${last_output}")
    endif()
endforeach()

# Every non-inline function and variable that the installed headers declare, taken by a host
# through the shared library (a symbol it does not export fails the link; the program resolves
# each at start) and through the static one (a declaration without a definition fails the link).
if(NOT PYTHON OR NOT CLANGXX)
    message(FATAL_ERROR "python3 and clang++ list the public headers' symbols: install them "
                        "(scripts/setup.sh)")
endif()
set(touch_dir "${WORK_DIR}/touch")
run("${PYTHON}" "${SYMBOLS_SCRIPT}" "${CLANGXX}" "${prefix}/include" "${touch_dir}")
message(STATUS "public symbols: ${last_output}")
write_if_changed("${touch_dir}/CMakeLists.txt" [=[
cmake_minimum_required(VERSION 3.25)
project(TouchPublic LANGUAGES CXX)
find_package(Velmora 2.1 REQUIRED)
foreach(kind shared static)
    add_executable(touch_${kind} touch_public.cpp)
    # Data is reached through the GOT, never copied into the program.
    target_compile_options(touch_${kind} PRIVATE -fPIC)
endforeach()
target_link_libraries(touch_shared PRIVATE Velmora::velmora)
target_link_options(touch_shared PRIVATE -Wl,-z,now)
target_link_libraries(touch_static PRIVATE Velmora::velmora_static)
]=])
build_host("${touch_dir}" "${touch_dir}/build")
foreach(exe touch_shared touch_static)
    run("${touch_dir}/build/${exe}")
    if(NOT last_output MATCHES "touched ([0-9]+) of ([0-9]+) public symbols" OR
       NOT CMAKE_MATCH_1 EQUAL CMAKE_MATCH_2)
        message(FATAL_ERROR "${exe} printed: ${last_output}")
    endif()
endforeach()

# The installed programs start from the prefix: they find its libraries by their run path, and
# the demo takes the emulator beside it and the sample photo below the prefix.
unset(ENV{LD_LIBRARY_PATH})
unset(ENV{VELMORA_CLOUD_EMULATOR})
run("${prefix}/bin/velmora-cloud-emulator" --help)
run("${prefix}/bin/velmora-demo" --help)
foreach(default "--emulator TEXT=${prefix}/bin/velmora-cloud-emulator"
                "--photo TEXT=${prefix}/share/velmora/demo/grace_hopper.jpg")
    string(FIND "${last_output}" "${default}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "velmora-demo --help does not show ${default}:\n${last_output}")
    endif()
endforeach()
execute_process(COMMAND "${prefix}/bin/velmora-demo" --json WORKING_DIRECTORY "${WORK_DIR}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(FIND "${out}" "{" start)
if(start EQUAL -1)
    set(start 0)
endif()
string(SUBSTRING "${out}" ${start} -1 report)
string(JSON demo_ok ERROR_VARIABLE json_error GET "${report}" ok)
string(JSON demo_started ERROR_VARIABLE json_error GET "${report}" emulator_started)
if(NOT rc EQUAL 0 OR NOT demo_ok OR NOT demo_started)
    message(FATAL_ERROR "the installed demo failed (${rc}):\n${out}\n${err}")
endif()

# pkg-config
find_program(PKG_CONFIG pkg-config REQUIRED)
file(GLOB pc_dirs "${prefix}/lib*/pkgconfig" "${prefix}/lib/*/pkgconfig")
string(REPLACE ";" ":" pc_path "${pc_dirs}")
set(ENV{PKG_CONFIG_PATH} "${pc_path}")
build_program("${HOST_DIR}/main.cpp" "${WORK_DIR}/host_pkgconfig")
run(${PKG_CONFIG} --variable=libdir velmora)
string(STRIP "${last_output}" libdir)
set(ENV{LD_LIBRARY_PATH} "${libdir}")
run("${WORK_DIR}/host_pkgconfig")
if(NOT last_output MATCHES "host ok 2\\.1\\.0")
    message(FATAL_ERROR "host_pkgconfig printed: ${last_output}")
endif()

# The README's minimal host program, exactly as the README shows it: its first cmake and cpp
# blocks after the heading "## Using Velmora in your application".
function(readme_block text lang out)
    string(FIND "${text}" "```${lang}\n" begin)
    if(begin EQUAL -1)
        message(FATAL_ERROR "the README's host section has no ${lang} block")
    endif()
    string(LENGTH "```${lang}\n" skip)
    math(EXPR begin "${begin} + ${skip}")
    string(SUBSTRING "${text}" ${begin} -1 rest)
    string(FIND "${rest}" "```" end)
    string(SUBSTRING "${rest}" 0 ${end} block)
    set(${out} "${block}" PARENT_SCOPE)
endfunction()
file(READ "${README}" readme)
string(FIND "${readme}" "## Using Velmora in your application" section)
if(section EQUAL -1)
    message(FATAL_ERROR "${README} has no section \"Using Velmora in your application\"")
endif()
string(SUBSTRING "${readme}" ${section} -1 readme)
readme_block("${readme}" cmake readme_cmake)
readme_block("${readme}" cpp readme_cpp)
set(readme_host "${WORK_DIR}/readme_host")
write_if_changed("${readme_host}/CMakeLists.txt" "${readme_cmake}")
write_if_changed("${readme_host}/main.cpp" "${readme_cpp}")
# The stand-in engine only needs its three files to exist.
set(engine_files "${WORK_DIR}/engine_files")
foreach(name controller.json graph.json logic.json)
    file(WRITE "${engine_files}/${name}" "{}\n")
endforeach()
function(check_readme_host exe)
    run("${exe}" "${engine_files}")
    if(NOT last_output MATCHES "Velmora 2\\.1\\.0: .*\"hair_color\".*\"face_width\"")
        message(FATAL_ERROR "${exe} printed: ${last_output}")
    endif()
endfunction()

unset(ENV{LD_LIBRARY_PATH})
build_host("${readme_host}" "${readme_host}/build")
check_readme_host("${readme_host}/build/avatar_host")

# The same program through pkg-config.
build_program("${readme_host}/main.cpp" "${WORK_DIR}/readme_host_pkgconfig")
set(ENV{LD_LIBRARY_PATH} "${libdir}")
check_readme_host("${WORK_DIR}/readme_host_pkgconfig")
