#!/usr/bin/env bash
# Builds the Release configuration, the one packagers pick, with GCC in
# build-release-gcc/ and with clang in build-release-clang/: everything,
# tests included, warnings as errors. A build only, nothing runs. The
# everyday build (RelWithDebInfo in build/) never sees -O3, where GCC
# inlines the most and its flow-based warnings (-Wrestrict, -Warray-bounds,
# -Wstringop-*) look deepest, and it never sees clang's warnings at all.
# build/ is left alone.
#
#   scripts/build-matrix.sh            both compilers
#   scripts/build-matrix.sh clang      only one of them (gcc or clang)
set -euo pipefail
cd "$(dirname "$0")/.."

# The tests link Debian's GoogleTest, which is built with GCC; clang links
# it just as well.
bash scripts/deps.sh clang

compilers=("$@")
[ ${#compilers[@]} -eq 0 ] && compilers=(gcc clang)
for c in "${compilers[@]}"; do
    case "$c" in
        gcc) cxx=g++ ;;
        clang) cxx=clang++ ;;
        *)
            echo "build-matrix: unknown compiler '$c' (gcc or clang)" >&2
            exit 2
            ;;
    esac
    echo "build-matrix: Release with $cxx in build-release-$c/"
    cmake --preset "release-$c" >/dev/null
    cmake --build --preset "release-$c"
done
