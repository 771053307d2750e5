#!/usr/bin/env bash
# Builds the busybox the package tests and the kernel tier's ash scenario
# run the module's scripts with: Debian's busybox source with the root
# managers' settings (tests/package/busybox.config) on top of allnoconfig,
# statically linked. Debian's own busybox is not that shell: it has applets
# and options the managers' lacks (grep -z), and lacks some theirs has.
#
#   scripts/build-busybox.sh [x86_64|arm64]     default: x86_64 (this machine)
#
# The result is build/busybox-ARCH/busybox, rebuilt only when the settings
# or this script change (the key beside it). The source comes from Debian's
# archive through a source list of its own in build/busybox-src/, never
# through the machine's apt sources. arm64 (the arm64 kernel guest) is
# cross-built without SELinux: there is no arm64 libselinux on this machine,
# and no scenario there reaches chcon.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

die() {
    echo "build-busybox: $*" >&2
    exit 1
}

arch=${1:-x86_64}
case "$arch" in
    x86_64) cross= ;;
    arm64) cross=aarch64-linux-gnu- ;;
    *) die "unknown architecture '$arch' (x86_64 or arm64)" ;;
esac
fragment=tests/package/busybox.config
out=$top/build/busybox-$arch
key=$( (cat "$fragment" scripts/build-busybox.sh; echo "$arch") | sha256sum | cut -c1-16)
if [ -x "$out/busybox" ] && [ "$(cat "$out/key" 2>/dev/null)" = "$key" ]; then
    exit 0
fi

deps=(dpkg-dev make gcc bzip2 xz-utils file)
if [ "$arch" = x86_64 ]; then
    deps+=(libselinux1-dev libsepol-dev libpcre2-dev)
else
    deps+=(gcc-aarch64-linux-gnu)
fi
bash scripts/deps.sh "${deps[@]}"

# The source, once: Debian 12's busybox from the archive the machine uses,
# listed in a private source list (its package lists stay in this folder).
src_root=$top/build/busybox-src
src=$(compgen -G "$src_root/busybox-1.*/" | head -1 || true)
if [ -z "$src" ] || [ ! -f "$src/Makefile" ]; then
    echo "build-busybox: fetching Debian's busybox source into $src_root"
    rm -rf "$src_root"
    mkdir -p "$src_root/lists/partial"
    # The mirror the machine's own apt sources name (deb822 or one-line).
    mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
    [ -n "$mirror" ] ||
        mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\(http[^ ]*debian\) bookworm .*/\2/p' /etc/apt/sources.list 2>/dev/null | head -1)
    [ -n "$mirror" ] || die "no Debian mirror in the machine's apt sources to fetch the busybox source from"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" \
        >"$src_root/sources.list"
    apt_private=(-o "Dir::Etc::SourceList=$src_root/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$src_root/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
        -o APT::Sandbox::User=root)
    apt-get -qq "${apt_private[@]}" update </dev/null || die "apt-get update of the private source list failed"
    (cd "$src_root" && apt-get -qq "${apt_private[@]}" source busybox </dev/null >"$src_root/source.log" 2>&1) ||
        die "apt-get source busybox failed: $(tail -3 "$src_root/source.log")"
    src=$(compgen -G "$src_root/busybox-1.*/" | head -1 || true)
    [ -n "$src" ] && [ -f "$src/Makefile" ] || die "no busybox source tree in $src_root"
fi

# allnoconfig, then each setting of the fragment in place of its default;
# oldconfig settles what depends on them. Every setting must survive it:
# one that a dependency drops would silently leave an applet or option out.
obj=$out/obj
rm -rf "$out"
mkdir -p "$obj"
make -s -C "$src" O="$obj" allnoconfig >/dev/null
settings=$(grep -E '^(CONFIG_[A-Za-z0-9_]+=|# CONFIG_[A-Za-z0-9_]+ is not set$)' "$fragment")
if [ "$arch" != x86_64 ]; then
    settings=$(printf '%s\n' "$settings" |
        sed -e 's/^CONFIG_\(SELINUX\|CHCON\)=y$/# CONFIG_\1 is not set/' -e '/^CONFIG_EXTRA_LDLIBS=/d')
fi
while IFS= read -r line; do
    name=$(printf '%s\n' "$line" | sed -E 's/^(# )?(CONFIG_[A-Za-z0-9_]+).*/\2/')
    sed -i -E "/^(# )?$name(=| is not set)/d" "$obj/.config"
    printf '%s\n' "$line" >>"$obj/.config"
done <<<"$settings"
{ yes '' || true; } | make -s -C "$src" O="$obj" CROSS_COMPILE="$cross" oldconfig >/dev/null
while IFS= read -r line; do
    grep -qxF -- "$line" "$obj/.config" || die "'$line' does not hold after oldconfig (a dependency is missing)"
done <<<"$settings"

echo "build-busybox: building busybox for $arch into $out"
make -s -C "$src" O="$obj" CROSS_COMPILE="$cross" -j"$(nproc)" busybox >"$out/build.log" 2>&1 ||
    die "the build failed (log: $out/build.log)"
file -L "$obj/busybox" | grep -q 'statically linked' || die "$obj/busybox is not statically linked"
cp "$obj/busybox" "$out/busybox"
cp "$obj/.config" "$out/config"
rm -rf "$obj"
echo "$key" >"$out/key"
echo "build-busybox: $out/busybox"
