# Packs the zip as `make dist` does, unpacks it and checks what a user finds
# in it: each file in its place and nothing else, the documents as in the
# source tree, a 64-bit DLL without debug information, and every name of the
# .def exported by the DLL and offered by both import libraries. Then it uses
# the kit as README tells a new user to: the ten-line host, taken from the
# shipped README, compiled and linked by the MinGW command line given there
# (warnings are errors), and the examples configured with find_package from
# the unpacked folder and built.
#
#   cmake -DBUILD_DIR= -DSOURCE_DIR= -DCONFIG= -DNAME= -DDIST_SCRIPT=
#         -DWORK_DIR= -DNM= -DOBJDUMP= -DCC= -DGENERATOR= [-DTOOLCHAIN=]
#         -P check_dist.cmake
cmake_minimum_required(VERSION 3.18)

set(problems "")
function(problem text)
  set(problems "${problems}\n  ${text}" PARENT_SCOPE)
endfunction()

function(tool_output out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "check_dist: ${ARGN} failed:\n${error}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")
set(zip "${WORK_DIR}/${NAME}.zip")
tool_output(ignored "${CMAKE_COMMAND}" "-DBUILD_DIR=${BUILD_DIR}" "-DSOURCE_DIR=${SOURCE_DIR}"
            "-DCONFIG=${CONFIG}" "-DNAME=${NAME}" "-DZIP=${zip}" -P "${DIST_SCRIPT}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${zip}" WORKING_DIRECTORY "${WORK_DIR}/unpacked"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "check_dist: ${zip} does not unpack")
endif()

# One folder at the top, named like the zip.
file(GLOB top RELATIVE "${WORK_DIR}/unpacked" "${WORK_DIR}/unpacked/*")
if(NOT top STREQUAL NAME)
  message(FATAL_ERROR "check_dist: the zip's top level is '${top}', not the one folder ${NAME}")
endif()
set(root "${WORK_DIR}/unpacked/${NAME}")

# --- The layout ---------------------------------------------------------------
if(CONFIG)
  string(TOLOWER "${CONFIG}" config_lower)
else()
  set(config_lower noconfig)
endif()
set(expected
  LICENSE
  README.md
  bin/brackwyn-ctrlc.exe
  bin/brackwyn-term.exe
  bin/brackwyn.dll
  brackwyn.def
  include/brackwyn.h
  include/brackwyn.hpp
  lib/brackwyn.lib
  lib/cmake/brackwyn/brackwyn-targets-${config_lower}.cmake
  lib/cmake/brackwyn/brackwyn-targets.cmake
  lib/cmake/brackwyn/brackwynConfig.cmake
  lib/cmake/brackwyn/brackwynConfigVersion.cmake
  lib/libbrackwyn.dll.a)
file(GLOB_RECURSE found RELATIVE "${root}" "${root}/*")
set(found_examples "${found}")
list(FILTER found_examples INCLUDE REGEX "^examples/")
list(FILTER found EXCLUDE REGEX "^examples/")
foreach(file IN LISTS expected)
  if(NOT file IN_LIST found)
    problem("missing: ${file}")
  endif()
endforeach()
foreach(file IN LISTS found)
  if(NOT file IN_LIST expected)
    problem("not meant to ship: ${file}")
  endif()
endforeach()

