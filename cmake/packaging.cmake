# The Windows packages: the zip, made by CPack's ZIP generator, and the installer, made
# by msitools' wixl (cmake/make-msi.py, cmake/installer.wxs), both in the build folder:
#   cmake --build build/win --target package      VTL_K4ZVL-<version>-win64.zip
#   cmake --build build/win --target msi          VTL_K4ZVL-<version>-win64.msi
#   cmake --build build/win --target release      both, copied to build/release/, and
#                                                  the Debian packages (cmake/debian.cmake)
# (build/win32: the same for win32, without the Debian packages). They hold the shipped programs (VTL_K4ZVL.exe,
# vtl-unit-sim.exe, vtl.exe), the user guide VTL_K4ZVL.pdf and README.txt. Included at the
# end of the top-level CMakeLists.txt, once every program's target exists.
#
# Reproducible: the exes carry no link time (cmake/mingw-common.cmake), and every zip
# entry gets the commit's time (SOURCE_DATE_EPOCH, set in cmake/cpack-project.cmake).

# vtl_ship(TARGET): TARGET's exe as shipped, in ship/ of the build folder: stripped, with
# its debug information in ship/TARGET.debug beside it, linked by .gnu_debuglink so that
# a debugger pointed at the exe finds it. The exe goes into the package, the .debug file
# does not.
set(VTL_SHIP_DIR ${CMAKE_BINARY_DIR}/ship)
function(vtl_ship target)
  set(exe ${VTL_SHIP_DIR}/${target}.exe)
  set(debug ${VTL_SHIP_DIR}/${target}.debug)
  add_custom_command(OUTPUT ${exe} ${debug}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VTL_SHIP_DIR}
    # objcopy writes the time into the PE header of what it makes, the debug file too,
    # unless SOURCE_DATE_EPOCH says otherwise; 0 is what the linker wrote
    # (--no-insert-timestamp). The debug file's CRC is in the exe's .gnu_debuglink.
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
            ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${debug}
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
            ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${debug} $<TARGET_FILE:${target}> ${exe}
    DEPENDS ${target}
    COMMENT "Stripping ${target}.exe for the package"
    VERBATIM)
  add_custom_target(${target}_shipped ALL DEPENDS ${exe} ${debug})
  install(PROGRAMS ${exe} DESTINATION .)
  # The DLL search of every shipped program is the system folder's from its start.
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/app/dll_search_win32.cpp)
  set_property(GLOBAL APPEND PROPERTY VTL_SHIPPED_TARGETS ${target}_shipped)
  set_property(GLOBAL APPEND PROPERTY VTL_SHIPPED_FILES ${exe})
endfunction()

# vtl_program_resources(TARGET DESCRIPTION): a command-line program's manifest and
# version block (cmake/program.rc.in), so that it reports the same version as the tool.
function(vtl_program_resources target description)
  set(VTL_PROGRAM ${target})
  set(VTL_PROGRAM_DESCRIPTION ${description})
  set(VTL_PROGRAM_MANIFEST ${CMAKE_SOURCE_DIR}/cmake/program.manifest)
  set(rc ${CMAKE_BINARY_DIR}/program-resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/program.rc.in ${rc} @ONLY)
  # Source properties belong to a directory: the target's, which may be another one.
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS
    "${VTL_PROGRAM_MANIFEST};${VTL_VERSION_DIR}/vtl_version.h")
  target_sources(${target} PRIVATE ${rc})
  target_include_directories(${target} PRIVATE ${VTL_VERSION_DIR})
  add_dependencies(${target} vtl_version)
endfunction()

vtl_ship(VTL_K4ZVL)
# Programs that other parts of the tree add; the package takes each once it exists.
foreach(program IN ITEMS "vtl-unit-sim|Vantrel unit simulator" "vtl|Vantrel unit from the command line")
  string(REPLACE "|" ";" program "${program}")
  list(GET program 0 name)
  list(GET program 1 description)
  if(TARGET ${name})
    vtl_program_resources(${name} "${description}")
    vtl_ship(${name})
  endif()
endforeach()

install(FILES ${VTL_HELP_PDF} DESTINATION .)

# README.txt with the CRLF line ends that Notepad before Windows 10 needs (Microsoft's
# "Introducing extended line endings support in Notepad", 2018, Windows 10 1809).
set(VTL_PACKAGE_README ${CMAKE_BINARY_DIR}/package/README.txt)
configure_file(${CMAKE_SOURCE_DIR}/docs/README-windows.txt ${VTL_PACKAGE_README} @ONLY NEWLINE_STYLE CRLF)
install(FILES ${VTL_PACKAGE_README} DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_SYSTEM_NAME win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VTL_K4ZVL)
set(CPACK_PACKAGE_VENDOR Vantrel)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# The files at the top of the zip: "Extract all" on Windows makes the folder itself
# (it offers a folder named after the zip; Microsoft's "Zip and unzip files" help).
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
# The version is known only at build time (the commit may change without configuring
# again), so the package's name and entry times are set when CPack runs.
set(CPACK_VTL_VERSION_FILE ${VTL_VERSION_DIR}/vtl_version.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/cpack-project.cmake)
include(CPack)

# The installer: what the zip holds, installed per user (cmake/installer.wxs). Its name
# carries the version, known only at build time, so it is made whenever asked for.
set(VTL_RELEASE_DIR ${CMAKE_SOURCE_DIR}/build/release CACHE PATH
    "where the release artefacts go: the zips, the installers, the Debian packages")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VTL_MSI_ARCH x64)
else()
  set(VTL_MSI_ARCH x86)
endif()
get_property(VTL_SHIPPED_FILES GLOBAL PROPERTY VTL_SHIPPED_FILES)
get_property(VTL_SHIPPED_TARGETS GLOBAL PROPERTY VTL_SHIPPED_TARGETS)
# Debian's python3, which has python3-olefile.
add_custom_target(msi
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/cmake/make-msi.py --arch ${VTL_MSI_ARCH}
          --version-file ${VTL_VERSION_DIR}/vtl_version.cmake --stage ${CMAKE_BINARY_DIR}/msi-stage
          --output-dir ${CMAKE_BINARY_DIR} ${VTL_SHIPPED_FILES} ${VTL_HELP_PDF} ${VTL_PACKAGE_README}
  COMMENT "Building the installer"
  VERBATIM)
add_dependencies(msi vtl_version vtl_help ${VTL_SHIPPED_TARGETS})

# release: the zip and the installer of this build into VTL_RELEASE_DIR, in place of any
# of an earlier version. CPack is run straight, as the package target runs it, without
# building the tests first.
add_custom_target(release
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  COMMAND ${CMAKE_COMMAND} -DVERSION_FILE=${VTL_VERSION_DIR}/vtl_version.cmake
          -DFROM=${CMAKE_BINARY_DIR} -DKIND=${CPACK_SYSTEM_NAME} -DTO=${VTL_RELEASE_DIR}
          -P ${CMAKE_SOURCE_DIR}/cmake/release.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Copying the packages to ${VTL_RELEASE_DIR}"
  VERBATIM)
add_dependencies(release msi)
