# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers. Its
# programs run under wine64 on this kind of machine.
set(ORVTIW_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
