# Delay-loaded system DLLs for the Windows builds: a program linked with delayed_<name>
# instead of <name> loads <name>.dll when it first calls into it, not at its start, and
# so after its DLL search is restricted (app/dll_search_win32.cpp).
#   include(cmake/delay-import.cmake); vtl_delay_import(comdlg32) -> target delayed_comdlg32
#
# The delay-import library is made by binutils' dlltool (--output-delaylib) from a
# module definition listing every function of MinGW-w64's import library for the DLL,
# read with nm, so that no list is kept by hand. The same file runs as that step:
#   cmake -DNM=... -DDLLTOOL=... -DIMPORT_LIBRARY=... -DDLL=name.dll -DOUTPUT=lib.a -P delay-import.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND ${NM} -g --defined-only ${IMPORT_LIBRARY}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  # __imp_Name on x86_64; __imp__Name@bytes on i686, whose C names begin with "_".
  string(REGEX MATCHALL " I __imp__?[^\n]+" imports "${symbols}")
  set(definition "LIBRARY ${DLL}\nEXPORTS\n")
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^ I __imp_" "" name "${import}")
    if(I686)
      string(REGEX REPLACE "^_" "" name "${name}")
    endif()
    string(APPEND definition "${name}\n")
  endforeach()
  file(WRITE ${OUTPUT}.def "${definition}")
  # --kill-at: i686's stdcall names are exported without their @bytes.
  set(kill_at)
  if(I686)
    set(kill_at --kill-at)
  endif()
  # Run in the output's folder and given its bare name: dlltool names the library's
  # symbols after the output path it is given (__DLL_HANDLE_<path>), and a folder in
  # them would make builds in two folders differ.
  get_filename_component(folder ${OUTPUT} DIRECTORY)
  get_filename_component(library ${OUTPUT} NAME)
  execute_process(COMMAND ${DLLTOOL} --input-def ${library}.def --dllname ${DLL} ${kill_at}
                          --output-delaylib ${library}
                  WORKING_DIRECTORY ${folder}
                  COMMAND_ERROR_IS_FATAL ANY)
  return()
endif()

function(vtl_delay_import name)
  find_library(VTL_IMPORT_LIBRARY_${name} ${name} REQUIRED)
  set(output ${CMAKE_BINARY_DIR}/delay-import/lib${name}-delay.a)
  set(i686 OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(i686 ON)
  endif()
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay-import
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DI686=${i686}
            -DIMPORT_LIBRARY=${VTL_IMPORT_LIBRARY_${name}} -DDLL=${name}.dll -DOUTPUT=${output}
            -P ${CMAKE_SOURCE_DIR}/cmake/delay-import.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delay-import.cmake ${VTL_IMPORT_LIBRARY_${name}}
    COMMENT "Making the delay-import library of ${name}.dll"
    VERBATIM)
  add_custom_target(delay_import_${name} DEPENDS ${output})
  add_library(delayed_${name} INTERFACE)
  # delayimp: MinGW-w64's __delayLoadHelper2, which the library's stubs call.
  target_link_libraries(delayed_${name} INTERFACE ${output} delayimp)
  add_dependencies(delayed_${name} delay_import_${name})
endfunction()
