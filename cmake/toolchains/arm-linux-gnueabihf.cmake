# Cross build for 32-bit ARM Android devices (ARMv7, hard float) with
# Debian's g++-arm-linux-gnueabihf, linked statically.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELTARIS_CROSS_TRIPLE arm-linux-gnueabihf)
set(VELTARIS_QEMU_NAME qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-static.cmake)
