# Read by CPack when it runs (CPACK_PROJECT_CONFIG_FILE, cmake/packaging.cmake): the
# package's name from the version written at build time, and the commit's time for
# every zip entry, which CPack's archive writer takes from SOURCE_DATE_EPOCH.
include(${CPACK_VTL_VERSION_FILE})
set(CPACK_PACKAGE_VERSION ${VTL_VERSION_FULL})
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${VTL_VERSION_FULL}-${CPACK_SYSTEM_NAME})
set(ENV{SOURCE_DATE_EPOCH} ${VTL_COMMIT_TIME})
