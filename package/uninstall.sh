#!/system/bin/sh
# Run by the root manager when the module is removed: at the next boot,
# in its post-fs-data stage, before any service.sh (so nothing of this
# module runs yet), and with no arguments. By hand, as root:
#   sh uninstall.sh [--purge]
# Stops the boot service and the outdoor daemon it started (each by the
# pid it recorded in this boot, never by name), puts back node permissions
# that a main-panel daemon may have left (veltarisd --recover), and then
# removes what the module left on the device: the private directory (the
# service log, the outdoor health record, the permission record once
# --recover has had its chance, the outdoor-node file, pid files and
# locks) and the main-panel health record in /data/system with its .new
# sibling. A file named keep-on-uninstall in the private directory keeps
# all of that (only the pid files go); --purge, or a file named
# purge-on-uninstall there, removes it even then. Nothing is removed while
# a main-panel daemon runs (its lock and permission record are in the
# private directory; it is the platform client's to stop): exit 1, and
# run it again once that daemon has ended.
# Exits 0 only when everything it had to stop is known to be stopped and
# everything it had to remove is gone.

MODDIR=$(case "$0" in */*) cd "${0%/*}" && pwd ;; *) pwd ;; esac) || exit 1
. "$MODDIR/veltaris-lib.sh"
BIN=$MODDIR/bin
umask 077

remove=1
[ -f "$VELTARIS_PRIVATE/keep-on-uninstall" ] && remove=0
[ "$1" = "--purge" ] && remove=1
[ -f "$VELTARIS_PRIVATE/purge-on-uninstall" ] && remove=1

# Without the private directory no daemon can run (each refuses to start
# without it); a health record an earlier one wrote may still be there.
if [ ! -d "$VELTARIS_PRIVATE" ]; then
    rm -f "$VELTARIS_MAIN_PANEL_HEALTH" "$VELTARIS_MAIN_PANEL_HEALTH.new"
    exit 0
fi

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
        printf '%s\n' "! veltaris: cannot tell whether the service runs ($VELTARIS_SERVICE_LOCK)" >&2
        failed=1
        ;;
esac
if [ "$failed" -eq 0 ] && veltaris_lock_held "$VELTARIS_SERVICE_LOCK"; then
    printf '%s\n' "! veltaris: the service still runs: it holds $VELTARIS_SERVICE_LOCK but its pid file names no one" >&2
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
if [ "$remove" -eq 0 ]; then
    veltaris_log "uninstall: done; kept $VELTARIS_PRIVATE and the main-panel health record (keep-on-uninstall)"
    printf '%s\n' "- veltaris: kept $VELTARIS_PRIVATE and the main-panel health record (keep-on-uninstall)"
    exit 0
fi
# Under the main-panel lock, so that no main-panel daemon starts while the
# directory with its lock and permission record goes. A permission record
# that --recover could neither apply nor discard still holds the node's
# bits: it stays.
lock_status=2
{
    flock -n 8
    lock_status=$?
    if [ "$lock_status" -eq 0 ]; then
        if [ "$recover_status" -ne 0 ] && [ -e "$VELTARIS_PERMISSION_RECORD" ]; then
            lock_status=4
        else
            rm -rf "$VELTARIS_PRIVATE" && rm -f "$VELTARIS_MAIN_PANEL_HEALTH" "$VELTARIS_MAIN_PANEL_HEALTH.new" ||
                lock_status=3
        fi
    fi
} 8>> "$VELTARIS_MAIN_PANEL_LOCK"
case "$lock_status" in
    0)
        printf '%s\n' "- veltaris: removed $VELTARIS_PRIVATE and the main-panel health record"
        exit 0
        ;;
    3)
        printf '%s\n' "! veltaris: cannot remove all of $VELTARIS_PRIVATE and the main-panel health record" >&2
        exit 1
        ;;
    1) why="a main-panel daemon runs (it holds $VELTARIS_MAIN_PANEL_LOCK)" ;;
    4) why="veltarisd --recover failed (exit $recover_status) and its record still holds the node's bits" ;;
    *) why="cannot tell whether a main-panel daemon runs (cannot lock $VELTARIS_MAIN_PANEL_LOCK)" ;;
esac
printf '%s\n' "! veltaris: $why: $VELTARIS_PRIVATE kept; run uninstall.sh again once that has changed" >&2
veltaris_log "uninstall: not removed: $why"
exit 1
