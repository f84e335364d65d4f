# Cross-compiling the Windows program with Debian's mingw-w64 (64-bit, posix thread
# model: the win32 model has no std::thread or std::mutex).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(zb_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${zb_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${zb_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${zb_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${zb_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run on this machine under Wine: ctest and the build's own
# generated-file steps go through it.
find_program(ZB_WINE NAMES wine wine64)
if(ZB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZB_WINE})
endif()
