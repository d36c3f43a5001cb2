# Cross build for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64-posix).
# Test programs run under wine, which CTest starts by itself through the emulator setting.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64-toolchain.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LUMARO_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model: the win32 one of GCC 12 lacks std::thread and std::mutex.
set(CMAKE_C_COMPILER ${LUMARO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMARO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMARO_MINGW_TRIPLET}-windres)
set(CMAKE_OBJCOPY ${LUMARO_MINGW_TRIPLET}-objcopy)
set(CMAKE_STRIP ${LUMARO_MINGW_TRIPLET}-strip)

find_program(LUMARO_WINE wine PATHS /usr/bin /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(LUMARO_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMARO_WINE})
endif()

# Headers, libraries and packages (a Qt for Windows, say) come from the target's root only;
# programs run during the build are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${LUMARO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
