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
# No build path in a binary: the source and build folders appear as relative names in
# __FILE__ and in debug information, so that checkouts in different folders build the same
# bytes. (The link's TimeDateStamp is SOURCE_DATE_EPOCH when the build's environment sets it:
# GNU ld reads it; windres writes zero resource time stamps.)
get_filename_component(OT_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(CMAKE_C_FLAGS_INIT "-ffile-prefix-map=${OT_SOURCE_ROOT}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
