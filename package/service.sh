#!/system/bin/sh
# Late-start boot service of the veltaris module, run once per boot by the
# root manager (or by hand, as root: sh service.sh). It returns at once and
# leaves a supervisor running in the background that
#   1. puts back node permissions that a crashed main-panel daemon left
#      (veltarisd --recover);
#   2. chooses the node for outdoor mode: the path in the file outdoor-node
#      of the private directory when there is one (one in this folder, where
#      earlier versions kept it, is moved there), else what `veltarisctl
#      probe --choose` names;
#   3. runs outdoor mode on it and restarts it when it ends unasked, after
#      1 s, then 2, 4, ... up to 60 s between tries (back to 1 s after a
#      run of a minute or more). It does not restart on the exit statuses
#      that mean a setup problem, which another try would only repeat:
#      2 (not root, private directory unusable, or another outdoor daemon
#      holds its lock), 4 (node refused, or its maximum below 11) and 7
#      (cannot watch /data/system). Status 6 (setsid or the app-freezer
#      escape failed) is retried: cgroups may still be settling at boot.
# Starts, exits, statuses and decisions go to service.log in the private
# directory, since outdoor mode itself prints nothing. Main-panel mode is
# not started here: the platform's client starts it when it needs it.
# One service at a time: the supervisor holds an flock on service.lock in
# the private directory for its whole life (descriptor 9, which the
# processes it starts do not inherit).
# The root manager's side: a module the user disabled or marked for
# removal starts nothing, and a watcher (veltarisctl module-watch) stops
# the service when that happens while it runs, or when the module folder
# itself is deleted (a manager's removal in a running boot), and keeps the
# module's description current with outdoor mode's and the main panel's
# state.

