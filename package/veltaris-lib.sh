# Shared by the module's scripts: the private directory, the service log,
# the pid files and the service lock. Sourced, never run; POSIX sh, as both
# shells that run it take it: the device's mksh (by hand) and busybox's ash
# (the root managers run every module script with `busybox sh`, their
# applets before PATH). Only builtins, getprop and applets, with options,
# that every Android toybox and the managers' busybox have (id, cp, mv, rm,
# mkdir, chmod, chown, chcon, stat, wc, date, grep, od, sleep, flock): their
# busybox is built without the extras of desktop builds (no grep -z).
# Data goes out with printf '%s\n', never echo: mksh's echo takes
# backslashes as escapes (and \c ends the line there).

# shellcheck disable=SC2034 # read by the scripts that source this file
VELTARIS_PRIVATE=/data/adb/tavorin_module_workspace
# The module folder of the installed version (the module id is veltaris).
VELTARIS_MODULE=/data/adb/modules/veltaris
# Outdoor mode prints nothing by design, so the service keeps the trace:
# one line per event, rotated to .old past VELTARIS_LOG_MAX bytes, so at
# most twice that stays on the device.
VELTARIS_LOG=$VELTARIS_PRIVATE/service.log
VELTARIS_LOG_MAX=16384
VELTARIS_SERVICE_PID=$VELTARIS_PRIVATE/service.pid
VELTARIS_OUTDOOR_PID=$VELTARIS_PRIVATE/outdoor.pid
# Held by the boot service's supervisor for its whole life: one service.
VELTARIS_SERVICE_LOCK=$VELTARIS_PRIVATE/service.lock
VELTARIS_MAIN_PANEL_LOCK=$VELTARIS_PRIVATE/main-panel.lock
# Where a main-panel daemon keeps the node's bits while it holds the node.
VELTARIS_PERMISSION_RECORD=$VELTARIS_PRIVATE/main-panel-permissions
# The main-panel daemon's health record, the one file a daemon writes
# outside the private directory (through a sibling named .new).
VELTARIS_MAIN_PANEL_HEALTH=/data/system/veltaris-main-panel-health
# The node for outdoor mode when probe cannot choose one. It lives in the
# private directory: an update of the module replaces the module folder.
VELTARIS_NODE_FILE=$VELTARIS_PRIVATE/outdoor-node
VELTARIS_BOOT_ID=/proc/sys/kernel/random/boot_id
# Seconds a stopped process gets to end before SIGKILL. The service and its
# daemon are stopped one after the other, each at most this and a second
# more, so the whole stop takes at most the 10 s the managers' module guides
# give a blocking boot-stage script.
VELTARIS_STOP_WAIT=4

# Rotation happens under a lock, so that two writers that find the log full
# at once rotate it once and the history survives in .old.
veltaris_log() {
    {
        flock 8
        if [ -f "$VELTARIS_LOG" ]; then
            veltaris_size=$(wc -c < "$VELTARIS_LOG" 2>/dev/null)
            if [ "$((veltaris_size + 0))" -gt "$VELTARIS_LOG_MAX" ]; then
                mv -f "$VELTARIS_LOG" "$VELTARIS_LOG.old"
            fi
        fi
        printf '%s\n' "$(date '+%Y-%m-%d %H:%M:%S') $*" >> "$VELTARIS_LOG"
    } 8>> "$VELTARIS_LOG.lock"
}

# Seconds since boot: the wall clock jumps when the network time arrives.
veltaris_uptime() {
    read -r veltaris_up veltaris_idle < /proc/uptime && printf '%s\n' "${veltaris_up%%.*}"
}

# Records pid $2 in pid file $1 with this boot's identity and the words its
# command line holds ($3...): at the next boot the pid is someone else's.
veltaris_write_pid() {
    veltaris_file=$1
    veltaris_pid=$2
    shift 2
    read -r veltaris_boot < "$VELTARIS_BOOT_ID" && [ -n "$veltaris_boot" ] || return 1
    printf '%s\n' "$veltaris_pid $veltaris_boot" "$@" > "$veltaris_file.new" &&
        mv -f "$veltaris_file.new" "$veltaris_file"
}

# Whether the process recorded in pid file $1 runs: 0 yes; 1 no (no file,
# a file of another boot or of an earlier version, this very shell, a pid
# that is gone, or one whose command line lacks a recorded word); 2 cannot
# tell. Words are compared whole, never as patterns. Sets veltaris_pid and
# veltaris_words (the first word).
veltaris_pid_runs() {
    veltaris_pid=
    [ -f "$1" ] || return 1
    read -r veltaris_now < "$VELTARIS_BOOT_ID" && [ -n "$veltaris_now" ] || return 2
    veltaris_line=0
    veltaris_words=
    while IFS= read -r veltaris_word; do
        veltaris_line=$((veltaris_line + 1))
        if [ "$veltaris_line" -eq 1 ]; then
            veltaris_boot=${veltaris_word#* }
            veltaris_pid=${veltaris_word%% *}
            [ "$veltaris_boot" = "$veltaris_now" ] || return 1
            case "$veltaris_pid" in '' | *[!0-9]*) return 1 ;; esac
            [ "$veltaris_pid" -ne $$ ] || return 1
        else
            [ -n "$veltaris_words" ] || veltaris_words=$veltaris_word
            veltaris_has_word "$veltaris_pid" "$veltaris_word" || return $?
        fi
    done < "$1"
    [ -n "$veltaris_words" ]
}

