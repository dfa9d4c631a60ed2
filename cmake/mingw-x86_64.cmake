# Cross build for 64-bit Windows with the MinGW-w64 compilers:
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# The library is KEL64.dll (cmake/windows.cmake). Programs built for Windows
# run under 64-bit Wine when ctest starts them; Debian's wine64 package puts
# its loader in /usr/lib/wine and needs no 32-bit support from the kernel.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KEL_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KEL_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${KEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KEL_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT KEL_WINE)
  find_program(KEL_WINE wine64)
endif()
if(KEL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KEL_WINE})
endif()
