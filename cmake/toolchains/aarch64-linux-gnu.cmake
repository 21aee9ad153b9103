# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain
# (packages g++-aarch64-linux-gnu and qemu-user). Target binaries run through
# qemu's user-mode emulator, so CTest and test discovery work on an x86-64 host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(HALVIX_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${HALVIX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HALVIX_TARGET_TRIPLE}-g++)

# The target's C library and loader live under /usr/aarch64-linux-gnu; -L
# points qemu there so dynamically linked test binaries find them.
set(HALVIX_TARGET_SYSROOT /usr/${HALVIX_TARGET_TRIPLE})
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;${HALVIX_TARGET_SYSROOT})

# Libraries, headers and packages come from the target's tree only (a host
# x86-64 libgtest must never be picked up); programs such as ninja or readelf
# come from the host.
set(CMAKE_FIND_ROOT_PATH ${HALVIX_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
