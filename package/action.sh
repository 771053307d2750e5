#!/system/bin/sh
# The root manager's action button for the veltaris module (by hand, as
# root: sh action.sh). A manager without the module's page has only this
# button, so it toggles the owner's hold: it releases the hold the owner
# started, or holds the main panel again at the last value held (at first,
# the value the panel shows); a platform client's hold is left alone. Then
# what veltarisctl probe and status say, in a few short lines for a
# phone's screen: the node, the daemons, outdoor mode, who holds the main
# panel, SELinux and whether the platform may reach the control socket.
# The binary is taken from the module folder's own bin/, which no manager
# mounts and no metamodule moves.

MODDIR=$(case "$0" in */*) cd "${0%/*}" && pwd ;; *) pwd ;; esac) || exit 1
BIN=$MODDIR/bin

"$BIN/veltarisctl" --version
"$BIN/veltarisctl" toggle || printf '%s\n' "! veltaris: the owner's hold did not change (exit $?)"
"$BIN/veltarisctl" probe --summary || printf '%s\n' "! veltaris: $BIN/veltarisctl probe failed (exit $?)"
printf '%s\n' "Full report: su -c $BIN/veltarisctl probe"
exit 0
