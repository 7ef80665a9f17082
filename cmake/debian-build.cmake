# Builds the Debian packages (run by the target "debs" of cmake/debian.cmake):
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DVERSION_FILE=... -DRELEASE_DIR=...
#         -DBUILT="vtl;vtl-unit-sim;VTL_K4ZVL.exe;VTL_K4ZVL.pdf" -P debian-build.cmake
# WORK_DIR/vantrel-<version>/ gets what debian/rules needs: packaging/debian as debian/
# with a changelog for this version, the sources of the manual pages, completion,
# launcher and icon, and the programs in built/. dpkg-buildpackage writes the packages
# beside that folder; they are copied into RELEASE_DIR.
include(${VERSION_FILE})
set(version ${VTL_VERSION_FULL})
set(stage ${WORK_DIR}/vantrel-${version})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${stage}/built ${stage}/tools ${stage}/tests/wine ${stage}/app)

file(COPY ${SOURCE_DIR}/packaging/debian DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/packaging DESTINATION ${stage} PATTERN debian EXCLUDE)
file(COPY ${SOURCE_DIR}/tools/configurator-run.sh DESTINATION ${stage}/tools)
file(COPY ${SOURCE_DIR}/tests/wine/wine-env.sh DESTINATION ${stage}/tests/wine)
file(COPY ${SOURCE_DIR}/app/make_icon.py DESTINATION ${stage}/app)
file(COPY ${BUILT} DESTINATION ${stage}/built)

# The changelog: this version, dated at the commit's time, which dpkg-buildpackage
# makes SOURCE_DATE_EPOCH.
execute_process(COMMAND date -u -R -d @${VTL_COMMIT_TIME} OUTPUT_VARIABLE date
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${stage}/debian/changelog
"vantrel (${version}) unstable; urgency=medium

  * Built from the commit of version ${version}.

 -- Vantrel Configurator developers <configurator@vantrel.example>  ${date}
")

# No signing, no check of the build dependencies (the build machine has what
# tools/setup.sh installs), only binary packages.
execute_process(COMMAND dpkg-buildpackage -b -us -uc -d
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE failed
                OUTPUT_FILE ${WORK_DIR}/dpkg-buildpackage.log ERROR_FILE ${WORK_DIR}/dpkg-buildpackage.log)
if(failed)
  file(READ ${WORK_DIR}/dpkg-buildpackage.log log)
  message(FATAL_ERROR "dpkg-buildpackage failed:\n${log}")
endif()

file(GLOB old ${RELEASE_DIR}/vantrel-tools_*.deb ${RELEASE_DIR}/vantrel-configurator_*.deb)
if(old)
  file(REMOVE ${old})
endif()
file(GLOB debs ${WORK_DIR}/*.deb)
file(COPY ${debs} DESTINATION ${RELEASE_DIR})
foreach(deb IN LISTS debs)
  get_filename_component(name ${deb} NAME)
  message(STATUS "${RELEASE_DIR}/${name}")
endforeach()
