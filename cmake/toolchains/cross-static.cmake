# Shared part of the static Android cross builds. The including toolchain
# file sets CMAKE_SYSTEM_PROCESSOR, VELTARIS_CROSS_TRIPLE and VELTARIS_QEMU_NAME.
# The result is linked statically against glibc: Android has no glibc of
# its own, and the daemon needs nothing from the C library that a static
# link cannot provide (no name service, no dlopen).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELTARIS_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELTARIS_CROSS_TRIPLE}-g++)

# Look for libraries and headers only in the target's sysroot, programs
# only on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELTARIS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Lets CMake (and test discovery, if tests are ever enabled for this build)
# run target binaries on the build machine.
find_program(VELTARIS_QEMU ${VELTARIS_QEMU_NAME})
if(VELTARIS_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTARIS_QEMU})
endif()
