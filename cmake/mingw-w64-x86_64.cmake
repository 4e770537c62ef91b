# Cross-building the Windows console program on Linux with mingw-w64:
#   cmake -S . -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The result, build-win/tovhost.exe, is linked statically (libgcc, libstdc++,
# winpthread), so it needs no DLL beyond those that come with Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVHOST_MINGW_PREFIX x86_64-w64-mingw32)

# The posix threads variant brings clock_gettime (winpthread) and std::thread;
# older packages only have the plain name.
find_program(TOVHOST_MINGW_CXX NAMES ${TOVHOST_MINGW_PREFIX}-g++-posix ${TOVHOST_MINGW_PREFIX}-g++
             REQUIRED)
find_program(TOVHOST_MINGW_CC NAMES ${TOVHOST_MINGW_PREFIX}-gcc-posix ${TOVHOST_MINGW_PREFIX}-gcc)
find_program(TOVHOST_MINGW_WINDRES NAMES ${TOVHOST_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${TOVHOST_MINGW_CXX})
if(TOVHOST_MINGW_CC)
  set(CMAKE_C_COMPILER ${TOVHOST_MINGW_CC})
endif()
if(TOVHOST_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${TOVHOST_MINGW_WINDRES})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TOVHOST_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No runtime DLLs next to the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests built here run under Wine where it is installed.
find_program(TOVHOST_WINE NAMES wine wine64)
if(TOVHOST_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOVHOST_WINE})
endif()
