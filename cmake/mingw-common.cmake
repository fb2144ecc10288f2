# What both mingw-w64 toolchain files share; the including file sets
# CMAKE_SYSTEM_PROCESSOR and ssm_mingw_target first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix threads variant: GoogleTest needs std::mutex, which the win32
# variant lacks. Linked statically, winpthread needs no DLL beside the programs.
find_program(CMAKE_CXX_COMPILER NAMES ${ssm_mingw_target}-g++-posix REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${ssm_mingw_target}-gcc-posix REQUIRED)
# For the programs' version resource.
find_program(CMAKE_RC_COMPILER NAMES ${ssm_mingw_target}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ssm_mingw_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
