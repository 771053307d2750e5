#!/system/bin/sh
# Install script of the veltaris module. Every root manager unpacks the
# zip into the module's new folder and sources this script with MODPATH
# set and its own ui_print, abort and set_perm, in its busybox's ash: one
# (manager A) through META-INF/com/google/android/update-binary and its
# installer functions, the kernel-based ones (B, C) with their own
# installer, which never runs update-binary. By hand, as root, from the
# unpacked folder:
#   sh customize.sh
# It picks the binaries for the device's ABI, puts them in bin/ of the
# module folder with their SELinux label, adds the policy rule for the installer's own root
# domain when sepolicy.rule lacks it, and makes sure the daemon's private
# directory exists, root-only. Of what the installer provides it uses
# only those three functions (each with a stand-in here when run by hand),
# MODPATH and BOOTMODE.

veltaris_by_hand=0
if [ -z "$MODPATH" ]; then
    veltaris_by_hand=1
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
# From recovery the install would not be whole: A loads a module's rules at
# boot only from the copy its installer makes in a running system, so the
# control socket stays closed to the platform until the module is toggled;
# B and C install nothing from recovery at all.
if [ "$veltaris_by_hand" -eq 0 ] && [ "$BOOTMODE" != true ]; then
    abort "! veltaris: install this zip from the root manager's app in a running system, not from recovery"
fi
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

# The binaries stay in the module folder's own bin/, which no manager
# mounts and no metamodule moves: under B and C the folder's system/ is
# mounted (or moved away) only by a metamodule, so nothing may depend on it.
for veltaris_file in veltarisd veltarisctl; do
    cp -f "$MODPATH/bin/$veltaris_abi/$veltaris_file" "$MODPATH/bin/$veltaris_file" &&
        set_perm "$MODPATH/bin/$veltaris_file" 0 0 0755 u:object_r:system_file:s0 ||
        abort "! veltaris: cannot install $veltaris_file"
done
for veltaris_file in "$MODPATH"/bin/*/; do
    rm -rf "$veltaris_file" || abort "! veltaris: cannot remove $veltaris_file"
done
for veltaris_file in service.sh uninstall.sh action.sh; do
    set_perm "$MODPATH/$veltaris_file" 0 0 0755 || abort "! veltaris: cannot set the mode of $veltaris_file"
done

# Whether type $1 may be a root manager's domain: not one of the
# platform's own, in which an install by hand or from recovery runs.
veltaris_manager_domain() {
    case "$1" in
        recovery | shell | adbd | init | vendor_init | kernel | system_server | system_app | untrusted_app*) return 1 ;;
    esac
}

# The platform's client connects to the daemon's socket, which needs a
# rule naming the domain root runs in. sepolicy.rule names the domains the
# managers are known to use; the one this installer runs in is added when
# it is another, is a plain type name, and is a root manager's: never one
# of the platform's own (recovery, an adb or init shell by hand), which
# the service never runs in and which no client may reach.
if veltaris_installer_domain && veltaris_manager_domain "$veltaris_domain" &&
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
# Nothing of the module is on PATH, so the commands name the binaries by
# full path.
ui_print "- veltaris: the binaries are $VELTARIS_MODULE/bin/veltarisd and $VELTARIS_MODULE/bin/veltarisctl (by this full path: they are not on PATH)"
ui_print "- veltaris: after a reboot, check the device with: su -c $VELTARIS_MODULE/bin/veltarisctl probe"
