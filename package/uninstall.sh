#!/system/bin/sh
# Run by the root manager when the module is removed; by hand, as root:
#   sh uninstall.sh [--purge]
# Stops the boot service and the outdoor daemon it started (each by the
# pid it recorded in this boot, never by name), puts back node permissions
# that a main-panel daemon may have left (veltarisd --recover), and
# removes the service's pid files. The private directory, with the service
# log and the outdoor health record, stays unless asked: --purge, or a file
# named purge-on-uninstall in the private directory, removes it as well,
# but not while a main-panel daemon runs (its lock and permission record
# are there). A main-panel daemon is the platform client's to stop.
# Exits 0 only when everything it had to stop is known to be stopped.

MODDIR=$(case "$0" in */*) cd "${0%/*}" && pwd ;; *) pwd ;; esac) || exit 1
. "$MODDIR/veltaris-lib.sh"
BIN=$MODDIR/system/bin

purge=0
[ "$1" = "--purge" ] && purge=1
[ -f "$VELTARIS_PRIVATE/purge-on-uninstall" ] && purge=1

[ -d "$VELTARIS_PRIVATE" ] || exit 0

failed=0
# The supervisor first, so that it restarts nothing (and while it cannot
# be stopped, its daemon is left alone: it would only be restarted). While
# nobody holds the service lock no supervisor runs, whatever its pid file
# says.
veltaris_lock_held "$VELTARIS_SERVICE_LOCK"
case $? in
    0) veltaris_stop_pid_file "$VELTARIS_SERVICE_PID" || failed=1 ;;
    1) rm -f "$VELTARIS_SERVICE_PID" ;;
    *)
        echo "! veltaris: cannot tell whether the service runs ($VELTARIS_SERVICE_LOCK)" >&2
        failed=1
        ;;
esac
if [ "$failed" -eq 0 ] && veltaris_lock_held "$VELTARIS_SERVICE_LOCK"; then
    echo "! veltaris: the service still runs: it holds $VELTARIS_SERVICE_LOCK but its pid file names no one" >&2
    failed=1
fi
if [ "$failed" -eq 0 ]; then
    veltaris_stop_pid_file "$VELTARIS_OUTDOOR_PID" || failed=1
fi
recover_output=$("$BIN/veltarisd" --recover 2>&1)
recover_status=$?
veltaris_log "uninstall: recover exit $recover_status${recover_output:+: $recover_output}"

if [ "$failed" -ne 0 ]; then
    veltaris_log "uninstall: failed: what the service started may still run"
    exit 1
fi
if [ "$purge" -eq 1 ]; then
    veltaris_lock_held "$VELTARIS_MAIN_PANEL_LOCK"
    case $? in
        1)
            rm -rf "$VELTARIS_PRIVATE"
            exit 0
            ;;
        0) why="a main-panel daemon runs (it holds $VELTARIS_MAIN_PANEL_LOCK)" ;;
        *) why="cannot tell whether a main-panel daemon runs" ;;
    esac
    echo "! veltaris: $why: $VELTARIS_PRIVATE kept; run uninstall.sh --purge again once it has ended" >&2
    veltaris_log "uninstall: not purged: $why"
    exit 1
fi
veltaris_log "uninstall: done; this log and the outdoor health record stay in $VELTARIS_PRIVATE"
exit 0
