# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 packages.
#
# The -posix compilers are required: the win32 thread model ships no std::mutex
# or std::thread, and both GoogleTest and the library's worker threads use them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRACKWYN_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${BRACKWYN_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${BRACKWYN_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${BRACKWYN_MINGW_TRIPLE}-windres)

# Windows headers, libraries and packages come from MinGW's sysroot and from
# the folders a user names: roots of their own (-DCMAKE_FIND_ROOT_PATH=...)
# and each -DCMAKE_PREFIX_PATH entry, which in a cross build names Windows
# packages (an unpacked brackwyn zip, say). Were a prefix not a root itself,
# it would be looked for inside the sysroot and never found.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${BRACKWYN_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
# Host tools (wine, scripts) come from the build machine; libraries, headers
# and packages only from the roots above, so nothing from /usr/lib leaks into
# a link.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets try_run, add_test and gtest discovery execute target binaries. The
# wrapper picks the Wine prefix from WINEPREFIX or from a --prefix argument
# that the project adds per target.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(BRACKWYN_WINE_PROGRAM NAMES wine)
  if(BRACKWYN_WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
  endif()
endif()
