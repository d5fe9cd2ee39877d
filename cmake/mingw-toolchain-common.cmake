# The body of both MinGW-w64 toolchain files, for the processor that
# ORVTIW_MINGW_PROCESSOR names (i686 or x86_64). The -posix compiler variants
# are used because the -win32 ones have no std::mutex, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORVTIW_MINGW_PROCESSOR})

set(ORVTIW_MINGW_TRIPLE ${ORVTIW_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVTIW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVTIW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVTIW_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${ORVTIW_MINGW_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP ${ORVTIW_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVTIW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into every program and DLL, so each
# needs only system DLLs at run time (and the driver, KELMAR.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
