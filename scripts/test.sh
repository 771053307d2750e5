#!/usr/bin/env bash
# Runs every test, as root on Debian 12:
#   1. static analysis of the daemon code (include layers, clang-tidy,
#      cppcheck);
#   2. the Release build with GCC and with clang, warnings as errors (a
#      build only: scripts/build-matrix.sh);
#   3. the static Android builds (arm64, arm32, x86_64) and the device package
#      built from them (build/veltaris-<version>.zip);
#   4. the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer;
#   5. the sandbox suite against the arm64 daemon under qemu-aarch64-static,
#      and start-up plus full holds against the arm32 daemon under
#      qemu-arm-static;
#   6. the tests on real kernels: Debian's amd64 and arm64 kernels booted
#      under qemu with the static builds, the test module, toybox and mksh
#      (scripts/kernel-test.sh, test preset "kernel"; a few power cuts per
#      file system with fresh seeds);
#   7. the demonstration (scripts/demo.sh) from a copy of the working tree
#      in a directory only root can enter (mktemp -d, 0700), as a checkout
#      in root's own home is: what it runs as another user must not need
#      the checkout to be reachable;
#   8. the whole host suite: unit tests, fuzz-corpus replays, the sandbox
#      tests that run the real daemon, the device package's scripts under
#      mksh and under a busybox built with the root managers' settings
#      (scripts/build-busybox.sh), with its arm64 binaries under qemu, crash
#      consistency, fault injection, socket abuse, the module's page in
#      Debian's headless Chromium (tests/page) and the benchmark's smoke
#      run. It runs last, so the output ends with CTest's summary.
# With --quick only step 8 runs. Extra arguments go to every ctest call.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi

bash scripts/deps.sh clang clang-tidy cppcheck strace valgrind \
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static mksh zip unzip \
    qemu-system-x86 qemu-system-arm toybox f2fs-tools e2fsprogs cpio zstd \
    kmod binutils file gcc-aarch64-linux-gnu make chromium fonts-dejavu-core
# The page test's driver (tests/page): playwright-core, pinned in its
# package-lock.json; it drives Debian's chromium and downloads no browser.
# Node.js 20 comes with the machine (with its own npm); Debian's packages
# only where there is none.
command -v npm >/dev/null || bash scripts/deps.sh nodejs npm
npm ci --prefix tests/page --no-audit --no-fund --loglevel=error </dev/null
bash scripts/build.sh
# The root managers' busybox, which the package tests run the scripts with
# (cached in build/: a few minutes once, nothing after).
bash scripts/build-busybox.sh

if [ "$quick" -eq 0 ]; then
    echo "== static analysis"
    bash scripts/lint.sh

    echo "== Release builds (GCC, clang)"
    bash scripts/build-matrix.sh

    echo "== Android builds and the device package"
    bash scripts/build-android.sh
    bash scripts/package.sh

    echo "== sanitizers"
    bash scripts/sanitize.sh "$@"

    # The emulated runs are test presets (CMakePresets.json). The arm64 one
    # leaves out the fault-injection cases, which put strace in the
    # emulator's place and so run on the host binary only, and the probe and
    # package and owner's-hold tests, which do not run the daemon named there
    # (the client is the host's and starts the daemon beside it; the package
    # brings its own arm64 binaries).
    echo "== arm64 daemon under qemu-aarch64-static: the sandbox suite"
    ctest --preset qemu-arm64 "$@"

    echo "== arm32 daemon under qemu-arm-static: start-up and full holds"
    ctest --preset qemu-arm32 "$@"

    echo "== real kernels: amd64 and arm64 guests under qemu"
    ctest --preset kernel "$@"

    echo "== the demonstration from a checkout only root can enter"
    demo_dir=$(mktemp -d)
    trap 'rm -rf "$demo_dir"' EXIT
    # The files git knows or would take (not the build trees), as they
    # stand; the copy builds only what the demonstration needs.
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do if [ -e "$f" ]; then printf '%s\0' "$f"; fi; done |
        tar --null -T - -cf - | tar -xf - -C "$demo_dir"
    [ "$(stat -c %a "$demo_dir")" = 700 ] || { echo "test: $demo_dir is not 0700" >&2; exit 1; }
    bash "$demo_dir/scripts/demo.sh"
    rm -rf "$demo_dir"
    trap - EXIT
fi

echo "== host suite"
# Two jobs (in the preset): this is a small machine, and the sandbox tests
# keep real timers.
ctest --preset default "$@"
