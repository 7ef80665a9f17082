# Copies a Windows build's zip and installer into the release folder, removing those of
# any other version of the same kind first.
#   cmake -DVERSION_FILE=.../vtl_version.cmake -DFROM=BUILD -DKIND=win64|win32 -DTO=DIR -P release.cmake
include(${VERSION_FILE})
file(MAKE_DIRECTORY ${TO})
file(GLOB earlier ${TO}/VTL_K4ZVL-*-${KIND}.zip ${TO}/VTL_K4ZVL-*-${KIND}.msi)
if(earlier)
  file(REMOVE ${earlier})
endif()
foreach(extension zip msi)
  file(COPY ${FROM}/VTL_K4ZVL-${VTL_VERSION_FULL}-${KIND}.${extension} DESTINATION ${TO})
endforeach()
