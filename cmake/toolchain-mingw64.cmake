# The 64-bit Windows build (x86_64) with MinGW-w64; build/win.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VTL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
