#!/usr/bin/env bash
# Tests on real kernels: boots Debian 12's own kernels under qemu with the
# shipped static binaries, the test module (tests/kernel/module) and an
# Android userland (toybox, mksh as /system/bin/sh), /data on a virtio disk
# with ext4 or f2fs, and runs the scenarios of tests/kernel/guest/scenarios.sh
# in the guest.
#
#   scripts/kernel-test.sh [x86_64|arm64|all] [FILTER] [--cuts N] [--seed S]
#     FILTER     extended regex on scenario names (probe hold drivers rebind covered
#                crash outdoor package reboot cut selinux), or matching one
#                whole name (selinux-manager); default: all of them
#     --cuts N   power cuts per file system (default 2; the campaign: 25)
#     --seed S   first seed of the power cuts (default: a fresh one)
#     --campaign the power-cut campaign: 25 cuts per file system
#     --prepare  only fetch and build what the guests need, boot nothing
#
# Everything it needs is prepared once into build/kernel/ (kernel, modules,
# userland packages, the test module) from Debian packages by name; the
# binaries are build-x86_64/bin and build-arm64/bin (scripts/build-android.sh).
# Each boot has a time limit; its console log is build/kernel/ARCH/logs/.
# Ends with "N passed, N failed"; exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
cache=$top/build/kernel

die() {
    echo "kernel-test: $*" >&2
    exit 1
}

arches=all
filter=.
cuts=2
seed=
positional=0
prepare_only=0
while [ $# -gt 0 ]; do
    case "$1" in
        --cuts) cuts=${2:?}; shift ;;
        --seed) seed=${2:?}; shift ;;
        --campaign) cuts=25 ;;
        --prepare) prepare_only=1 ;;
        -h | --help) sed -n '2,21p' "$0"; exit 0 ;;
        -*) die "unknown option $1 (see --help)" ;;
        *)
            if [ $positional -eq 0 ]; then arches=$1; else filter=$1; fi
            positional=$((positional + 1))
            ;;
    esac
    shift
done
case "$arches" in
    all) arches="x86_64 arm64" ;;
    x86_64 | arm64) ;;
    *) die "unknown architecture '$arches' (x86_64, arm64 or all)" ;;
esac
[[ "$cuts" =~ ^[0-9]+$ ]] || die "--cuts takes a number"
[ -n "$seed" ] || seed=$(( $(od -An -N2 -tu2 /dev/urandom) + 1 ))
[[ "$seed" =~ ^[0-9]+$ ]] || die "--seed takes a number"

for tool in apt-get dpkg-deb depmod cpio gzip readelf mkfs.ext4 mkfs.f2fs timeout; do
    command -v "$tool" >/dev/null || die "no $tool on this machine (scripts/deps.sh installs it)"
done

# ---- preparation (cached) ----

