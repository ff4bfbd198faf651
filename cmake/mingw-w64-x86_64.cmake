# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 toolchain. The -posix compilers are
# the ones whose libstdc++ has std::thread and std::mutex (over winpthreads); the -win32 ones
# would fail to compile the playback layer.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QM_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QM_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${QM_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QM_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

# Look for headers and libraries only in the MinGW sysroot and in the prefixes given on the
# command line, never in the host's /usr: a Linux libSDL2.a found there links "successfully"
# into nothing but errors.
set(CMAKE_FIND_ROOT_PATH /usr/${QM_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: without these it needs libstdc++-6.dll, libgcc_s_seh-1.dll and
# libwinpthread-1.dll, which no Windows installation has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
