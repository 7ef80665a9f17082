# Writes the program's version where the build reads it, from the VERSION file and the
# commit checked out. Run at every build (cmake -P), so a new commit shows without
# configuring again; a file is rewritten only when its content changes, so nothing is
# rebuilt otherwise.
#   cmake -DSOURCE_DIR=... -DOUTPUT_DIR=... -P version.cmake
# Writes:
#   OUTPUT_DIR/vtl_version.h       for the resource scripts (VERSIONINFO)
#   OUTPUT_DIR/vtl_version.cmake   for packaging: VTL_VERSION_FULL, VTL_COMMIT_TIME
#   OUTPUT_DIR/vtl_version.txt     the full version alone, for the guide and the tests
file(STRINGS ${SOURCE_DIR}/VERSION version LIMIT_COUNT 1)
if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must hold MAJOR.MINOR.PATCH, not '${version}'")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})
set(patch ${CMAKE_MATCH_3})

# The commit: its short hash, "-dirty" when files differ from it, and its time, which
# packaging gives every zip entry. Outside a git checkout the version stands alone and
# the time is that of the VERSION file.
set(full ${version})
execute_process(COMMAND git -C ${SOURCE_DIR} rev-parse --short=10 HEAD
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE no_git ERROR_QUIET)
if(no_git EQUAL 0)
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND git -C ${SOURCE_DIR} status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(full ${version}-${commit})
  if(changes)
    string(APPEND full -dirty)
  endif()
else()
  file(TIMESTAMP ${SOURCE_DIR}/VERSION commit_time "%s" UTC)
endif()

# file(CONFIGURE) leaves a file alone when its content is the same.
file(CONFIGURE OUTPUT ${OUTPUT_DIR}/vtl_version.h CONTENT
"// Made by cmake/version.cmake from VERSION and the commit; do not edit.
#pragma once
#define VTL_VERSION_MAJOR ${major}
#define VTL_VERSION_MINOR ${minor}
#define VTL_VERSION_PATCH ${patch}
#define VTL_VERSION_STRING \"${full}\"
")
file(CONFIGURE OUTPUT ${OUTPUT_DIR}/vtl_version.cmake CONTENT
"set(VTL_VERSION_FULL ${full})
set(VTL_COMMIT_TIME ${commit_time})
")
file(CONFIGURE OUTPUT ${OUTPUT_DIR}/vtl_version.txt CONTENT "${full}\n")
