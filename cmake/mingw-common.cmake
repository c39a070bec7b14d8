# Shared part of the mingw-w64 toolchain files. The win32 thread-model driver is used
# on purpose: the posix one links winpthread, which imports functions Windows XP lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER   ${OT_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${OT_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER  ${OT_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${OT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Windows-side test programs run under Wine through this wrapper (private prefix, timeout).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh)
