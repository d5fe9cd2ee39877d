# Cross build for 32-bit Windows with Debian's MinGW-w64 compilers. The
# 32-bit module is what hosts load; its records have the fixed
# 4-byte-pointer layout.
set(ORVTIW_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
