#!/system/bin/sh
# Run by the root manager when the module is removed, with no arguments:
# usually at the next boot, in its post-fs-data stage, before any
# service.sh (so nothing of this module runs yet); but a manager that is
# itself uninstalled runs it in the running boot, with everything running,
# and deletes the module folder right after, whatever this script's
# status, and no later boot runs it again. By hand, as root:
#   sh uninstall.sh [--purge]
# Stops the boot service (which stops its module watcher) and the outdoor
# daemon it started (each by the pid it recorded in this boot, never by
# name), asks a running main-panel daemon to end its hold (STOP through
# the control socket: its release puts the node's bits back), stops what
# else still runs one of the module's binaries (a lease holder the owner
# started from this folder, say; found by the executable file itself,
# never by name), puts back node permissions that a main-panel daemon may
# have left (veltarisd --recover), and then removes what the module left
# on the device: the private directory (the
# service log, the outdoor health record, the permission record once
# --recover has had its chance, the outdoor-node file, pid files and
# locks) and the main-panel health record in /data/system with its .new
# sibling. A file named keep-on-uninstall in the private directory keeps
# all of that (only the pid files go); --purge, or a file named
# purge-on-uninstall there, removes it even then. Nothing is removed while
# a main-panel daemon still runs after STOP (its lock and permission record
# are in the private directory): exit 1, and run it again once that daemon
# has ended.
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
# A supervisor on its way out (its watcher stopped it: the manager marked
# the module for removal first) removes its pid file before it lets go of
# the lock: up to 10 s for that.
waited=0
while [ "$failed" -eq 0 ] && [ "$waited" -lt 10 ] && veltaris_lock_held "$VELTARIS_SERVICE_LOCK"; do
    sleep 1
    waited=$((waited + 1))
done
if [ "$failed" -eq 0 ] && veltaris_lock_held "$VELTARIS_SERVICE_LOCK"; then
    printf '%s\n' "! veltaris: the service still runs: it holds $VELTARIS_SERVICE_LOCK but its pid file names no one" >&2
    failed=1
fi
if [ "$failed" -eq 0 ]; then
    veltaris_stop_pid_file "$VELTARIS_OUTDOOR_PID" || failed=1
fi

# The owner's hold ends as its owner would end it (release: the daemon
# gives the bits back, the keeper and its lease go); what is left of it
# ends below like any other hold.
if [ -f "$VELTARIS_PRIVATE/owner-hold.pid" ]; then
    release_reply=$("$BIN/veltarisctl" release 2>&1)
    veltaris_log "uninstall: the owner's hold: exit $?${release_reply:+: $release_reply}"
fi

# A main-panel daemon is the platform client's, but its binary goes with
# the module: STOP ends its hold (the release gives the node's bits back)
# and the daemon. One that does not answer, or still holds its lock after
# 10 s, keeps the private directory below, and says so, unless it runs the
# module's own binary and ends on the SIGTERM that follows.
if veltaris_lock_held "$VELTARIS_MAIN_PANEL_LOCK"; then
    stop_reply=$("$BIN/veltarisctl" stop 2>&1)
    stop_status=$?
    veltaris_log "uninstall: STOP to the main-panel daemon: exit $stop_status${stop_reply:+: $stop_reply}"
    if [ "$stop_status" -eq 0 ]; then
        printf '%s\n' "- veltaris: STOP to the main-panel daemon: $stop_reply"
    else
        printf '%s\n' "! veltaris: the main-panel daemon did not end its hold on STOP (veltarisctl exit $stop_status: $stop_reply)" >&2
    fi
    # 0 or 1: it answered, and ends after its reply either way.
    waited=0
    while [ "$stop_status" -le 1 ] && [ "$waited" -lt 10 ] && veltaris_lock_held "$VELTARIS_MAIN_PANEL_LOCK"; do
        sleep 1
        waited=$((waited + 1))
    done
fi

# Whatever else runs the module's own binaries: what the owner started
# from this folder by hand (a lease holder, a daemon), a watcher whose
# service is gone. The executable is compared as a file (device and
# inode), so no other program, and no other copy, is ever signalled;
# SIGTERM (a daemon that holds the node gives its bits back on it), up to
# 10 s, then SIGKILL (a crashed hold's bits come back with --recover).
# Sets veltaris_running to the pids found, returns 1 when there is none.
module_binaries_running() {
    veltaris_running=
    for veltaris_proc in /proc/[0-9]*; do
        [ "${veltaris_proc#/proc/}" != "$$" ] || continue
        for veltaris_file in veltarisd veltarisctl; do
            # shellcheck disable=SC3013 # both shells that run it have -ef
            if [ "$veltaris_proc/exe" -ef "$BIN/$veltaris_file" ]; then
                veltaris_running="$veltaris_running ${veltaris_proc#/proc/}"
            fi
        done
    done 2>/dev/null
    [ -n "$veltaris_running" ]
}
# Not while the service may still run: it would restart its daemon.
if [ "$failed" -eq 0 ] && module_binaries_running; then
    veltaris_log "uninstall: SIGTERM to what still runs the module's binaries:$veltaris_running"
    # shellcheck disable=SC2086 # one pid a word
    kill -TERM $veltaris_running 2>/dev/null
    waited=0
    while [ "$waited" -lt 10 ] && module_binaries_running; do
        sleep 1
        waited=$((waited + 1))
    done
    if module_binaries_running; then
        veltaris_log "uninstall: pids$veltaris_running ignored SIGTERM for 10 s; killed"
        # shellcheck disable=SC2086
        kill -KILL $veltaris_running 2>/dev/null
        sleep 1
    fi
    if module_binaries_running; then
        printf '%s\n' "! veltaris: pids$veltaris_running still run the module's binaries after SIGKILL" >&2
        veltaris_log "uninstall: pids$veltaris_running still run the module's binaries after SIGKILL"
        failed=1
    fi
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
