# Cross-build for 32-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(XA_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${XA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${XA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${XA_MINGW_PREFIX}-windres)
set(CMAKE_AR ${XA_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${XA_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${XA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every program we build is fully static: no libstdc++, libgcc or winpthread DLL next to it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
