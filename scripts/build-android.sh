#!/usr/bin/env bash
# Builds the daemon and the client for Android devices: build-arm64/
# (aarch64) and build-arm32/ (32-bit ARM, hard float) with the Debian cross
# compilers, build-x86_64/ (x86_64 devices and emulators) with the host's
# own g++, all statically linked so they run on a device without glibc.
# Installs the Debian cross compilers and qemu-user-static (to run the ARM
# results on this machine) when they are missing; does nothing to the
# package set when they are there.
#
#   scripts/build-android.sh            all three
#   scripts/build-android.sh x86_64     only one of them
#
# Smoke check on the build machine, e.g.:
#   qemu-aarch64-static build-arm64/bin/veltarisctl --help
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(arm64 arm32 x86_64)
for t in "${targets[@]}"; do
    case "$t" in
        arm64 | arm32 | x86_64) ;;
        *)
            echo "build-android: unknown target '$t' (arm64, arm32 or x86_64)" >&2
            exit 2
            ;;
    esac
    cmake --preset "android-$t" >/dev/null
    cmake --build --preset "android-$t"
done