# Every example's program, and nothing under examples/ that the source tree
# does not hold as it is.
file(GLOB example_mains RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/examples/*/main.cpp")
if(NOT "examples/console-host/main.cpp" IN_LIST example_mains)
  problem("the source tree has no examples/console-host/main.cpp")
endif()
foreach(file IN LISTS example_mains)
  if(NOT file IN_LIST found_examples)
    problem("missing: ${file}")
  endif()
endforeach()
foreach(file IN LISTS found_examples ITEMS README.md LICENSE brackwyn.def include/brackwyn.h
                                        include/brackwyn.hpp)
  set(source "${SOURCE_DIR}/${file}")
  if(file STREQUAL "brackwyn.def")
    set(source "${SOURCE_DIR}/glue/brackwyn.def")
  endif()
  if(NOT EXISTS "${source}" OR NOT EXISTS "${root}/${file}")
    if(NOT EXISTS "${source}")
      problem("${file} has no counterpart in the source tree")
    endif()
    continue()
  endif()
  file(SHA256 "${source}" source_hash)
  file(SHA256 "${root}/${file}" shipped_hash)
  if(NOT source_hash STREQUAL shipped_hash)
    problem("${file} differs from the source tree's")
  endif()
endforeach()

# --- The DLL --------------------------------------------------------------------
# Reads a little-endian number of `bytes` bytes at `offset` of the hex dump.
function(le_number hex offset bytes out)
  set(value "")
  math(EXPR last "${bytes} - 1")
  foreach(i RANGE ${last})
    math(EXPR at "(${offset} + ${i}) * 2")
    string(SUBSTRING "${hex}" ${at} 2 byte)
    set(value "${byte}${value}")
  endforeach()
  math(EXPR value "0x${value}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

set(dll "${root}/bin/brackwyn.dll")
if(EXISTS "${dll}")
  file(READ "${dll}" head LIMIT 4096 HEX)
  string(SUBSTRING "${head}" 0 4 mz)
  le_number("${head}" 60 4 pe) # e_lfanew
  if(NOT mz STREQUAL "4d5a" OR pe GREATER 4000)
    problem("bin/brackwyn.dll is not a PE file")
  else()
    math(EXPR at "${pe} * 2")
    string(SUBSTRING "${head}" ${at} 8 signature)
    math(EXPR machine_at "${pe} + 4")
    math(EXPR flags_at "${pe} + 22")
    math(EXPR magic_at "${pe} + 24")
    le_number("${head}" ${machine_at} 2 machine)
    le_number("${head}" ${flags_at} 2 flags)
    le_number("${head}" ${magic_at} 2 magic)
    math(EXPR is_dll "${flags} & 0x2000") # IMAGE_FILE_DLL
    # 0x8664: x86-64; 0x20B: the PE32+ optional header.
    if(NOT signature STREQUAL "50450000" OR NOT machine EQUAL 0x8664 OR NOT magic EQUAL 0x20B
       OR is_dll EQUAL 0)
      problem("bin/brackwyn.dll is not a PE32+ x86-64 DLL (machine ${machine}, magic ${magic}, flags ${flags})")
    endif()
  endif()

  tool_output(sections "${OBJDUMP}" -h "${dll}")
  if(sections MATCHES "\\.debug_")
    problem("bin/brackwyn.dll carries debug sections: the zip should ship it stripped")
  endif()
  tool_output(private "${OBJDUMP}" -p "${dll}")
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[ 0-9]+\\] [^\n]+\n)+)" table "${private}")
  # Brackets would split a CMake list in odd places; they go first.
  string(REGEX REPLACE "[ \t]*\\[[ 0-9]+\\] ([^\n]+)\n" "\\1;" exported "${CMAKE_MATCH_1}")
  list(FILTER exported EXCLUDE REGEX "^$")
endif()

# --- The exports ----------------------------------------------------------------
# The .def is the list: each export line's first word, before any '='.
file(STRINGS "${SOURCE_DIR}/glue/brackwyn.def" def_lines REGEX "^[ \t]+[^; \t]")
set(names "")
foreach(line IN LISTS def_lines)
  string(REGEX REPLACE "^[ \t]+([^ \t=]+).*" "\\1" name "${line}")
  list(APPEND names "${name}")
endforeach()
if(NOT "dllglue_main" IN_LIST names)
  message(FATAL_ERROR "check_dist: no export names read from brackwyn.def")
endif()

if(EXISTS "${dll}")
  list(SORT exported)
  set(sorted_names "${names}")
  list(SORT sorted_names)
  if(NOT exported STREQUAL sorted_names)
    problem("bin/brackwyn.dll exports '${exported}', the .def lists '${sorted_names}'")
  endif()
endif()
foreach(lib lib/brackwyn.lib lib/libbrackwyn.dll.a)
  if(NOT EXISTS "${root}/${lib}")
    continue()
  endif()
  tool_output(symbols "${NM}" "${root}/${lib}")
  foreach(name IN LISTS names)
    string(FIND "${symbols}" " __imp_${name}\n" at)
    if(at EQUAL -1)
      problem("${lib} does not import ${name}")
    endif()
  endforeach()
endforeach()

# The optional Ctrl+C helper, stripped like the DLL.
set(helper "${root}/bin/brackwyn-ctrlc.exe")
if(EXISTS "${helper}")
  tool_output(sections "${OBJDUMP}" -h "${helper}")
  if(sections MATCHES "\\.debug_")
    problem("bin/brackwyn-ctrlc.exe carries debug sections: the zip should ship it stripped")
  endif()
endif()

# --- The kit in use ---------------------------------------------------------------
# The shipped README's first C block after the heading is the host.
file(READ "${root}/README.md" readme)
string(FIND "${readme}" "A host in ten lines" at)
set(host "")
if(NOT at EQUAL -1)
  string(SUBSTRING "${readme}" ${at} -1 readme)
  string(FIND "${readme}" "```c\n" at)
  if(NOT at EQUAL -1)
    math(EXPR at "${at} + 5")
    string(SUBSTRING "${readme}" ${at} -1 readme)
    string(FIND "${readme}" "\n```" end)
    string(SUBSTRING "${readme}" 0 ${end} host)
  endif()
endif()
if(NOT host MATCHES "dllglue_main")
  problem("README.md: no C block with the host after \"A host in ten lines\"")
else()
  file(WRITE "${WORK_DIR}/host/host.c" "${host}\n")
  execute_process(
    COMMAND "${CC}" -Wall -Wextra -Werror -I "${root}/include" host.c -L "${root}/lib" -lbrackwyn
            -o host.exe
    WORKING_DIRECTORY "${WORK_DIR}/host"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR NOT EXISTS "${WORK_DIR}/host/host.exe")
    problem("README.md's ten-line host does not build cleanly with -Wall -Wextra:\n${output}")
  endif()
endif()

# The user's command line: where the kit is, and the toolchain when
# cross-compiling. brackwyn_DIR here; the find_package test covers
# CMAKE_PREFIX_PATH.
set(toolchain_args)
if(TOOLCHAIN)
  set(toolchain_args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
endif()
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${root}/examples" -B "${WORK_DIR}/examples" -G "${GENERATOR}"
          ${toolchain_args} "-Dbrackwyn_DIR=${root}/lib/cmake/brackwyn" -DCMAKE_BUILD_TYPE=Release
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result EQUAL 0)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/examples"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
endif()
if(NOT result EQUAL 0)
  problem("the kit's examples do not build from the kit alone:\n${output}")
else()
  file(SHA256 "${root}/bin/brackwyn.dll" shipped_hash)
  foreach(example console-host gui-host multi-host)
    set(dir "${WORK_DIR}/examples/${example}")
    if(NOT EXISTS "${dir}/${example}.exe" OR NOT EXISTS "${dir}/brackwyn-ctrlc.exe"
       OR NOT EXISTS "${dir}/brackwyn.dll")
      problem("examples/${example}: no ${example}.exe with brackwyn.dll and brackwyn-ctrlc.exe beside it")
      continue()
    endif()
    file(SHA256 "${dir}/brackwyn.dll" copied_hash)
    if(NOT copied_hash STREQUAL shipped_hash)
      problem("examples/${example}: the brackwyn.dll beside it is not the kit's")
    endif()
  endforeach()
endif()

if(problems)
  message(FATAL_ERROR "check_dist: ${zip}:${problems}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "check_dist: ${NAME}.zip holds what it should")
