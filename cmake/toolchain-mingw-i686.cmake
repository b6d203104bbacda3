# Cross build for 32-bit Windows (PE32 i386) with Debian's MinGW-w64: the shipped programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
