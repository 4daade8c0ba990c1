# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORBEL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORBEL_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZORBEL_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${ZORBEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORBEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A clean Windows has no libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll:
# link the runtime in, so that zorbel.exe needs only the system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