# Whether /proc/$1/cmdline holds the word $2: 0 yes, 1 no or gone, 2 cannot
# tell (the process is there but its command line cannot be read).
veltaris_has_word() {
    [ -d "/proc/$1" ] || return 1
    [ -r "/proc/$1/cmdline" ] || return 2
    # The arguments end in NULs, which no shell variable holds and no POSIX
    # read splits at; the managers' busybox has no grep -z and not every
    # toybox has tr. Both have od: the command line and the word become
    # hex bytes, and the word's bytes must stand between two NULs of the
    # command line (one put before its first argument): whole and literal.
    veltaris_cmdline_hex=$(od -A n -t x1 -v < "/proc/$1/cmdline" 2>/dev/null) || {
        # Unreadable: gone in between, or really unreadable.
        [ -d "/proc/$1" ] || return 1
        return 2
    }
    veltaris_word_hex=$(printf '%s' "$2" | od -A n -t x1 -v) || return 2
    # One space before each byte, however od's build lays out its lines.
    # shellcheck disable=SC2086 # split into bytes on purpose
    [ -z "$veltaris_cmdline_hex" ] || veltaris_cmdline_hex=$(printf ' %s' $veltaris_cmdline_hex)
    # shellcheck disable=SC2086
    [ -z "$veltaris_word_hex" ] || veltaris_word_hex=$(printf ' %s' $veltaris_word_hex)
    case " 00$veltaris_cmdline_hex " in
        *" 00$veltaris_word_hex 00 "*) return 0 ;;
    esac
    return 1
}

# Whether a process holds the flock on file $1: 0 yes, 1 no, 2 cannot tell.
veltaris_lock_held() {
    [ -f "$1" ] || return 1
    { flock -n 8; veltaris_locked=$?; } 8< "$1" || return 2
    case "$veltaris_locked" in
        0) return 1 ;;
        1) return 0 ;;
        *) return 2 ;;
    esac
}

# Stops the process recorded in pid file $1 (see veltaris_pid_runs):
# SIGTERM, up to VELTARIS_STOP_WAIT s to end, then SIGKILL. Only that pid is ever
# signalled, and it counts as ended once its command line has lost the
# recorded word (gone, or a zombie), whatever the file says by then.
# 0 when it no longer runs, else 1 (with the reason on standard error and
# in the log).
veltaris_stop_pid_file() {
    veltaris_pid_runs "$1"
    veltaris_state=$?
    if [ "$veltaris_state" -eq 0 ]; then
        veltaris_target=$veltaris_pid
        veltaris_mark=$veltaris_words
        kill -TERM "$veltaris_target" 2>/dev/null
        veltaris_waited=0
        while veltaris_has_word "$veltaris_target" "$veltaris_mark" && [ "$veltaris_waited" -lt "$VELTARIS_STOP_WAIT" ]; do
            sleep 1
            veltaris_waited=$((veltaris_waited + 1))
        done
        if veltaris_has_word "$veltaris_target" "$veltaris_mark"; then
            kill -KILL "$veltaris_target" 2>/dev/null
            veltaris_log "uninstall: pid $veltaris_target ignored SIGTERM for $VELTARIS_STOP_WAIT s; killed"
            sleep 1
        fi
        veltaris_has_word "$veltaris_target" "$veltaris_mark"
        case $? in
            0) veltaris_state=3 ;;
            1) veltaris_state=1 ;;
            *) veltaris_state=2 ;;
        esac
    fi
    case "$veltaris_state" in
        1)
            rm -f "$1"
            return 0
            ;;
        2) veltaris_why="cannot tell whether the process of $1 runs" ;;
        *) veltaris_why="pid $veltaris_target of $1 still runs after SIGKILL" ;;
    esac
    printf '%s\n' "! veltaris: $veltaris_why" >&2
    veltaris_log "uninstall: $veltaris_why"
    return 1
}

# Moves an outdoor-node file an earlier version kept in folder $1 into the
# private directory, unless one is there already.
veltaris_adopt_node_file() {
    [ -f "$1/outdoor-node" ] || return 0
    [ -f "$VELTARIS_NODE_FILE" ] || mv -f "$1/outdoor-node" "$VELTARIS_NODE_FILE"
}

# The first line of the outdoor-node file without the white space around
# it, a trailing CR (a file written on another system) included.
veltaris_read_node_file() {
    IFS= read -r veltaris_node < "$VELTARIS_NODE_FILE" || [ -n "$veltaris_node" ] || return 1
    while :; do
        case "$veltaris_node" in
            [[:space:]]*) veltaris_node=${veltaris_node#?} ;;
            *[[:space:]]) veltaris_node=${veltaris_node%?} ;;
            *) break ;;
        esac
    done
    printf '%s\n' "$veltaris_node"
}

# The SELinux type of this shell's own domain in veltaris_domain ("magisk"
# for u:r:magisk:s0), when it has one made of a-z, 0-9 and _ alone: 0, else
# 1. The shell reads it itself, with no command substitution or tool: a
# process of their own could run in another domain (a tool's exec may
# change it), and the domain wanted is the one of the installer's shell.
veltaris_installer_domain() {
    veltaris_domain=
    veltaris_context=
    { IFS= read -r veltaris_context < /proc/self/attr/current; } 2>/dev/null
    case "$veltaris_context" in
        u:r:?*:?*) ;;
        *) return 1 ;;
    esac
    veltaris_domain=${veltaris_context#u:r:}
    veltaris_domain=${veltaris_domain%%:*}
    case "$veltaris_domain" in
        '' | *[!abcdefghijklmnopqrstuvwxyz0123456789_]*)
            veltaris_domain=
            return 1
            ;;
    esac
}