MODDIR=$(case "$0" in */*) cd "${0%/*}" && pwd ;; *) pwd ;; esac) || exit 1
. "$MODDIR/veltaris-lib.sh"
BIN=$MODDIR/bin
umask 077

# What the module watcher prints (its reason for stopping the service, its
# wake-ups); logged once it has ended.
VELTARIS_WATCH_OUT=$VELTARIS_PRIVATE/module-watch.out

# Why the module must not run, from the flag files the root manager leaves
# in its folder; status 1 when it may.
module_stop_flag() {
    if [ -e "$MODDIR/disable" ]; then
        printf '%s\n' "the module is disabled ($MODDIR/disable)"
    elif [ -e "$MODDIR/remove" ]; then
        printf '%s\n' "the module is marked for removal ($MODDIR/remove)"
    else
        return 1
    fi
}

# Started by the supervisor ($self_pid, its parent, which it signals): it
# sleeps on inotify, ends with the supervisor, and must not inherit the
# lock on descriptor 9.
start_module_watch() {
    "$BIN/veltarisctl" module-watch "$MODDIR" --notify "$self_pid" \
        </dev/null >"$VELTARIS_WATCH_OUT" 2>&1 9>&- &
    watch_pid=$!
}

# Stops the watcher (its last act is the final description) and logs what
# it printed. A signal to the service may cut the first wait short.
stop_module_watch() {
    [ -n "$watch_pid" ] || return 0
    kill -TERM "$watch_pid" 2>/dev/null
    wait "$watch_pid" || wait "$watch_pid" 2>/dev/null
    watch_pid=
    while IFS= read -r watch_line; do
        veltaris_log "$watch_line"
    done < "$VELTARIS_WATCH_OUT"
    rm -f "$VELTARIS_WATCH_OUT"
}

# The domain the service runs in and whether the module's sepolicy rule is
# in force, as the kernel answers: a client that gets EACCES finds why here.
log_selinux() {
    veltaris_log "$("$BIN/veltarisctl" probe --selinux 2>&1 9>&-)"
}

# Without the private directory (the installer makes it) there is neither
# a daemon that could start nor a place for the log.
[ -d "$VELTARIS_PRIVATE" ] || exit 0

if stop_flag=$(module_stop_flag); then
    veltaris_log "service: not started: $stop_flag"
    exit 0
fi

exec 9>> "$VELTARIS_SERVICE_LOCK" || exit 1
# mksh opens descriptors above 2 close-on-exec: flock locks a copy (the
# lock belongs to the open file, which both share).
flock -n 8 8>&9
lock_status=$?
if [ "$lock_status" -eq 1 ]; then
    veltaris_log "service: already running (another holds $VELTARIS_SERVICE_LOCK)"
    exit 0
elif [ "$lock_status" -ne 0 ]; then
    veltaris_log "service: not started: cannot lock $VELTARIS_SERVICE_LOCK (flock exit $lock_status)"
    exit 1
fi

# Says why outdoor mode ended with status $1, and whether that is a setup
# problem (an empty answer means: try again).
setup_problem() {
    case "$1" in
        2) printf '%s\n' "not root, private directory unusable, or another outdoor daemon holds its lock" ;;
        4) printf '%s\n' "the daemon refuses the node, or its maximum is below 11" ;;
        7) printf '%s\n' "cannot watch /data/system" ;;
    esac
}

describe_status() {
    if [ "$1" -gt 128 ]; then
        printf '%s\n' "status $1 (killed by signal $(($1 - 128)))"
    else
        printf '%s\n' "status $1"
    fi
}

# The node for outdoor mode in $node: the owner's choice, or the probe's;
# status 1 (logged) when there is none.
choose_node() {
    if [ -f "$VELTARIS_NODE_FILE" ]; then
        node=$(veltaris_read_node_file)
        veltaris_log "node: $node (from $VELTARIS_NODE_FILE)"
        return 0
    fi
    node=$("$BIN/veltarisctl" probe --choose 2>&1 9>&-)
    probe_status=$?
    if [ "$probe_status" -ne 0 ]; then
        veltaris_log "gave up: no node for outdoor mode (probe exit $probe_status: $node); name one in $VELTARIS_NODE_FILE"
        return 1
    fi
    veltaris_log "node: $node (chosen by veltarisctl probe)"
}

# The owner's hold lives as long as the module runs: a module disabled,
# marked for removal or stopped ends it, with the node's bits back.
end_owner_hold() {
    [ -f "$VELTARIS_PRIVATE/owner-hold.pid" ] || return 0
    release_reply=$("$BIN/veltarisctl" release 2>&1 9>&-)
    veltaris_log "service: the owner's hold: exit $?${release_reply:+: $release_reply}"
}

supervise() {
    # The supervisor records its own pid (the read builtin opens
    # /proc/self in this very process), so a supervisor that gives up at
    # once cannot leave a pid file behind that its parent writes too late.
    # shellcheck disable=SC2034 # only the first field is wanted
    read -r self_pid self_rest < /proc/self/stat
    veltaris_write_pid "$VELTARIS_SERVICE_PID" "$self_pid" "$0" ||
        veltaris_log "service: cannot record pid $self_pid (boot identity unreadable)"
    stopping=0
    child=
    # Stopping the service stops outdoor mode first; the daemon puts the
    # node back to its base value on SIGTERM.
    trap 'stopping=1; [ -n "$child" ] && kill -TERM "$child" 2>/dev/null' TERM INT HUP
    start_module_watch

    veltaris_log "service: started ($("$BIN/veltarisd" --version 2>&1))"
    log_selinux
    recover_output=$("$BIN/veltarisd" --recover 2>&1 9>&-)
    recover_status=$?
    veltaris_log "recover: exit $recover_status${recover_output:+: $recover_output}"

    veltaris_adopt_node_file "$MODDIR"
    delay=1
    while [ "$stopping" -eq 0 ]; do
        # Chosen again at every start: the owner may name another node on
        # the module's page, which then ends the daemon on the old one.
        choose_node || break
        started=$(veltaris_uptime)
        "$BIN/veltarisd" --outdoor --node "$node" </dev/null >/dev/null 2>&1 9>&- &
        child=$!
        veltaris_write_pid "$VELTARIS_OUTDOOR_PID" "$child" --outdoor "$node"
        veltaris_log "outdoor: started pid $child"
        wait "$child"
        status=$?
        # A signal to the service interrupts the wait; the daemon's own
        # status comes with the next one, even when the shell has reaped it
        # already (kill -0 would say it is gone). 127: the first wait had it.
        if [ "$stopping" -eq 1 ]; then
            wait "$child"
            again=$?
            [ "$again" -eq 127 ] || status=$again
        fi
        pid=$child
        child=
        rm -f "$VELTARIS_OUTDOOR_PID"
        ran=$(($(veltaris_uptime) - started))
        ended="outdoor: pid $pid exited with $(describe_status "$status") after $ran s"
        if [ "$stopping" -eq 1 ]; then
            veltaris_log "$ended (service stopping)"
            break
        fi
        why=$(setup_problem "$status")
        if [ -n "$why" ]; then
            veltaris_log "$ended; gave up: $why (a setup problem, not restarted)"
            break
        fi
        [ "$ran" -ge 60 ] && delay=1
        veltaris_log "$ended; restart in $delay s"
        sleep "$delay" 9>&- &
        child=$!
        wait "$child"
        child=
        delay=$((delay * 2))
        [ "$delay" -gt 60 ] && delay=60
    done
    end_owner_hold
    stop_module_watch
    rm -f "$VELTARIS_SERVICE_PID"
    veltaris_log "service: stopped"
}

supervise </dev/null >/dev/null 2>&1 &
exit 0
