#!/system/bin/sh
# Run by the root manager when the module is removed; by hand, as root:
#   sh uninstall.sh [--purge]
# Stops the boot service and the outdoor daemon it started (each by the
# pid it recorded, never by name), puts back node permissions that a
# main-panel daemon may have left (veltarisd --recover), and removes the
# service's pid files. The private directory, with the service log and
# the outdoor health record, stays unless asked: --purge, or a file named
# purge-on-uninstall in the private directory, removes it as well.
# A main-panel daemon is the platform client's to stop.

MODDIR=${0%/*}
. "$MODDIR/veltaris-lib.sh"
BIN=$MODDIR/system/bin

purge=0
[ "$1" = "--purge" ] && purge=1
[ -f "$VELTARIS_PRIVATE/purge-on-uninstall" ] && purge=1

[ -d "$VELTARIS_PRIVATE" ] || exit 0

veltaris_stop_pid_file "$VELTARIS_SERVICE_PID" service.sh
veltaris_stop_pid_file "$VELTARIS_OUTDOOR_PID" --outdoor
recover_output=$("$BIN/veltarisd" --recover 2>&1)
recover_status=$?
veltaris_log "uninstall: recover exit $recover_status${recover_output:+: $recover_output}"

if [ "$purge" -eq 1 ]; then
    rm -rf "$VELTARIS_PRIVATE"
else
    veltaris_log "uninstall: done; this log and the outdoor health record stay in $VELTARIS_PRIVATE"
fi
exit 0
