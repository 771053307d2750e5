# Cross build for 64-bit ARM Android devices with Debian's
# g++-aarch64-linux-gnu, linked statically.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELTARIS_CROSS_TRIPLE aarch64-linux-gnu)
set(VELTARIS_QEMU_NAME qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/cross-static.cmake)
