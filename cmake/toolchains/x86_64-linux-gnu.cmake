# Static build for x86_64 Android devices and emulators with the build
# machine's own g++ (an amd64 Debian host, so no cross compiler is needed).
# Linked statically against glibc for the same reason as the ARM builds:
# Android has no glibc of its own.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
