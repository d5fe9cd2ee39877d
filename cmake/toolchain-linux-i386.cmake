# 32-bit x86 Linux with the native compiler's -m32 (Debian g++-multilib):
# the driver then has the 4-byte pointers and the fixed record offsets that
# 32-bit hosts see. Its programs run under user-mode emulation (Debian
# qemu-user), which ctest puts in front of every test program it starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# -L / lets the emulator find the 32-bit loader and libraries where
# libc6-i386 and lib32stdc++6 put them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /)

