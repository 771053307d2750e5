#!/usr/bin/env bash
# Builds the test kernel module against Debian 12's own linux-headers
# packages for one kernel release, without installing anything:
#
#   tests/kernel/build-module.sh ARCH RELEASE WORKDIR OUTDIR
#     ARCH     x86_64 (native) or arm64 (cross, aarch64-linux-gnu-)
#     RELEASE  the kernel's ABI name without flavour, e.g. 6.1.0-57; it
#              must be exactly the booted kernel's (the module's vermagic)
#     WORKDIR  cache: the .deb packages, their unpacked tree, the build
#     OUTDIR   receives veltaris_testdev.ko (kept when it is already built
#              for RELEASE from the current sources)
#
# The packages are fetched by name with apt-get download (once: nothing is
# fetched when they are in WORKDIR) and unpacked with dpkg-deb -x. The
# headers of a flavour link their scripts/ and tools/ into
# linux-kbuild-<major.minor>, whose programs run on the build machine: the
# build machine's own linux-kbuild of the same version is unpacked there,
# never the target's, so an arm64 tree runs amd64 host tools.
# Any failure prints one line and exits non-zero.
set -euo pipefail

fail() {
    echo "build-module: $*" >&2
    exit 1
}

[ $# -eq 4 ] || fail "usage: build-module.sh x86_64|arm64 RELEASE WORKDIR OUTDIR"
arch=$1
release=$2
work=$3
out=$4
src=$(cd "$(dirname "$0")/module" && pwd)

case "$arch" in
    x86_64) deb_arch=amd64 kernel_arch=x86 cross= ;;
    arm64) deb_arch=arm64 kernel_arch=arm64 cross=aarch64-linux-gnu- ;;
    *) fail "unknown ARCH '$arch' (x86_64 or arm64)" ;;
esac
[[ "$release" =~ ^([0-9]+\.[0-9]+)\.[0-9]+-[0-9]+$ ]] || fail "RELEASE '$release' is not like 6.1.0-57"
kbuild_series=${BASH_REMATCH[1]}
host_arch=$(dpkg --print-architecture)
command -v "${cross}gcc" >/dev/null || fail "no ${cross}gcc on this machine"

mkdir -p "$work/debs" "$out"
# A module already built for this kernel from the current sources is kept.
ko="$out/veltaris_testdev.ko"
if [ -s "$ko" ] && [ "$ko" -nt "$src/veltaris_testdev.c" ] && [ "$ko" -nt "$src/Kbuild" ] &&
    [ "$ko" -nt "$0" ] && modinfo -F vermagic "$ko" 2>/dev/null | grep -q "^$release-$deb_arch "; then
    exit 0
fi
work=$(cd "$work" && pwd)
log="$work/build-module-$arch-$release.log"
: >"$log"

headers=linux-headers-$release-$deb_arch
common=linux-headers-$release-common
kbuild=linux-kbuild-$kbuild_series

# Debian's packages of a foreign architecture are visible to apt only once
# dpkg knows the architecture and the lists are fetched for it.
if [ "$deb_arch" != "$host_arch" ] && ! dpkg --print-foreign-architectures | grep -qx "$deb_arch"; then
    { dpkg --add-architecture "$deb_arch" && apt-get update; } >>"$log" 2>&1 ||
        fail "could not add the $deb_arch architecture to apt (see $log)"
fi

deb_file() { # NAME VERSION ARCH: the file apt-get download writes
    echo "$work/debs/${1}_${2//:/%3a}_${3}.deb"
}

version_of() { # PACKAGE[:ARCH]: its candidate version, empty when apt has none
    { apt-cache show --no-all-versions "$1" 2>/dev/null || true; } | sed -n 's/^Version: //p' | head -n 1
}

# The version of the headers is looked up only when they are not cached;
# the cache remembers it.
stamp="$work/debs/$arch-$release.version"
if [ -s "$stamp" ]; then
    version=$(cat "$stamp")
else
    version=$(version_of "$headers:$deb_arch")
    if [ -z "$version" ]; then
        apt-get update >>"$log" 2>&1 || fail "apt-get update failed (see $log)"
        version=$(version_of "$headers:$deb_arch")
    fi
    [ -n "$version" ] || fail "no package $headers for $deb_arch: is $release a Debian 12 kernel release?"
fi

wanted=("$headers:$deb_arch=$version" "$common=$version" "$kbuild:$host_arch=$version")
files=("$(deb_file "$headers" "$version" "$deb_arch")" "$(deb_file "$common" "$version" all)"
       "$(deb_file "$kbuild" "$version" "$host_arch")")
missing=0
for f in "${files[@]}"; do [ -s "$f" ] || missing=1; done
if [ $missing -eq 1 ]; then
    (cd "$work/debs" && apt-get download "${wanted[@]}") >>"$log" 2>&1 ||
        fail "apt-get download ${wanted[*]} failed (see $log)"
    for f in "${files[@]}"; do [ -s "$f" ] || fail "apt-get download did not leave $f"; done
fi
echo "$version" >"$stamp"

# One tree per architecture and release, unpacked once.
root="$work/root-$arch-$release"
if [ ! -e "$root/.unpacked" ]; then
    rm -rf "$root"
    mkdir -p "$root"
    for f in "${files[@]}"; do
        dpkg-deb -x "$f" "$root" >>"$log" 2>&1 || fail "dpkg-deb -x $f failed (see $log)"
    done
    touch "$root/.unpacked"
fi
tree="$root/usr/src/$headers"
[ -x "$tree/scripts/mod/modpost" ] || fail "$tree/scripts/mod/modpost missing: the kbuild package does not fit"

# The flavour's own Makefile includes the common tree by its installed
# path; the same is done here with the unpacked one, O= naming the flavour.
build="$work/build-$arch-$release"
rm -rf "$build"
mkdir -p "$build"
cp "$src/Kbuild" "$src/veltaris_testdev.c" "$build/"
make -C "$root/usr/src/$common" O="$tree" M="$build" ARCH="$kernel_arch" CROSS_COMPILE="$cross" \
    -j"$(nproc)" modules >>"$log" 2>&1 || fail "the module did not build against $headers $version (see $log)"
cp "$build/veltaris_testdev.ko" "$ko"
