# Cross build for 64-bit Windows (PE32+ x86_64) with Debian's MinGW-w64. It exists only to run the
# Windows-side tests on machines whose kernel cannot start 32-bit programs (Wine's 32-bit loader
# needs IA-32 emulation). The shipped programs always come from the i686 build.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
