# Builds the native unit simulator that the Windows tests talk to, in NATIVE_BUILD, so
# that a Windows build made alone (`cmake --workflow --preset win`) has it; a folder not
# configured yet is configured first through the native preset (CMakePresets.json),
# whose folder it must then be. Run by the Windows build: cmake -DSOURCE_DIR=...
# -DNATIVE_BUILD=... -P native_unit_sim.cmake
if(NOT EXISTS ${NATIVE_BUILD}/CMakeCache.txt)
  if(NOT NATIVE_BUILD STREQUAL "${SOURCE_DIR}/build/native")
    message(FATAL_ERROR "${NATIVE_BUILD} is not configured: configure it, or name build/native")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --preset native WORKING_DIRECTORY ${SOURCE_DIR}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${NATIVE_BUILD} --target vtl-unit-sim
                COMMAND_ERROR_IS_FATAL ANY)
