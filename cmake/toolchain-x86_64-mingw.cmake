# Cross build of the Windows programs for x86-64 (Tonrelay, for Wine) with
# Debian's x86_64 mingw-w64 toolchain.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TONVANE_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
