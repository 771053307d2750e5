#!/system/bin/sh
# Install script of the veltaris module. Every root manager unpacks the
# zip into the module's new folder and sources this script with MODPATH
# set and its own ui_print, abort and set_perm, in its busybox's ash: one
# (manager A) through META-INF/com/google/android/update-binary and its
# installer functions, the kernel-based ones (B, C) with their own
# installer, which never runs update-binary. By hand, as root, from the
# unpacked folder:
#   sh customize.sh
# It picks the binaries for the device's ABI, puts them in system/bin with
# their SELinux label, adds the policy rule for the installer's own root
# domain when sepolicy.rule lacks it, and makes sure the daemon's private
# directory exists, root-only. Of what the installer provides it uses
# only those three functions (each with a stand-in here when run by hand)
# and MODPATH.

if [ -z "$MODPATH" ]; then
    MODPATH=$(case "$0" in */*) cd "${0%/*}" && pwd ;; *) pwd ;; esac) || exit 1
fi
command -v ui_print >/dev/null 2>&1 || ui_print() { printf '%s\n' "$1"; }
command -v abort >/dev/null 2>&1 || abort() {
    printf '%s\n' "$1" >&2
    exit 1
}
# The installer's helper takes: file owner group mode [context]. By hand,
# the label is set with chcon where SELinux is on.
command -v set_perm >/dev/null 2>&1 || set_perm() {
    chown "$2:$3" "$1" && chmod "$4" "$1" || return 1
    [ -z "$5" ] || [ ! -d /sys/fs/selinux ] || chcon "$5" "$1"
}

[ "$(id -u)" = 0 ] || abort "! veltaris: the installer must run as root"
. "$MODPATH/veltaris-lib.sh" || abort "! veltaris: $MODPATH/veltaris-lib.sh is missing (an incomplete package?)"

veltaris_abi=$(getprop ro.product.cpu.abi)
case "$veltaris_abi" in
    arm64-v8a | armeabi-v7a | x86_64) ;;
    *) abort "! veltaris: unsupported ABI '$veltaris_abi': this package holds arm64-v8a, armeabi-v7a and x86_64 builds only" ;;
esac
[ -f "$MODPATH/bin/$veltaris_abi/veltarisd" ] && [ -f "$MODPATH/bin/$veltaris_abi/veltarisctl" ] ||
    abort "! veltaris: $MODPATH/bin/$veltaris_abi/ lacks the binaries (an incomplete package?)"

# The daemon never creates its private directory and refuses one that
# others can enter. An existing one is only ever tightened, never opened.
veltaris_ready=1
if [ -e "$VELTARIS_PRIVATE" ] && [ ! -d "$VELTARIS_PRIVATE" ]; then
    abort "! veltaris: $VELTARIS_PRIVATE exists and is not a directory; move it away and install again"
fi
if [ -d "$VELTARIS_PRIVATE" ]; then
    chmod go-rwx "$VELTARIS_PRIVATE" || abort "! veltaris: cannot remove group and other access from $VELTARIS_PRIVATE"
    if [ "$(stat -c %u "$VELTARIS_PRIVATE")" != 0 ]; then
        ui_print "! veltaris: $VELTARIS_PRIVATE is not owned by root: the daemon will refuse it"
        veltaris_ready=0
    fi
else
    mkdir -p "$VELTARIS_PRIVATE" && chown 0:0 "$VELTARIS_PRIVATE" && chmod 0700 "$VELTARIS_PRIVATE" ||
        abort "! veltaris: cannot create $VELTARIS_PRIVATE"
fi
# An update: the installed version's folder, about to be replaced, may
# hold the outdoor-node file where earlier versions kept it.
[ "$veltaris_ready" -eq 0 ] || veltaris_adopt_node_file "$VELTARIS_MODULE"

mkdir -p "$MODPATH/system/bin" || abort "! veltaris: cannot create $MODPATH/system/bin"
for veltaris_file in veltarisd veltarisctl; do
    cp -f "$MODPATH/bin/$veltaris_abi/$veltaris_file" "$MODPATH/system/bin/$veltaris_file" &&
        set_perm "$MODPATH/system/bin/$veltaris_file" 0 0 0755 u:object_r:system_file:s0 ||
        abort "! veltaris: cannot install $veltaris_file"
done
rm -rf "${MODPATH:?}/bin"
for veltaris_file in service.sh uninstall.sh action.sh; do
    set_perm "$MODPATH/$veltaris_file" 0 0 0755 || abort "! veltaris: cannot set the mode of $veltaris_file"
done

# The platform's client connects to the daemon's socket, which needs a
# rule naming the domain root runs in. sepolicy.rule names the domains the
# managers are known to use; the one this installer runs in is added when
# it is another, and is a plain type name.
if veltaris_installer_domain &&
    ! grep -qxF "allow system_server $veltaris_domain unix_stream_socket connectto" "$MODPATH/sepolicy.rule"; then
    printf '%s\n' "# The root domain of the manager that installed this module:" \
        "allow system_server $veltaris_domain unix_stream_socket connectto" \
        "allow system_app $veltaris_domain unix_stream_socket connectto" >> "$MODPATH/sepolicy.rule" ||
        abort "! veltaris: cannot add the rule for domain $veltaris_domain to sepolicy.rule"
    ui_print "- veltaris: root runs in domain $veltaris_domain here: its rule was added to sepolicy.rule"
fi

if [ "$veltaris_ready" -eq 1 ]; then
    ui_print "- veltaris: installed the $veltaris_abi binaries; private directory $VELTARIS_PRIVATE ready"
else
    ui_print "- veltaris: installed the $veltaris_abi binaries; the daemon cannot run until $VELTARIS_PRIVATE is owned by root"
fi
# The module's system/ is on PATH only where the manager mounts it (not
# under every manager), so the commands name the binaries by full path.
ui_print "- veltaris: the binaries are $VELTARIS_MODULE/system/bin/veltarisd and $VELTARIS_MODULE/system/bin/veltarisctl (by this full path: they may not be on PATH)"
ui_print "- veltaris: after a reboot, check the device with: su -c $VELTARIS_MODULE/system/bin/veltarisctl probe"
