# What both Windows builds share; included by toolchain-mingw64.cmake (x86_64) and
# toolchain-mingw32.cmake (i686) after they name their compilers. POSIX threads, so
# that std::thread and std::mutex exist.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VTL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VTL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VTL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VTL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# - The C and C++ run-times are linked statically, so an exe needs no DLL beside it
#   but the system's.
# - Subsystem and OS version 6.0 (Vista): the exes import CancelIoEx and GetTickCount64,
#   which Vista brought (their Microsoft Learn pages: "Minimum supported client:
#   Windows Vista"); ld's default (4.0 or 5.x) claims an older Windows.
# - No link time in the PE header, so two builds of one commit are byte-identical.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -static-libgcc -static-libstdc++ -Wl,--major-subsystem-version,6,--minor-subsystem-version,0 -Wl,--major-os-version,6,--minor-os-version,0 -Wl,--no-insert-timestamp")
