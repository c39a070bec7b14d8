# mingw-w64 i686 with the posix thread model, for Windows-side programs that need GoogleTest
# (whose std::mutex the win32 model lacks). Nothing that ships is built with it.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(OT_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_C_COMPILER   ${OT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OT_MINGW_TRIPLE}-g++-posix)
