# Cross build with a mingw-w64 toolchain, included by the toolchain file of
# each machine after it has set CMAKE_SYSTEM_PROCESSOR and TONVANE_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${TONVANE_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TONVANE_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER  ${TONVANE_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP      ${TONVANE_MINGW_TRIPLE}-objdump)

# Debian installs the headers and import libraries here.
set(TONVANE_MINGW_SYSROOT /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH /usr/${TONVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
