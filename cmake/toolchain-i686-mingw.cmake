# Cross build of the Windows product with the i686 mingw-w64 toolchain.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TONVANE_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
