# Runs a Windows program under Wine for a test, prints what it wrote and
# fails unless it exits with 0.
#
#   cmake -DWINE_RUN=<cmake/wine-run.sh> -DWINE_PREFIX=<prefix>
#         -DPROGRAM=<program.exe> -DOUTPUT_DIR=<folder> -P run_host.cmake
#
# Its output goes through files in OUTPUT_DIR, not through ctest's pipe: the
# first program of a Wine session that needs the desktop starts Wine's desktop
# process, which inherits that program's standard error and keeps it until no
# program has used the desktop for a second. Beside tests that open windows
# all the time, that is minutes, and ctest would wait for the pipe to close.
cmake_minimum_required(VERSION 3.18)

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
get_filename_component(name "${PROGRAM}" NAME_WE)
set(out "${OUTPUT_DIR}/${name}.out")
set(err "${OUTPUT_DIR}/${name}.err")
execute_process(
  COMMAND "${WINE_RUN}" --prefix "${WINE_PREFIX}" "${PROGRAM}"
  OUTPUT_FILE "${out}"
  ERROR_FILE "${err}"
  RESULT_VARIABLE result)
file(READ "${out}" output)
file(READ "${err}" errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${name} exited with ${result}")
endif()
