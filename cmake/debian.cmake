# The Debian packages vantrel-tools and vantrel-configurator, built with debhelper
# (packaging/debian) from the programs already built:
#   cmake --build build/win --target debs
# writes vantrel-tools_<version>_amd64.deb and vantrel-configurator_<version>_amd64.deb
# into VTL_RELEASE_DIR (default build/release of the source tree). vtl and vtl-unit-sim
# come from the native build (VTL_NATIVE_BUILD, built first by this target), the tool
# from this build's stripped ship/VTL_K4ZVL.exe. Included from the top-level
# CMakeLists.txt in the 64-bit Windows build.
#
# Reproducible: dpkg-buildpackage takes SOURCE_DATE_EPOCH from the changelog's date,
# which is the commit's time, and dpkg-deb clamps every file's time to it.
set(VTL_RELEASE_DIR ${CMAKE_SOURCE_DIR}/build/release CACHE PATH "where the release artefacts go")
if(VTL_NATIVE_BUILD)
  add_custom_target(debs
    COMMAND ${CMAKE_COMMAND} --build ${VTL_NATIVE_BUILD} --target vtl vtl-unit-sim
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DWORK_DIR=${CMAKE_BINARY_DIR}/debian
            -DVERSION_FILE=${VTL_VERSION_DIR}/vtl_version.cmake -DRELEASE_DIR=${VTL_RELEASE_DIR}
            "-DBUILT=${VTL_NATIVE_BUILD}/vtl;${VTL_NATIVE_BUILD}/vtl-unit-sim;${VTL_SHIP_DIR}/VTL_K4ZVL.exe;${VTL_HELP_PDF}"
            -P ${CMAKE_SOURCE_DIR}/cmake/debian-build.cmake
    COMMENT "Building the Debian packages into ${VTL_RELEASE_DIR}"
    USES_TERMINAL
    VERBATIM)
  add_dependencies(debs vtl_version VTL_K4ZVL_shipped vtl_help)

  # The packages as a user gets them: lintian, their contents, and everything in them
  # used from a scratch root (tests/debs_test.sh). They are built first, by a test of
  # their own, so that `ctest -L release` needs nothing else.
  add_test(NAME debs_build COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target debs)
  set_tests_properties(debs_build PROPERTIES LABELS release TIMEOUT 600 FIXTURES_SETUP debs)
  add_test(NAME debs COMMAND ${CMAKE_SOURCE_DIR}/tests/debs_test.sh ${VTL_RELEASE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(debs PROPERTIES LABELS release TIMEOUT 600 FIXTURES_REQUIRED debs)
  vtl_wine_test(debs)
endif()
