# Cross build of the Windows x64 DLL with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the
# posix thread model, which std::thread and thread_local need). Test programs run under Wine
# when it is installed.
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEPOD_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEPOD_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEPOD_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VEPOD_MINGW}-windres)

# Headers, libraries and packages come from the target's tree only, never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VEPOD_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VEPOD_WINE wine)
if(VEPOD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEPOD_WINE})
endif()
