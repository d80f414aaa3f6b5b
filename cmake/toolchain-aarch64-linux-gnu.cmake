# Cross-build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu); the
# test programs link GoogleTest and MPFR from Debian's arm64 packages (libgtest-dev:arm64,
# libmpfr-dev:arm64, in /usr/lib/aarch64-linux-gnu) and run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The cross tool chain's own root, and / for the multiarch packages: with the library
# architecture set, the searches look in /usr/lib/aarch64-linux-gnu, never in x86-64's folder.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# No -L /usr/aarch64-linux-gnu: with the multiarch arm64 C library installed, qemu finds the
# loader at /lib/ld-linux-aarch64.so.1 and the libraries through it, and with -L pointing at
# the cross tool chain's copy thread creation and fork hang.
find_program(SWMA_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SWMA_QEMU_AARCH64})
