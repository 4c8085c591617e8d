# What a host's developer receives: the install tree that find_package(brackwyn)
# reads, and the zip made from it by the `dist` target (`make dist`).
#
#   bin/brackwyn.dll                 the library, the one file a host must ship
#   bin/brackwyn-ctrlc.exe           optional: beside the DLL it makes stops quicker
#   include/brackwyn.h               the whole interface
#   include/brackwyn.hpp             its C++ layer, header only
#   lib/libbrackwyn.dll.a            import library for MinGW linkers
#   lib/brackwyn.lib                 import library for MSVC's link.exe
#   lib/brackwyn.def                 the export list both are made from
#   lib/cmake/brackwyn/              brackwynConfig.cmake and friends

include(CMakePackageConfigHelpers)

set(BRACKWYN_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/brackwyn")

# The helper goes to the DLL's folder: the library looks for it there only.
install(TARGETS brackwyn brackwyn_ctrlc brackwyn_term EXPORT brackwyn-targets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}")
install(FILES include/brackwyn.h include/brackwyn.hpp DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
# The .def lets a user make an import library with tools of their own.
install(FILES glue/brackwyn.def DESTINATION "${CMAKE_INSTALL_LIBDIR}")
if(BRACKWYN_MSVC_IMPLIB)
  install(FILES "${BRACKWYN_MSVC_IMPLIB}" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
endif()

install(EXPORT brackwyn-targets NAMESPACE brackwyn:: DESTINATION "${BRACKWYN_CMAKE_DIR}")
configure_package_config_file(cmake/brackwynConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/brackwynConfig.cmake"
  INSTALL_DESTINATION "${BRACKWYN_CMAKE_DIR}")
# 0.x releases may change the interface from one minor version to the next.
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/brackwynConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/brackwynConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/brackwynConfigVersion.cmake"
        DESTINATION "${BRACKWYN_CMAKE_DIR}")

# build/brackwyn-<version>-win64.zip. The script installs this build into a
# staging folder and adds the documents and the examples' sources; it globs the
# examples when it runs, so a new example is shipped without a change here.
set(BRACKWYN_DIST_NAME "brackwyn-${PROJECT_VERSION}-win64")
# `make dist` without a full build packs from a tree of its own and has the
# zip written where the full build would write it.
set(BRACKWYN_DIST_DIR "${CMAKE_BINARY_DIR}" CACHE PATH "Folder the dist target writes the zip to")
set(BRACKWYN_DIST_ZIP "${BRACKWYN_DIST_DIR}/${BRACKWYN_DIST_NAME}.zip")
# -D settings come before -P: cmake hands anything after the script to it as
# arguments. The package test packs with the same settings into a folder of
# its own.
set(BRACKWYN_DIST_DEFINES
  "-DBUILD_DIR=${CMAKE_BINARY_DIR}"
  "-DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}"
  "-DCONFIG=$<CONFIG>"
  "-DNAME=${BRACKWYN_DIST_NAME}")
set(BRACKWYN_DIST_SCRIPT "${CMAKE_CURRENT_SOURCE_DIR}/cmake/dist.cmake")
# A parent project's own `dist` keeps its name.
if(NOT TARGET dist)
  add_custom_target(dist
    COMMAND "${CMAKE_COMMAND}" ${BRACKWYN_DIST_DEFINES} "-DZIP=${BRACKWYN_DIST_ZIP}"
            -P "${BRACKWYN_DIST_SCRIPT}"
    COMMENT "Packing ${BRACKWYN_DIST_ZIP}"
    VERBATIM)
  add_dependencies(dist brackwyn brackwyn_ctrlc brackwyn_term)
  if(TARGET brackwyn_msvc_implib)
    add_dependencies(dist brackwyn_msvc_implib)
  endif()
endif()
