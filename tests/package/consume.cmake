# Installs a brackwyn build into a fresh prefix and uses it as a host's
# developer would: consumer/ finds it with find_package, links
# brackwyn::brackwyn, copies the DLL and the Ctrl+C helper brackwyn::ctrlc
# beside its program and runs it under Wine. Then msvc-config/ checks that an MSVC project would link brackwyn.lib.
#
#   cmake -DBUILD_DIR= -DSOURCE_DIR= -DWORK_DIR= -DCONFIG= -DGENERATOR=
#         -DWINE_PREFIX= -P consume.cmake
cmake_minimum_required(VERSION 3.18)

# Runs one step; a failure ends the test with the step's whole output.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "consume: ${what} failed (${result}):\n${output}")
  endif()
  set(step_output "${output}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")

set(config_args)
if(CONFIG)
  set(config_args --config "${CONFIG}")
endif()
step("installing the build" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

# The user's command line: the toolchain and where brackwyn is, nothing else.
step("configuring the consumer"
  "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/package/consumer" -B "${WORK_DIR}/consumer"
  -G "${GENERATOR}"
  "-DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake"
  "-DCMAKE_PREFIX_PATH=${prefix}"
  -DCMAKE_BUILD_TYPE=Release)
step("building the consumer" "${CMAKE_COMMAND}" --build "${WORK_DIR}/consumer")

# Only the copy made by the consumer's build may be found: no PATH to the
# prefix, and the prefix's own DLL is compared with it.
set(program "${WORK_DIR}/consumer/consumer.exe")
if(NOT EXISTS "${WORK_DIR}/consumer/brackwyn.dll")
  message(FATAL_ERROR "consume: $<TARGET_RUNTIME_DLLS> did not bring brackwyn.dll beside the consumer")
endif()
foreach(file brackwyn.dll brackwyn-ctrlc.exe)
  if(NOT EXISTS "${WORK_DIR}/consumer/${file}")
    message(FATAL_ERROR "consume: the consumer's build did not bring ${file} beside it")
  endif()
  file(SHA256 "${WORK_DIR}/consumer/${file}" copied)
  file(SHA256 "${prefix}/bin/${file}" installed)
  if(NOT copied STREQUAL installed)
    message(FATAL_ERROR "consume: the ${file} beside the consumer is not the installed one")
  endif()
endforeach()
step("running the consumer" "${CMAKE_COMMAND}" "-DWINE_RUN=${SOURCE_DIR}/cmake/wine-run.sh"
  "-DWINE_PREFIX=${WINE_PREFIX}" "-DPROGRAM=${program}" "-DOUTPUT_DIR=${WORK_DIR}/run"
  -P "${CMAKE_CURRENT_LIST_DIR}/run_host.cmake")
if(NOT step_output MATCHES "got \"hello\"")
  message(FATAL_ERROR "consume: the consumer did not report its run:\n${step_output}")
endif()

step("finding the package as an MSVC project"
  "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/package/msvc-config" -B "${WORK_DIR}/msvc-config"
  "-DCMAKE_PREFIX_PATH=${prefix}")

file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "consume: the installed package built and ran a host")
