# Shared by service.sh and uninstall.sh: the private directory, the service
# log and the pid files. Sourced, never run; POSIX sh as the device's
# shell (mksh) runs it, using only what toybox provides.

# shellcheck disable=SC2034 # read by the scripts that source this file
VELTARIS_PRIVATE=/data/adb/tavorin_module_workspace
# Outdoor mode prints nothing by design, so the service keeps the trace:
# one line per event, rotated to .old past VELTARIS_LOG_MAX bytes, so at
# most twice that stays on the device.
VELTARIS_LOG=$VELTARIS_PRIVATE/service.log
VELTARIS_LOG_MAX=16384
VELTARIS_SERVICE_PID=$VELTARIS_PRIVATE/service.pid
VELTARIS_OUTDOOR_PID=$VELTARIS_PRIVATE/outdoor.pid

veltaris_log() {
    if [ -f "$VELTARIS_LOG" ]; then
        veltaris_size=$(wc -c < "$VELTARIS_LOG" 2>/dev/null)
        if [ "$((veltaris_size + 0))" -gt "$VELTARIS_LOG_MAX" ]; then
            mv -f "$VELTARIS_LOG" "$VELTARIS_LOG.old"
        fi
    fi
    echo "$(date '+%Y-%m-%d %H:%M:%S') $*" >> "$VELTARIS_LOG"
}

# True when process $1 is alive and its command line holds $2: a pid file
# may outlive its process, and the pid may since belong to another one.
veltaris_pid_runs() {
    [ -n "$1" ] && [ -r "/proc/$1/cmdline" ] || return 1
    tr '\000' ' ' < "/proc/$1/cmdline" | grep -q -e "$2"
}

# Stops the process named by pid file $1 if it still runs a command line
# holding $2: SIGTERM, up to 10 s to end, then SIGKILL. Only that pid is
# ever signalled.
veltaris_stop_pid_file() {
    [ -f "$1" ] || return 0
    veltaris_pid=$(cat "$1" 2>/dev/null)
    if veltaris_pid_runs "$veltaris_pid" "$2"; then
        kill -TERM "$veltaris_pid" 2>/dev/null
        veltaris_waited=0
        while veltaris_pid_runs "$veltaris_pid" "$2" && [ "$veltaris_waited" -lt 10 ]; do
            sleep 1
            veltaris_waited=$((veltaris_waited + 1))
        done
        if veltaris_pid_runs "$veltaris_pid" "$2"; then
            kill -KILL "$veltaris_pid" 2>/dev/null
            veltaris_log "uninstall: pid $veltaris_pid ignored SIGTERM for 10 s; killed"
        fi
    fi
    rm -f "$1"
}
