# Cross-builds the Windows programs with Debian's mingw-w64 (g++-mingw-w64-i686):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ssm_mingw_target i686-w64-mingw32)

# The win32 threads variant: nothing here uses threads, and it needs no
# winpthread DLL or library beside the programs.
find_program(CMAKE_CXX_COMPILER NAMES ${ssm_mingw_target}-g++-win32 ${ssm_mingw_target}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${ssm_mingw_target}-gcc-win32 ${ssm_mingw_target}-gcc
             REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ssm_mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
