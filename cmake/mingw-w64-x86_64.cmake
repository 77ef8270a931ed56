# Cross-compile the Windows deliverables with Debian's MinGW-w64 (posix threads for std::thread and friends).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The binaries must run without any MinGW runtime DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
