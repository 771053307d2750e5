#!/system/bin/sh
# The root manager's action button for the veltaris module (by hand, as
# root: sh action.sh): what veltarisctl probe and status say, in a few short
# lines for a phone's screen: the node outdoor mode uses, the daemons that
# run, outdoor mode's state, the main panel's hold (with what a main-panel
# daemon says of itself), SELinux and whether the platform may reach the
# control socket. Only reads. The binary is taken from the module folder's
# own bin/, which no manager mounts and no metamodule moves.

MODDIR=$(case "$0" in */*) cd "${0%/*}" && pwd ;; *) pwd ;; esac) || exit 1
BIN=$MODDIR/bin

"$BIN/veltarisctl" --version
"$BIN/veltarisctl" probe --summary || printf '%s\n' "! veltaris: $BIN/veltarisctl probe failed (exit $?)"
printf '%s\n' "Full report: su -c $BIN/veltarisctl probe"
exit 0
