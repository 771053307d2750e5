#!/system/bin/sh
# Install script of the veltaris module. A root manager's installer
# sources it with MODPATH set to the module's new folder, into which the
# zip is already unpacked. By hand, as root, from the unpacked folder:
#   sh customize.sh
# It picks the binaries for the device's ABI, puts them in system/bin and
# makes sure the daemon's private directory exists, root-only.

veltaris_private=/data/adb/tavorin_module_workspace

[ -n "$MODPATH" ] || MODPATH=$(cd "${0%/*}" && pwd)
command -v ui_print >/dev/null 2>&1 || ui_print() { echo "$1"; }
command -v abort >/dev/null 2>&1 || abort() {
    echo "$1" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || abort "! veltaris: the installer must run as root"

veltaris_abi=$(getprop ro.product.cpu.abi)
case "$veltaris_abi" in
    arm64-v8a | armeabi-v7a) ;;
    *) abort "! veltaris: unsupported ABI '$veltaris_abi': this package holds arm64-v8a and armeabi-v7a builds only" ;;
esac
[ -f "$MODPATH/bin/$veltaris_abi/veltarisd" ] && [ -f "$MODPATH/bin/$veltaris_abi/veltarisctl" ] ||
    abort "! veltaris: $MODPATH/bin/$veltaris_abi/ lacks the binaries (an incomplete package?)"

# The daemon never creates its private directory and refuses one that
# others can enter. An existing one is only ever tightened, never opened.
if [ -e "$veltaris_private" ] && [ ! -d "$veltaris_private" ]; then
    abort "! veltaris: $veltaris_private exists and is not a directory; move it away and install again"
fi
if [ -d "$veltaris_private" ]; then
    chmod go-rwx "$veltaris_private" || abort "! veltaris: cannot remove group and other access from $veltaris_private"
    [ "$(stat -c %u "$veltaris_private")" = 0 ] ||
        ui_print "! veltaris: $veltaris_private is not owned by root: the daemon will refuse it"
else
    mkdir -p "$veltaris_private" && chown 0:0 "$veltaris_private" && chmod 0700 "$veltaris_private" ||
        abort "! veltaris: cannot create $veltaris_private"
fi

mkdir -p "$MODPATH/system/bin" || abort "! veltaris: cannot create $MODPATH/system/bin"
for veltaris_file in veltarisd veltarisctl; do
    cp -f "$MODPATH/bin/$veltaris_abi/$veltaris_file" "$MODPATH/system/bin/$veltaris_file" &&
        chown 0:0 "$MODPATH/system/bin/$veltaris_file" &&
        chmod 0755 "$MODPATH/system/bin/$veltaris_file" ||
        abort "! veltaris: cannot install $veltaris_file"
done
rm -rf "${MODPATH:?}/bin"
chmod 0755 "$MODPATH/service.sh" "$MODPATH/uninstall.sh"

ui_print "- veltaris: installed the $veltaris_abi binaries; private directory $veltaris_private ready"
ui_print "- veltaris: after a reboot, check the device with: veltarisctl probe"
