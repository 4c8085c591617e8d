# Packs a brackwyn build into the zip that a host's developer downloads.
#
#   cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<source> -DCONFIG=<config>
#         -DNAME=brackwyn-<version>-win64 -DZIP=<file.zip> -P dist.cmake
#
# The zip holds one folder NAME/, so that unpacking it never scatters files:
# the install tree (bin/, include/, lib/ with lib/cmake/brackwyn/), the .def,
# README.md and LICENSE at the top, and examples/ with the examples' sources
# as they are in the source tree when this runs.
cmake_minimum_required(VERSION 3.18)

foreach(_var BUILD_DIR SOURCE_DIR NAME ZIP)
  if(NOT DEFINED ${_var} OR "${${_var}}" STREQUAL "")
    message(FATAL_ERROR "dist.cmake: ${_var} is not set")
  endif()
endforeach()
# Given by hand they may be relative, and file(GLOB RELATIVE) with a relative
# base matches nothing: the zip would go out without its examples.
foreach(_var BUILD_DIR SOURCE_DIR ZIP)
  get_filename_component(${_var} "${${_var}}" ABSOLUTE)
endforeach()

get_filename_component(_zip_dir "${ZIP}" DIRECTORY)
set(_work "${_zip_dir}/${NAME}.staging")
set(_stage "${_work}/${NAME}")
file(REMOVE_RECURSE "${_work}")
file(MAKE_DIRECTORY "${_work}")

set(_config_args)
if(CONFIG)
  set(_config_args --config "${CONFIG}")
endif()
# Stripped: GCC's DWARF debug information makes the DLL about six times larger,
# and no Windows debugger reads it.
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${_stage}" ${_config_args} --strip
  RESULT_VARIABLE _result
  OUTPUT_VARIABLE _output
  ERROR_VARIABLE _output)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "dist.cmake: installing ${BUILD_DIR} failed:\n${_output}")
endif()

# In a zip the .def goes to the top, beside the README that tells how to
# make an import library from it; lib/ would hold a second copy.
file(GLOB _defs "${_stage}/lib*/brackwyn.def")
foreach(_def IN LISTS _defs)
  file(RENAME "${_def}" "${_stage}/brackwyn.def")
endforeach()
file(COPY "${SOURCE_DIR}/README.md" "${SOURCE_DIR}/LICENSE" DESTINATION "${_stage}")

# The examples as sources only: whatever someone built or left beside them
# (objects, programs, editor files) stays out.
file(GLOB_RECURSE _examples RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/examples/*")
list(FILTER _examples EXCLUDE REGEX "(^|/)\\.|\\.(exe|dll|o|obj|a|lib|pdb)$")
foreach(_file IN LISTS _examples)
  get_filename_component(_dir "${_file}" DIRECTORY)
  file(COPY "${SOURCE_DIR}/${_file}" DESTINATION "${_stage}/${_dir}")
endforeach()

# A sorted list rather than the folder, so that the entries' order does not
# depend on the order the file system returns them in.
file(GLOB_RECURSE _files RELATIVE "${_work}" "${_stage}/*")
list(SORT _files)
string(REPLACE ";" "\n" _file_list "${_files}")
file(WRITE "${_work}/files.txt" "${_file_list}\n")
file(REMOVE "${ZIP}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E tar cf "${ZIP}" --format=zip "--files-from=files.txt"
  WORKING_DIRECTORY "${_work}"
  RESULT_VARIABLE _result)
if(NOT _result EQUAL 0 OR NOT EXISTS "${ZIP}")
  message(FATAL_ERROR "dist.cmake: packing ${ZIP} failed")
endif()
file(REMOVE_RECURSE "${_work}")
message(STATUS "Packed ${ZIP}")
