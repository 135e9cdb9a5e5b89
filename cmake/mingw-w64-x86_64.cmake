# Cross build for 64-bit Windows with the MinGW-w64 toolchain of a Linux distribution:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The programs are run under Wine when one is installed (tests and test discovery).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
# The compilers with the POSIX threading model, which has the whole C++ thread library (std::mutex and the
# rest); a static link leaves no threading DLL behind. The plain names are the distribution's default.
find_program(CMAKE_C_COMPILER NAMES ${_mingw}-gcc-posix ${_mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_mingw}-g++-posix ${_mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_mingw}-windres)
find_program(CMAKE_AR NAMES ${_mingw}-gcc-ar-posix ${_mingw}-ar)
find_program(CMAKE_RANLIB NAMES ${_mingw}-gcc-ranlib-posix ${_mingw}-ranlib)

# Headers and libraries come from the toolchain's own tree, or from paths given explicitly; programs that
# run during the build come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(_wine NAMES wine wine64)
if(_wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_wine})
endif()
