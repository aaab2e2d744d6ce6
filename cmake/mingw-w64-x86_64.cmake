# Cross-compiling for 64-bit Windows from Linux with MinGW-w64. The -posix compilers: their
# libstdc++ has std::thread and std::mutex, which the -win32 ones lack. Programs are linked
# statically against libstdc++ and libgcc (and winpthreads), so that they run without MinGW's DLLs
# beside them. Programs and tests run under Wine through wine-run.sh, in a Wine prefix of the
# build's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(korvel_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${korvel_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${korvel_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${korvel_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${korvel_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# DLLs too: -static-libgcc -static-libstdc++ alone still leaves libwinpthread-1.dll to be found.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# One program, not a list: GoogleTest's test discovery takes the emulator as a single path.
set(korvel_wine_launcher ${CMAKE_BINARY_DIR}/wine-run)
file(WRITE ${korvel_wine_launcher}
     "#!/bin/sh\nexec '${CMAKE_CURRENT_LIST_DIR}/wine-run.sh' '${CMAKE_BINARY_DIR}/wine' \"$@\"\n")
file(CHMOD ${korvel_wine_launcher} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${korvel_wine_launcher})