release=
resolve_release() {
    [ -z "$release" ] || return 0
    if [ -s "$cache/release" ]; then
        release=$(cat "$cache/release")
        return 0
    fi
    release=$(apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: linux-image-\([0-9][0-9.]*-[0-9]*\)-amd64$/\1/p' | head -1)
    [ -n "$release" ] || die "cannot resolve the kernel release from 'apt-cache depends linux-image-amd64' (apt-get update?)"
    mkdir -p "$cache"
    echo "$release" >"$cache/release"
}

# fetch DIR PACKAGE...: apt-get download into DIR unless already there.
fetch() {
    local dir=$1 p name arch
    shift
    mkdir -p "$dir"
    for p in "$@"; do
        name=${p%%:*}
        arch=${p#*:}
        [ "$arch" != "$p" ] || arch=$(dpkg --print-architecture)
        compgen -G "$dir/${name}_*_${arch}.deb" >/dev/null && continue
        compgen -G "$dir/${name}_*_all.deb" >/dev/null && continue
        (cd "$dir" && apt-get download -q -o APT::Sandbox::User=root "$p" >/dev/null 2>"$dir/apt.err") ||
            die "apt-get download $p failed: $(tail -1 "$dir/apt.err")"
    done
}

# unpack DIR PACKAGE[:ARCH] INTO
unpack() {
    local name=${2%%:*} arch=${2#*:}
    [ "$arch" != "$2" ] || arch=$(dpkg --print-architecture)
    local deb
    deb=$(compgen -G "$1/${name}_*_${arch}.deb" | head -1)
    [ -n "$deb" ] || die "package $2 missing from $1"
    dpkg-deb -x "$deb" "$3"
}

# modules_for ROOT NAME...: the .ko paths (relative to lib/modules/REL) of
# NAME and its dependencies, dependencies first, each once.
modules_for() {
    local dep=$1/modules.dep
    shift
    awk -v want="$*" '
        { sub(":", "", $1); deps[$1] = ""; for (i = 2; i <= NF; i++) deps[$1] = deps[$1] " " $i
          n = $1; sub(".*/", "", n); sub("\\.ko.*", "", n); path[n] = $1 }
        function load(p,   d, k, i) {
            if (p in seen) return; seen[p] = 1
            k = split(deps[p], d, " "); for (i = k; i >= 1; i--) load(d[i])
            print p }
        END { k = split(want, w, " ")
              for (i = 1; i <= k; i++) { if (!(w[i] in path)) { print "MISSING " w[i]; exit 1 } load(path[w[i]]) } }
    ' "$dep"
}

# The guest's kernel modules: the virtio disk, ext4, f2fs and the checksums
# they ask for by name (not in modules.dep).
GUEST_MODULES="virtio_pci virtio_blk crc32c_generic crc32_generic ext4 f2fs"

prepare() {
    local arch=$1 darch kdir
    case "$arch" in
        x86_64) darch=amd64 ;;
        arm64) darch=arm64 ;;
    esac
    resolve_release
    kdir=$cache/$arch
    mkdir -p "$kdir/logs"
    local deb=$cache/deb flavour=$release-$darch
    local pkgarch=""
    [ "$darch" = "$(dpkg --print-architecture)" ] || pkgarch=":$darch"
    if [ "$pkgarch" != "" ] && ! dpkg --print-foreign-architectures | grep -qx "$darch"; then
        echo "kernel-test: adding the $darch architecture to apt (package lists only)"
        dpkg --add-architecture "$darch"
        apt-get update -qq </dev/null || die "apt-get update failed"
    fi
    if [ ! -s "$kdir/stamp-$release" ]; then
        echo "kernel-test: preparing $arch ($flavour) into $kdir"
        fetch "$deb" "linux-image-$flavour$pkgarch" "busybox-static$pkgarch" "toybox$pkgarch" \
            "mksh$pkgarch" "libc6$pkgarch" "libcrypt1$pkgarch"
        rm -rf "$kdir/image" "$kdir/userland"
        mkdir -p "$kdir/image" "$kdir/userland"
        unpack "$deb" "linux-image-$flavour$pkgarch" "$kdir/image"
        for p in busybox-static toybox mksh libc6 libcrypt1; do
            unpack "$deb" "$p$pkgarch" "$kdir/userland"
        done
        depmod -b "$kdir/image" "$flavour" || die "depmod failed for $flavour"
        cp "$kdir/image/boot/vmlinuz-$flavour" "$kdir/vmlinuz"
        local mods
        mods=$(modules_for "$kdir/image/lib/modules/$flavour" $GUEST_MODULES) ||
            die "kernel $flavour lacks a module: $mods"
        rm -rf "$kdir/modules"
        mkdir -p "$kdir/modules"
        : >"$kdir/modules/load-order"
        local m
        for m in $mods; do
            cp "$kdir/image/lib/modules/$flavour/$m" "$kdir/modules/"
            basename "$m" >>"$kdir/modules/load-order"
        done
        rm -rf "$kdir/image"
        echo "$release" >"$kdir/stamp-$release"
    fi
    rm -rf "$kdir/selinux"
    # The root managers' busybox, which the package scenarios run the
    # module's scripts with (the harness keeps Debian's).
    bash scripts/build-busybox.sh "$arch" || die "the managers' busybox did not build for $arch"
    local ko=$kdir/testdev/veltaris_testdev.ko
    if [ ! -s "$ko" ] || [ -n "$(find tests/kernel/module tests/kernel/build-module.sh -newer "$ko" 2>/dev/null | head -1)" ]; then
        [ -f tests/kernel/build-module.sh ] || die "tests/kernel/build-module.sh is missing"
        bash tests/kernel/build-module.sh "$arch" "$release" "$cache/module-work" "$kdir/testdev" ||
            die "the test module did not build for $arch (log in $cache/module-work)"
    fi
}

# The root managers' domains the package's rule lines are tried under.
MANAGER_DOMAINS="magisk su ksu"

# selinux_prepare ARCH: for the SELinux boot, the test's policy with the
# fragment sepolicy/veltarisd.cil (full.bin), the same with each permission
# of the fragment left out in turn (rule-N.bin, listed in rules and
# rules.txt), the guest's label tool, and for each root manager's domain
# the package's sepolicy.rule as that manager applies it (DOMAIN-with.bin)
# and without each applied line (DOMAIN-without-N.bin, listed in
# manager-runs and manager.txt), into build/kernel/ARCH/selinux.
selinux_prepare() {
    local out=$cache/$1/selinux sel=tests/kernel/selinux f d zip
    bash scripts/deps.sh secilc unzip
    rm -rf "$out"
    mkdir -p "$out"
    gcc -static -O2 -Wall -Werror -o "$out/seltool" $sel/seltool.c ||
        die "$sel/seltool.c did not build"
    secilc -o "$out/full.bin" -f /dev/null $sel/base.cil $sel/clients.cil sepolicy/veltarisd.cil ||
        die "the test policy with sepolicy/veltarisd.cil does not compile"
    perl $sel/rules.pl sepolicy/veltarisd.cil "$out" >/dev/null || die "rules.pl failed"
    for f in "$out"/rule-*.cil; do
        secilc -o "${f%.cil}.bin" -f /dev/null $sel/base.cil $sel/clients.cil "$f" ||
            die "$(basename "$f") does not compile"
        rm "$f"
    done
    # The rule lines as the package ships them; without a package the
    # selinux-manager scenario fails for want of its policies.
    zip=$(compgen -G "$top/build/veltaris-*.zip" | head -1 || true)
    if [ -n "$zip" ]; then
        unzip -p "$zip" sepolicy.rule >"$out/sepolicy.rule" || die "no sepolicy.rule in $zip"
        for d in $MANAGER_DOMAINS; do
            perl $sel/manager-rules.pl "$out/sepolicy.rule" "$out" "$d" \
                $sel/base.cil sepolicy/veltarisd.cil $sel/manager.cil >/dev/null || die "manager-rules.pl failed"
            for f in "$out/$d"-with*.cil; do
                secilc -o "${f%.cil}.bin" -f /dev/null $sel/base.cil sepolicy/veltarisd.cil \
                    $sel/manager.cil "$out/$d.cil" "$f" || die "$(basename "$f") does not compile"
                rm "$f"
            done
            rm "$out/$d.cil"
        done
    fi
    cp $sel/guest.sh "$out/"
}

# ---- the guest's initramfs ----

# copy_elf_libs USERLAND ROOT BINARY: the interpreter and the libraries a
# dynamic binary needs, from the unpacked libc packages, at their paths.
copy_elf_libs() {
    local ul=$1 root=$2 bin=$3 interp lib f
    interp=$(readelf -l "$bin" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
    [ -n "$interp" ] || return 0
    for lib in "$interp" $(readelf -d "$bin" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
        case "$lib" in
            /*) f=$lib ;;
            *) f=$(cd "$ul" && find lib usr/lib -name "$lib" 2>/dev/null | head -1) ;;
        esac
        [ -n "$f" ] && [ -e "$ul/$f" ] || die "no $lib for $(basename "$bin") in the $ul packages"
        mkdir -p "$root/$(dirname "$f")"
        cp -L "$ul/${f#/}" "$root/$f"
    done
}

initramfs() {
    local arch=$1 kdir=$cache/$1 bindir
    case "$arch" in
        x86_64) bindir=$top/build-x86_64/bin ;;
        arm64) bindir=$top/build-arm64/bin ;;
    esac
    [ -x "$bindir/veltarisd" ] && [ -x "$bindir/veltarisctl" ] ||
        die "no $bindir/veltarisd (build it: bash scripts/build-android.sh $arch)"
    file -L "$bindir/veltarisd" 2>/dev/null | grep -q 'statically linked' ||
        die "$bindir/veltarisd is not a static binary"
    local root=$kdir/root ul=$kdir/userland
    rm -rf "$root"
    mkdir -p "$root"/{harness/bin,system/bin,kt,lib/modules,proc,sys,dev,tmp,data,etc}
    cp "$ul/bin/busybox" "$root/harness/busybox"
    local managers_busybox=$top/build/busybox-$arch/busybox
    [ -x "$managers_busybox" ] || die "no $managers_busybox (bash scripts/build-busybox.sh $arch)"
    mkdir -p "$root/harness/managers"
    cp "$managers_busybox" "$root/harness/managers/busybox"
    # mksh statically linked against musl (the package's other static
    # builds need klibc or dietlibc, further from Android's libc).
    cp "$(compgen -G "$ul/usr/lib/*-linux-musl/bin/mksh" | head -1)" "$root/system/bin/sh" ||
        die "no static mksh in the mksh package"
    cp "$ul/bin/toybox" "$root/system/bin/toybox"
    copy_elf_libs "$ul" "$root" "$ul/bin/toybox"
    # toybox's applets as Android links them; the list is the amd64 build's
    # own (the same version and configuration on both architectures).
    local applets
    applets=$(toybox_applets) || die "cannot list toybox's applets"
    local a
    for a in $applets; do
        case "$a" in sh | toybox) continue ;; esac
        ln -s toybox "$root/system/bin/$a"
    done
    cp "$bindir/veltarisd" "$bindir/veltarisctl" "$root/system/bin/"
    cp "$kdir/modules/"*.ko "$kdir/modules/load-order" "$root/lib/modules/"
    cp "$kdir/testdev/veltaris_testdev.ko" "$root/kt/"
    cp tests/kernel/guest/init "$root/init"
    cp tests/kernel/guest/scenarios.sh tests/package/managers.sh "$root/kt/"
    # Android's own unzip (the root managers' installers use their busybox's).
    ln -s /harness/busybox "$root/system/bin/unzip"
    [ -x "$kdir/kt-check" ] && cp "$kdir/kt-check" "$root/kt/"
    [ -d "$kdir/selinux" ] && cp -r "$kdir/selinux" "$root/kt/"
    local zip
    zip=$(compgen -G "$top/build/veltaris-*.zip" | head -1 || true)
    [ -n "$zip" ] && cp "$zip" "$root/kt/package.zip"
    echo 'root:x:0:0:root:/:/system/bin/sh' >"$root/etc/passwd"
    # The property the package's installer asks for, and the one the
    # stand-ins of managers B and C check before they install.
    local abi=arm64-v8a
    [ "$arch" = arm64 ] || abi=x86_64
    printf '#!/system/bin/sh\ncase "$1" in ro.product.cpu.abi) echo %s ;; sys.boot_completed) echo 1 ;; esac\n' \
        "$abi" >"$root/system/bin/getprop"
    chmod 0755 "$root/system/bin/getprop"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$kdir/initramfs.gz"
}

toybox_applets() {
    local ul=$cache/x86_64/userland
    if [ ! -x "$ul/bin/toybox" ]; then
        fetch "$cache/deb" toybox:amd64
        mkdir -p "$ul"
        unpack "$cache/deb" toybox:amd64 "$ul"
    fi
    "$ul/bin/toybox"
}

# ---- boots ----

# The longest a guest may take to reach its init (7-12 s under TCG on an
# idle machine; a loaded 2-core one is far slower).
INIT_LIMIT=180

accel=
choose_accel() {
    [ -z "$accel" ] || return 0
    accel="-accel tcg -cpu max"
    if [ -w /dev/kvm ]; then
        # One short try: KVM is used only where a guest really boots with it.
        local log=$cache/x86_64/logs/kvm-probe.log
        # A log an earlier run left must not vouch for this one.
        rm -f "$log"
        timeout -s KILL 20 qemu-system-x86_64 -accel kvm -cpu host -m 256 -display none \
            -monitor none -serial "file:$log" -nic none -no-reboot \
            -kernel "$cache/x86_64/vmlinuz" -initrd "$cache/x86_64/initramfs.gz" \
            -append "console=ttyS0 quiet panic=-1 kt.fs=none" >/dev/null 2>&1 || true
        if grep -q 'KT DONE\|KT FAIL setup' "$log" 2>/dev/null; then
            accel="-accel kvm -cpu host"
        fi
    fi
    echo "kernel-test: x86_64 guests run with ${accel%% -cpu*}"
}

passed=0
failed=0
failures=()

result() { # STATUS LINE
    if [ "$1" = PASS ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$2")
    fi
    echo "  $2"
}

# boot ARCH NAME DISK FS RUN [CUTSEED]: boots one guest that runs the
# scenarios RUN (comma-separated). With CUTSEED the guest is killed at a
# moment drawn from that seed after it prints "KT CUT"; a boot whose last
# scenario asks for a cut without a seed is killed at once.
boot() {
    local arch=$1 name=$2 disk=$3 fs=$4 run=$5 cutseed=${6:-} kdir=$cache/$1
    local log=$kdir/logs/$name.log limit qemu console
    local n_sc
    n_sc=$(echo "$run" | tr , '\n' | grep -c .)
    limit=${boot_limit:-$((90 + 45 * n_sc))}
    case "$arch" in
        x86_64)
            choose_accel
            qemu=(qemu-system-x86_64 $accel)
            console=ttyS0
            ;;
        arm64)
            qemu=(qemu-system-aarch64 -M virt -accel tcg -cpu cortex-a57)
            console=ttyAMA0
            ;;
    esac
    # The disk's cache=unsafe: a power cut kills qemu, whose writes are
    # already in the host's page cache, so what the guest had sent to its
    # disk survives and what it had not is lost, whatever the guest synced;
    # the host's own flushes (slow on a busy machine) add nothing to that.
    rm -f "$log" "$kdir/logs/$name.pid"
    local start=$SECONDS
    timeout -s KILL "$limit" "${qemu[@]}" -m 512 -smp 1 -display none -monitor none \
        -serial "file:$log" -nic none -no-reboot -pidfile "$kdir/logs/$name.pid" \
        -kernel "$kdir/vmlinuz" -initrd "$kdir/initramfs.gz" \
        -drive "file=$disk,format=raw,if=none,id=data,cache=unsafe" \
        -device virtio-blk-pci,drive=data \
        -append "console=$console quiet loglevel=3 panic=-1 kt.fs=$fs kt.run=$run${append_extra:+ $append_extra}" \
        >"$kdir/logs/$name.qemu.err" 2>&1 &
    local qpid=$! cut=no delay_ms= reached=no
    while kill -0 "$qpid" 2>/dev/null; do
        # A kernel that does not boot is known long before the boot's limit.
        if [ "$reached" = no ]; then
            if grep -qa '^KT NOTE boot' "$log" 2>/dev/null; then
                reached=yes
            elif [ $((SECONDS - start)) -ge "$INIT_LIMIT" ]; then
                kill -KILL "$(cat "$kdir/logs/$name.pid" 2>/dev/null)" 2>/dev/null || kill -KILL "$qpid"
                break
            fi
        fi
        if [ "$cut" = no ] && grep -qa '^KT CUT' "$log" 2>/dev/null; then
            cut=yes
            if [ -n "$cutseed" ]; then
                RANDOM=$cutseed
                delay_ms=$((RANDOM % 7500 + 100))
                sleep "$((delay_ms / 1000)).$(printf %03d $((delay_ms % 1000)))"
            fi
            # The power cut: qemu itself dies at once (not its time limit).
            kill -KILL "$(cat "$kdir/logs/$name.pid")" 2>/dev/null || true
            break
        fi
        sleep 0.2
    done
    wait "$qpid" 2>/dev/null || true
    local took=$((SECONDS - start))
    if ! grep -qa '^KT NOTE boot' "$log" 2>/dev/null; then
        echo "kernel-test: $arch guest did not reach its init in ${took}s (console: $log$([ -s "$kdir/logs/$name.qemu.err" ] && echo "; qemu: $(head -1 "$kdir/logs/$name.qemu.err")"))" >&2
        exit 1
    fi
    local sc line
    for sc in $(echo "$run" | tr , ' '); do
        line=$(grep -a -m1 "^KT \(PASS\|FAIL\) $sc\b" "$log" | tr -d '\r' || true)
        if [ -z "$line" ]; then
            if [ "$cut" = yes ] && grep -qa "^KT CUT $sc" "$log"; then
                continue
            fi
            result FAIL "FAIL $arch $sc: no result (boot $name ended after ${took}s; console: $log)"
        elif [ "${line#KT PASS}" != "$line" ]; then
            result PASS "PASS $arch ${line#KT PASS }"
        else
            result FAIL "FAIL $arch ${line#KT FAIL } (console: $log)"
        fi
    done
    if [ "$cut" = yes ]; then
        echo "  $arch $name: power cut${delay_ms:+ ${delay_ms} ms after the hold began heartbeating (seed $cutseed)}, ${took}s"
    elif ! grep -qa '^KT DONE' "$log"; then
        echo "kernel-test: $arch guest hung: boot $name did not finish within ${limit}s (console: $log)" >&2
        exit 1
    else
        echo "  $arch $name: ${took}s"
    fi
}

new_disk() { # PATH FS
    rm -f "$1"
    truncate -s 256M "$1"
    case "$2" in
        ext4) mkfs.ext4 -q -F "$1" ;;
        f2fs) mkfs.f2fs -q -f "$1" >/dev/null ;;
    esac
}

# want NAME...: the names that pass the filter, comma-separated.
want() {
    local out= n base
    for n in "$@"; do
        base=${n%%-*}
        if echo "$base" | grep -Eq -- "$filter" || echo "$n" | grep -Eqx -- "$filter"; then
            out=${out:+$out,}$n
        fi
    done
    echo "$out"
}

cutno=0

# chain ARCH FS FIRST SECOND: a fresh disk with FS; its first boot runs the
# scenarios FIRST (comma-separated) and ends in a hard power-off while a
# hold runs (the reboot scenario); the second runs the reboot's check and
# SECOND; then each further boot checks the records the cut before left and
# is cut itself at a random moment of a heartbeating hold.
chain() {
    local arch=$1 fs=$2 first=$3 second=$4 kdir=$cache/$1
    local disk=$kdir/data-$fs.img run boot_no=1 i ncuts=$cuts
    new_disk "$disk" "$fs"
    [ -n "$(want cut)" ] || ncuts=0
    run=$(want ${first//,/ } reboot-arm)
    [ -z "$run" ] || boot "$arch" "$fs-$boot_no" "$disk" "$fs" "$run" || true
    boot_no=$((boot_no + 1))
    local after=$(want reboot-check ${second//,/ })
    for ((i = 1; i <= ncuts; i++)); do
        cutno=$((cutno + 1))
        run=$after
        [ $i -eq 1 ] || run=cut-check
        run=${run:+$run,}cut-hold
        echo "  $arch $fs: cut $i of $ncuts, seed $((seed + cutno))"
        boot "$arch" "$fs-$boot_no" "$disk" "$fs" "$run" "$((seed + cutno))" || true
        boot_no=$((boot_no + 1))
        after=
    done
    run=$after
    [ "$ncuts" -eq 0 ] || run=cut-check
    [ -z "$run" ] || boot "$arch" "$fs-$boot_no" "$disk" "$fs" "$run" || true
}

if [ "$prepare_only" = 1 ]; then
    for arch in $arches; do
        prepare "$arch"
        initramfs "$arch"
    done
    echo "kernel-test: prepared $arches in $cache"
    exit 0
fi
echo "kernel-test: power-cut seeds from $seed, $cuts cut(s) per file system"
for arch in $arches; do
    arch_start=$SECONDS
    prepare "$arch"
    [ "$arch" != x86_64 ] || [ -z "$(want selinux selinux-rules selinux-manager)" ] || selinux_prepare "$arch"
    initramfs "$arch"
    echo "== $arch"
    chain "$arch" ext4 probe,hold,drivers,crash,outdoor,rebind,covered,package-install package-service,package-ash
    chain "$arch" f2fs hold ""
    # SELinux enforcing (the amd64 kernel has it, not as the default LSM):
    # the daemon in its own domain with the fragment as its only rules, then
    # each of the fragment's permissions left out in turn, in one boot.
    # Then the package's rule lines under each root manager's domain.
    run=$([ "$arch" != x86_64 ] || want selinux selinux-rules selinux-manager)
    if [ -n "$run" ]; then
        new_disk "$cache/$arch/data-selinux.img" ext4
        append_extra="security=selinux audit_backlog_limit=8192" \
            boot_limit=$((120 + 15 * $(wc -l <"$cache/$arch/selinux/rules") + 30 * $(cat "$cache/$arch/selinux/manager-runs" 2>/dev/null | wc -l))) \
            boot "$arch" selinux "$cache/$arch/data-selinux.img" ext4 "$run" || true
        sel_log=$cache/$arch/logs/selinux.log
        if [ -f "$sel_log" ]; then
            grep -a '^KT NOTE selinux\(-rules\)\?:' "$sel_log" | tr -d '\r' >"$cache/$arch/selinux-rules.txt" || true
            # What each root manager's policy allowed, in the run's output too.
            grep -a '^KT \(NOTE\|PASS\|FAIL\) selinux-manager' "$sel_log" | tr -d '\r' >"$cache/$arch/selinux-manager.txt" || true
            sed -n 's/^KT NOTE selinux-manager: /    /p' "$cache/$arch/selinux-manager.txt"
        fi
    fi
    echo "kernel-test: $arch took $((SECONDS - arch_start))s"
done
echo "kernel-test: ${SECONDS}s in all"
if [ "$failed" -gt 0 ]; then
    echo "kernel-test: failures:"
    printf '  %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
