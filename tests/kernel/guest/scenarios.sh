# The scenarios, sourced by the guest's init (busybox sh). kt_run NAME runs
# sc_NAME (dashes as underscores) in a subshell with its output in
# /tmp/kt-NAME.log and prints its one result line; a failing scenario's log
# follows on the console as "KT LOG" lines. Every scenario but the *-check
# ones starts from a clean state: no daemon, no records, the test module
# loaded afresh (new nodes, the kernel's own modes and values).

BL=/sys/class/backlight/panel0-backlight/brightness
LED=/sys/class/leds/lcd-backlight/brightness
PARAMS=/sys/module/veltaris_testdev/parameters
WS=/data/adb/tavorin_module_workspace
REC=$WS/main-panel-permissions
OHEALTH=$WS/outdoor-node-health.json
LEASE=/data/system/veltaris-main-panel-lease
HEALTH=/data/system/veltaris-main-panel-health
OLEASE=/data/system/veltaris-outdoor-node-lease
MODDIR=/data/adb/modules/veltaris
VD=/system/bin/veltarisd
VC=/system/bin/veltarisctl

kt_run() {
    KT_NAME=$1
    touch /tmp/kt-results
    (
        set -u
        case "$1" in
            *-check) ;;
            *) kt_clean ;;
        esac
        "sc_$(echo "$1" | tr - _)"
    ) >"/tmp/kt-$1.log" 2>&1 </dev/null
    if [ $? -ne 0 ] && ! grep -q "^KT FAIL $1" /tmp/kt-results; then
        echo "KT FAIL $1: ended without a result" >>/tmp/kt-results
        echo "KT FAIL $1: ended without a result"
    fi
    if grep -q "^KT FAIL $1" /tmp/kt-results; then
        sed 's/^/KT LOG /' "/tmp/kt-$1.log" | tail -40
    fi
}

# ---- reporting (inside a scenario) ----

pass() {
    pass_on "$@"
    exit 0
}
# The result line of a scenario that goes on (into a power cut).
pass_on() { echo "KT PASS $KT_NAME${1:+ $1}" | tee -a /tmp/kt-results >/dev/console; }
fail() {
    echo "KT FAIL $KT_NAME: $*" | tee -a /tmp/kt-results >/dev/console
    exit 1
}
note() { echo "KT NOTE $KT_NAME: $*" >/dev/console; }

# ---- helpers ----

track() { echo "$1" >>/tmp/kt-pids; }

kt_clean() {
    local f p rest
    for f in "$WS/service.pid" "$WS/outdoor.pid"; do
        [ -f "$f" ] && read -r p rest <"$f" && kill -9 "$p" 2>/dev/null
    done
    if [ -f /tmp/kt-pids ]; then
        for p in $(cat /tmp/kt-pids); do kill -9 "$p" 2>/dev/null; done
        rm -f /tmp/kt-pids
    fi
    sleep 0.2
    load_module
    rm -f "$REC" "$REC.tmp" "$OHEALTH" "$OHEALTH.new" "$WS/"*.log* "$WS/"*.pid "$WS/"*.lock
    rm -f "$LEASE" "$HEALTH" "$HEALTH.new" "$OLEASE" /data/system/.veltaris-*
}

# load_module [PARAMETER=VALUE...]: the test module afresh.
load_module() {
    rmmod veltaris_testdev 2>/dev/null
    insmod /kt/veltaris_testdev.ko "$@" || fail "insmod veltaris_testdev $*"
    wait_for 5 test -e "$BL" || fail "no $BL after insmod"
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s.
wait_for() {
    local n=$(($1 * 10))
    shift
    while [ $n -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

now_ms() {
    local up f
    read up _ </proc/uptime
    f=${up#*.}
    f=${f#0}
    echo $((${up%.*} * 1000 + f * 10))
}

mode_of() { stat -c %a "$1"; }
value_of() { cat "$1"; }
guarded() { [ $((0$(mode_of "$1") & 0222)) -eq 0 ]; }
is_value() { [ "$(cat "$1")" = "$2" ]; }
held() { is_value "$1" "$2" && guarded "$1"; }
# The HOLDING field of the main-panel health record.
health_holding() { set -- $(cat "$HEALTH" 2>/dev/null); echo "${2:-none}"; }

# write_as_root NODE VALUE: 0 when the kernel took the write; the error in
# /tmp/write.err otherwise.
write_as_root() { (echo "$2" >"$1") 2>/tmp/write.err; }

# A file a background process writes and a wait then reads is removed or
# emptied before the start: the child's own redirection empties it only
# once the new process runs, and until then a wait would read what an
# earlier start left there.

# start_lease SESSION TARGET: a lease holder (LPID) renewing SESSION's
# lease; returns once the lease file names SESSION. A lease left by an
# earlier hold, or by the boot before a power cut, names another session.
start_lease() {
    rm -f /tmp/lease.out
    $VC lease "$1" "$2" --hold >/tmp/lease.out 2>&1 &
    LPID=$!
    track $LPID
    wait_for 5 grep -q "^$1 " "$LEASE" 2>/dev/null || fail "no lease for $1: $(cat /tmp/lease.out)"
}

# stop_lease: the lease holder ended, its lease removed (it removes the
# file on SIGTERM, so one not yet gone could remove the next holder's).
stop_lease() {
    kill "$LPID"
    wait "$LPID"
}

# start_hold NODE SESSION TARGET: lease holder (LPID), daemon (DPID, stderr
# in /tmp/daemon.err), ARM and SET; fails the scenario when any step does.
start_hold() {
    start_lease "$2" "$3"
    start_daemon "$1"
    $VC arm "$2" "$LPID" >/tmp/arm.out 2>&1 || fail "arm: $(cat /tmp/arm.out) (daemon: $(daemon_exit 1; echo "exit $rc,"; cat /tmp/daemon.err))"
    $VC set "$2" "$3" >/tmp/set.out 2>&1 || fail "set: $(cat /tmp/set.out) (daemon: $(daemon_exit 1; echo "exit $rc,"; cat /tmp/daemon.err))"
}

start_daemon() {
    # Emptied here, not by the child's redirection: the wait below must not
    # read an earlier daemon's lines before the new one opens the file.
    : >/tmp/daemon.err
    $VD --daemon --node "$1" 2>>/tmp/daemon.err &
    DPID=$!
    track $DPID
    wait_for 30 grep -q 'NATIVE_READY\|NATIVE_START_FAIL' /tmp/daemon.err 2>/dev/null
    grep -q NATIVE_READY /tmp/daemon.err || fail "daemon not ready: $(cat /tmp/daemon.err)"
}

# exited PID: the process is gone or a zombie (not yet waited for).
exited() { [ ! -e "/proc/$1/stat" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null; }

# daemon_exit SECONDS [PID]: sets rc to the daemon's exit status (124 while
# it still runs). Not in a command substitution: only this shell can wait.
daemon_exit() {
    local p=${2:-$DPID}
    rc=124
    wait_for "$1" exited "$p" || return 0
    wait "$p"
    rc=$?
}

# ---- 1. probe ----

sc_probe() {
    # The x86 guest's keyboard LEDs come a moment after init: real decoys.
    if [ "$(uname -m)" = x86_64 ]; then
        wait_for 10 sh -c 'ls /sys/class/leds | grep -q "^input"' || note "no input LEDs appeared"
    fi
    $VC probe >/tmp/probe.out 2>&1 || fail "probe exit $? with one panel: $(cat /tmp/probe.out)"
    cat /tmp/probe.out
    [ "$($VC probe --choose)" = "$BL" ] || fail "probe --choose: $($VC probe --choose)"
    grep -q "^Main panel: $BL" /tmp/probe.out || fail "main panel not named"
    # Every decoy is refused with the rule it breaks.
    row() { grep -E "^ *(backlight|leds) +$1 " /tmp/probe.out; }
    row kbd_backlight | grep -q 'refused: deny word' || fail "kbd_backlight: $(row kbd_backlight)"
    row panel1-backlight | grep -q 'refused: numbered sibling' ||
        fail "panel1-backlight: $(row panel1-backlight)"
    local n=0 l
    for l in $(ls /sys/class/leds | grep '^input'); do
        row "$l" | grep -q 'refused: not a panel LED name' || fail "$l: $(row "$l")"
        n=$((n + 1))
    done
    row lcd-backlight | grep -q 'accepted' || fail "lcd-backlight: $(row lcd-backlight)"
    # A second accepted panel makes the choice ambiguous.
    load_module second_panel=1
    local rc=0
    $VC probe >/tmp/probe2.out 2>&1 || rc=$?
    [ $rc -eq 1 ] || fail "probe exit $rc with two panels, not 1"
    cat /tmp/probe2.out
    grep -q '^Main panel: none (ambiguous' /tmp/probe2.out || fail "not ambiguous: $(grep -A1 '^Main panel' /tmp/probe2.out)"
    pass "chose panel0-backlight; refused kbd_backlight, panel1-backlight and $n input LEDs; ambiguous with a second panel"
}

# ---- 2. hold ----

sc_hold() {
    local orig t0 t1 rc tries=0
    orig=$(mode_of "$BL")
    start_hold "$BL" s2 1500
    held "$BL" 1500 || fail "after SET: value $(value_of "$BL") mode $(mode_of "$BL")"
    [ -s "$REC" ] || fail "no permission record while holding"
    if write_as_root "$BL" 700; then fail "root's write into the guarded node succeeded"; fi
    grep -q 'Permission denied' /tmp/write.err || fail "root's write failed otherwise: $(cat /tmp/write.err)"
    is_value "$BL" 1500 || fail "value changed to $(value_of "$BL") by a refused write"
    # The bits given back and another value written: the daemon takes both back.
    while :; do
        chmod 0644 "$BL"
        t0=$(now_ms)
        write_as_root "$BL" 700 && break
        tries=$((tries + 1))
        [ $tries -lt 5 ] || fail "cannot write after chmod: $(cat /tmp/write.err)"
    done
    wait_for 5 held "$BL" 1500 || fail "not corrected: value $(value_of "$BL") mode $(mode_of "$BL")"
    t1=$(now_ms)
    grep -q NATIVE_CORRECTION /tmp/daemon.err || fail "no NATIVE_CORRECTION line"
    $VC stop s2 >/tmp/stop.out 2>&1 || fail "stop: $(cat /tmp/stop.out)"
    daemon_exit 10
    [ "$rc" = 0 ] || fail "daemon exit $rc"
    [ "$(mode_of "$BL")" = "$orig" ] || fail "mode $(mode_of "$BL") after STOP, was $orig"
    [ "$(health_holding)" = 0 ] || fail "last health record: $(cat "$HEALTH")"
    [ ! -e "$REC" ] || fail "permission record left after STOP"
    kill "$LPID"
    pass "EACCES for root while guarded; corrected and guarded again $((t1 - t0)) ms after the foreign write"
}

# ---- 5. crash ----

sc_crash() {
    local orig rc
    orig=$(mode_of "$BL")
    start_hold "$BL" s5 900
    held "$BL" 900 || fail "not held"
    kill -9 "$DPID"
    wait "$DPID"
    guarded "$BL" || fail "node not guarded after kill -9: $(mode_of "$BL")"
    [ -s "$REC" ] || fail "no permission record after kill -9"
    $VD --recover >/tmp/recover.out 2>&1
    rc=$?
    [ $rc = 0 ] || fail "--recover exit $rc: $(cat /tmp/recover.out)"
    [ "$(mode_of "$BL")" = "$orig" ] || fail "mode $(mode_of "$BL") after --recover, was $orig"
    kill "$LPID"
    pass "kill -9 left the node guarded; --recover gave back $orig"
}

# ---- 3. drivers ----

# driver_case PARAM VALUE CODE: with the driver misbehaving, SET fails with
# CODE, the daemon ends by itself, the node is not left guarded and no
# record stays behind.
driver_case() {
    local orig rc reply
    load_module
    orig=$(mode_of "$BL")
    echo "$2" >"$PARAMS/$1" || fail "cannot set $1=$2"
    start_lease "d$1" 1500
    start_daemon "$BL"
    $VC arm "d$1" "$LPID" >/tmp/arm.out 2>&1 || fail "$1: arm: $(cat /tmp/arm.out)"
    # The hold loop corrects the node towards the lease's target on its own
    # turn, so SET or the loop meets the driver first; either way the hold
    # ends with CODE.
    rc=0
    reply=$($VC set "d$1" 1500 2>&1) || rc=$?
    echo "$1: set exit $rc: $reply"
    case $rc in
        1)
            echo "$reply" | grep -q '"reason":"write_or_readback_failed"' || fail "$1: reply $reply"
            echo "$reply" | grep -q "\"errno\":$3[,}]" || fail "$1: reply errno not $3: $reply"
            echo "set" >>/tmp/drivers.by
            ;;
        3) echo "loop" >>/tmp/drivers.by ;;
        *) fail "$1: set exit $rc: $reply" ;;
    esac
    daemon_exit 10
    [ "$rc" != 124 ] || fail "$1: daemon still running after the failed write"
    [ "$(mode_of "$BL")" = "$orig" ] || fail "$1: mode $(mode_of "$BL") left, was $orig"
    [ ! -e "$REC" ] || fail "$1: permission record left behind"
    set -- "$1" "$2" "$3" $(cat "$HEALTH" 2>/dev/null)
    [ "${5:-}" = 0 ] && [ "${6:-}" = "$3" ] || fail "$1: last health record '$4 $5 $6', want not holding, errno $3"
    stop_lease
    echo "$1=$2" >>/tmp/drivers.done
}

sc_drivers() {
    driver_case clamp 1000 34
    driver_case refuse 22 22
    driver_case lag 1 34
    # The LED core swallows a driver's error: the write seems to succeed
    # and only the read-back shows it.
    pass "clamp: 34, refuse EINVAL: 22, lag: 34 (met by: $(cat /tmp/drivers.by | tr '\n' ' ')); each ended unguarded without a record"
}

# ---- 4. driver rebind ----

sc_rebind() {
    local rc ino0 ino1
    ino0=$(stat -c %i "$BL")
    start_hold "$BL" s4 1300
    held "$BL" 1300 || fail "not held"
    rmmod veltaris_testdev || fail "rmmod during the hold"
    insmod /kt/veltaris_testdev.ko || fail "insmod again"
    wait_for 5 test -e "$BL" || fail "node did not come back"
    ino1=$(stat -c %i "$BL")
    daemon_exit 10
    [ "$rc" != 124 ] || fail "daemon still running 10 s after the rebind"
    set -- $(cat "$HEALTH" 2>/dev/null)
    [ "${2:-}" = 0 ] && [ "${3:-}" = 116 ] || fail "last health record '$*', want not holding with 116"
    [ "$(mode_of "$BL")" = 644 ] || fail "new node's mode $(mode_of "$BL"), not the kernel's 644"
    # The release goes through the descriptor held on the removed node: the
    # kernel takes the mode change on the orphaned inode, so the bits went
    # back (to nothing anyone can open again), the record is gone with it,
    # and the hold ended cleanly: no failed release, no record dropped. (The
    # driver's teardown may move the old node's value first, which the
    # daemon corrects like any other write.)
    [ "$rc" = 0 ] || fail "daemon exit $rc after the rebind: $(cat /tmp/daemon.err)"
    [ ! -e "$REC" ] || fail "the record of the removed node is left behind"
    ! grep -q -e NATIVE_RELEASE_FAILED -e NATIVE_RECORD_DROPPED /tmp/daemon.err ||
        fail "lines after the rebind: $(cat /tmp/daemon.err)"
    kill "$LPID"
    # The record of the node that is gone must not block the next start.
    mv /tmp/daemon.err /tmp/daemon-hold.err
    $VD --daemon --node "$BL" 2>/tmp/daemon.err &
    DPID=$!
    track $DPID
    wait_for 15 grep -q NATIVE_READY /tmp/daemon.err ||
        fail "next --daemon start not ready: $(cat /tmp/daemon-hold.err /tmp/daemon.err)"
    $VC stop >/dev/null 2>&1
    daemon_exit 10
    [ "$rc" = 0 ] || fail "next daemon exit $rc"
    $VD --recover >/tmp/recover.out 2>&1 || fail "--recover exit $?: $(cat /tmp/recover.out)"
    [ ! -e "$REC" ] || fail "the record of the old node is still there"
    pass "inode $ino0 -> $ino1: hold ended with 116, exit 0, the bits back through the held descriptor, no record left ($(grep -c NATIVE_CORRECTION /tmp/daemon-hold.err) corrections before); next start and --recover exit 0"
}

# ---- 4b. a live node covered or moved ----

# covered_case WHAT COVER UNCOVER: with a crash's record of panel0-backlight
# in place, COVER hides or moves the live node; --recover must keep the
# record (exit 3, errno 116) and leave the node's bits alone.
covered_case() {
    local rc
    eval "$2" || fail "$1: cannot set it up"
    $VD --recover >/tmp/recover.out 2>&1
    rc=$?
    eval "$3" || fail "$1: cannot undo it"
    [ $rc = 3 ] && grep -q 'stage=restore_permissions exit=3 errno=116' /tmp/recover.out ||
        fail "$1: --recover exit $rc: $(cat /tmp/recover.out)"
    [ -s "$REC" ] || fail "$1: the record was dropped: $(cat /tmp/recover.out)"
    guarded "$BL" || fail "$1: the node's bits changed to $(mode_of "$BL")"
}

sc_covered() {
    local orig dir other rc out
    orig=$(mode_of "$BL")
    dir=$(dirname "$(readlink -f "$BL")")
    other=$(dirname "$(readlink -f /sys/class/backlight/panel1-backlight/brightness)")
    # A file system mounted over the device directory ends the hold; the
    # bits come back through the descriptor the daemon holds.
    start_hold "$BL" s9 1100
    held "$BL" 1100 || fail "not held"
    mount -t tmpfs none "$dir" || fail "mount over $dir"
    daemon_exit 10
    umount "$dir"
    [ "$rc" = 0 ] || fail "hold under a mount: exit $rc: $(cat /tmp/daemon.err)"
    [ "$(mode_of "$BL")" = "$orig" ] || fail "mode $(mode_of "$BL") after the hold ended under a mount, was $orig"
    [ ! -e "$REC" ] || fail "record left after the hold ended under a mount"
    ! grep -q NATIVE_RECORD_DROPPED /tmp/daemon.err || fail "a record was dropped: $(cat /tmp/daemon.err)"
    stop_lease
    # A crash's record, then the live node hidden or moved in each way.
    start_hold "$BL" s10 1200
    kill -9 "$DPID"
    wait "$DPID"
    kill "$LPID"
    [ -s "$REC" ] || fail "no record after kill -9"
    covered_case "a file bound over the node" "mount --bind $dir/max_brightness $dir/brightness" \
        "umount $dir/brightness"
    covered_case "another device's directory bound over the device directory" "mount --bind $other $dir" \
        "umount $dir"
    covered_case "a file system over the device directory" "mount -t tmpfs none $dir" "umount $dir"
    covered_case "the device renamed" "echo panel7-backlight >$PARAMS/rename_panel" \
        "echo panel0-backlight >$PARAMS/rename_panel"
    # Another network namespace's sysfs shows the same inodes under another
    # device number.
    out=$(unshare -n -m --propagation private sh -c "mount -t sysfs sysfs /sys && $VD --recover" 2>&1)
    rc=$?
    [ $rc = 3 ] && [ -s "$REC" ] || fail "--recover in another network namespace: exit $rc: $out"
    $VD --recover >/tmp/recover.out 2>&1 || fail "--recover with the node in sight: exit $?: $(cat /tmp/recover.out)"
    [ "$(mode_of "$BL")" = "$orig" ] && [ ! -e "$REC" ] ||
        fail "after --recover: mode $(mode_of "$BL"), record $(ls "$REC" 2>&1)"
    pass "the bits came back through the held descriptor under a mount; the record stayed under a bound file, a bound directory, a tmpfs, a rename and another namespace's sysfs, then --recover gave back $orig"
}

# ---- 6. outdoor ----

# A process whose command line starts with system_server.
start_system_server() {
    /system/bin/sh -c 'exec -a system_server /system/bin/sh -c "while :; do sleep 1; done"' &
    SSPID=$!
    track $SSPID
    sleep 0.3
}

sc_outdoor() {
    local base rc
    start_system_server
    base=$(value_of "$LED")
    rm -f /tmp/outdoor.err
    $VD --outdoor --node "$LED" 2>/tmp/outdoor.err &
    ODPID=$!
    track $ODPID
    wait_for 10 test -s "$OHEALTH" || fail "no outdoor health record: $(cat /tmp/outdoor.err)"
    $VC outdoor-lease v2 200 --pid "$SSPID" --hold >/tmp/olease.out 2>&1 &
    OLPID=$!
    track $OLPID
    wait_for 10 is_value "$LED" 200 || fail "no boost: value $(value_of "$LED"), health $(cat "$OHEALTH")"
    kill "$OLPID"
    wait_for 10 is_value "$LED" "$base" || fail "base $base not back: value $(value_of "$LED")"
    # Another writer during a boost is respected.
    $VC outdoor-lease v2 220 --pid "$SSPID" --hold >/tmp/olease.out 2>&1 &
    OLPID=$!
    track $OLPID
    wait_for 10 is_value "$LED" 220 || fail "no second boost: value $(value_of "$LED")"
    echo 150 >"$LED" || fail "the other writer's write failed"
    sleep 3
    is_value "$LED" 150 || fail "the other writer's 150 became $(value_of "$LED")"
    kill "$OLPID"
    kill "$ODPID"
    daemon_exit 10 "$ODPID"
    [ "$rc" = 0 ] || fail "outdoor daemon exit $rc after SIGTERM"
    pass "boost 200 read back, base $base back, another writer's 150 kept"
}

# ---- 8. reboot: a hold powered off hard ----

sc_reboot_arm() {
    start_hold "$BL" s8 1200
    held "$BL" 1200 || fail "not held"
    [ -s "$REC" ] || fail "no permission record while holding"
    sleep 1
    pass_on "holding with a record of boot $(cat /proc/sys/kernel/random/boot_id)"
    echo "KT CUT $KT_NAME" >/dev/console
    sleep 600
}

sc_reboot_check() {
    local mode
    mode=$(mode_of "$BL")
    [ "$mode" = 644 ] || fail "the fresh kernel's node has mode $mode"
    [ -e "$REC" ] || fail "the permission record of the hold was lost in the power-off"
    $VC probe --json >/tmp/probe.json 2>&1
    grep -q '"permission_record":{[^}]*"valid":true' /tmp/probe.json || fail "record not valid: $(cat "$REC")"
    grep -q '"permission_record":{[^}]*"this_boot":false' /tmp/probe.json || fail "record not of another boot"
    start_hold "$BL" s8b 1100
    held "$BL" 1100 || fail "the next hold did not take the node"
    $VC stop s8b >/dev/null || fail "stop"
    daemon_exit 10
    [ "$rc" = 0 ] || fail "daemon exit $rc"
    [ "$(mode_of "$BL")" = 644 ] || fail "mode after the next hold $(mode_of "$BL")"
    kill "$LPID"
    pass "record of the earlier boot found whole, node 644, the next hold ran"
}

# ---- 9. power cuts ----

# The hold the cut falls into: main panel held with the health record
# heartbeating, re-armed and paused in turn, outdoor mode boosting the LED.
sc_cut_hold() {
    local round=0 t
    start_system_server
    $VD --outdoor --node "$LED" 2>/tmp/outdoor.err &
    track $!
    $VC outdoor-lease v2 180 --pid "$SSPID" --hold >/tmp/olease.out 2>&1 &
    track $!
    # The main-panel lease, renewed every half second as /tmp/lease.want
    # says ("SESSION TARGET PAUSED"), naming a long-lived process.
    sleep 100000 &
    PP=$!
    track $PP
    echo "c0 1400 0" >/tmp/lease.want
    (
        while :; do
            read s t p </tmp/lease.want
            if [ "$p" = 1 ]; then
                $VC lease "$s" "$t" --pid "$PP" --paused >/dev/null 2>&1
            else
                $VC lease "$s" "$t" --pid "$PP" >/dev/null 2>&1
            fi
            sleep 0.5
        done
    ) &
    track $!
    wait_for 5 test -s "$LEASE" || fail "no lease"
    while :; do
        t=$((1000 + round % 7 * 50))
        echo "c$round $t 0" >/tmp/lease.want
        sleep 0.6
        start_daemon "$BL"
        $VC arm "c$round" "$PP" >/tmp/arm.out 2>&1 || fail "arm: $(cat /tmp/arm.out)"
        $VC set "c$round" "$t" >/tmp/set.out 2>&1 || fail "set: $(cat /tmp/set.out)"
        if [ $round -eq 0 ]; then
            held "$BL" "$t" || fail "not held"
            pass_on "heartbeating"
            echo "KT CUT $KT_NAME" >/dev/console
        fi
        sleep 2.5
        echo "c$round $t 1" >/tmp/lease.want
        sleep 1
        echo "c$round $t 0" >/tmp/lease.want
        sleep 1.5
        $VC stop "c$round" >/dev/null 2>&1
        daemon_exit 10
        round=$((round + 1))
    done
}

# Every record is whole (old or new), the permission record fits the node,
# and a new hold starts.
sc_cut_check() {
    local f leftovers rec_at_boot health_at_boot
    [ "$(mode_of "$BL")" = 644 ] || fail "node mode $(mode_of "$BL") at boot"
    # Looked at now: the new hold below handles the record of the cut boot.
    rec_at_boot=absent
    [ -e "$REC" ] && rec_at_boot=present
    $VC probe --json >/tmp/probe.json 2>&1
    cat /tmp/probe.json
    if [ -e "$REC" ]; then
        grep -q '"permission_record":{[^}]*"valid":true' /tmp/probe.json || fail "torn permission record: '$(cat "$REC")'"
        grep -q "\"permission_record\":{[^}]*\"node\":\"$BL\"" /tmp/probe.json || fail "record names another node"
        grep -q '"permission_record":{[^}]*"mode":"0644"' /tmp/probe.json || fail "record's mode is not the node's 0644"
    fi
    for f in main_panel_lease outdoor_lease; do
        ! grep -q "\"$f\":{[^}]*\"present\":true" /tmp/probe.json ||
            grep -q "\"$f\":{[^}]*\"pid\":" /tmp/probe.json || fail "$f torn: $(grep -o "\"$f\":{[^}]*}" /tmp/probe.json)"
    done
    # The health records are not synced: a cut may leave one missing or
    # empty (the rename on disk before the data), which says no daemon of
    # this boot, as the client must read it. One with text is whole.
    health_at_boot=
    for f in main_panel_health:$HEALTH outdoor_health:$OHEALTH; do
        if [ -s "${f#*:}" ]; then
            [ "$(wc -l <"${f#*:}")" = 1 ] && grep -q "\"${f%%:*}\":{[^}]*\"valid\":true" /tmp/probe.json ||
                fail "torn ${f%%:*} record: '$(cat "${f#*:}")'"
            health_at_boot="$health_at_boot ${f%%:*} whole"
        else
            grep -q "\"${f%%:*}\":{[^}]*\"this_boot\":false" /tmp/probe.json ||
                fail "${f%%:*} record missing or empty, yet not read as no daemon of this boot: $(grep -o "\"${f%%:*}\":{[^}]*}" /tmp/probe.json)"
            health_at_boot="$health_at_boot ${f%%:*} $([ -e "${f#*:}" ] && echo empty || echo missing)"
        fi
    done
    leftovers=$(ls -a /data/system | grep -c '^\.veltaris-' || true)
    start_hold "$BL" n1 1250
    held "$BL" 1250 || fail "a new hold did not take the node"
    $VC stop n1 >/dev/null || fail "stop"
    daemon_exit 10
    [ "$rc" = 0 ] || fail "daemon exit $rc"
    kill "$LPID"
    wait "$LPID"
    # A lease writer clears the temporary files that cut-off writers of its
    # lease left (the main-panel one ran above; the outdoor one here).
    $VC outdoor-lease v1 0 --pid 1 --held 0 >/dev/null 2>&1 || fail "outdoor-lease writer failed"
    local after
    after=$(ls -a /data/system | grep -c '^\.veltaris-' || true)
    [ "$after" = 0 ] || fail "$after lease temporaries still there after the lease writers ran: $(ls -a /data/system | tr '\n' ' ')"
    pass "records whole (permission record $rec_at_boot at boot;$health_at_boot), new hold clean, $leftovers lease temporaries at boot, cleared"
}

# ---- 7. the package on a booted system ----

# pkg_sh ash|mksh SCRIPT [ARG...]: a module script in the shell the root
# managers run it with, busybox's ash with ASH_STANDALONE=1 (its applets
# before PATH; a busybox built with the managers' settings, not the
# harness's Debian one), or in mksh as by hand; toybox's tools on PATH
# either way.
pkg_sh() {
    local shell=$1
    shift
    case "$shell" in
        ash) ASH_STANDALONE=1 PATH=/system/bin /harness/managers/busybox sh "$@" ;;
        *) PATH=/system/bin /system/bin/sh "$@" ;;
    esac
}

# By hand (the zip unpacked into the module's folder, customize.sh under
# mksh), then as each root manager installs it, in busybox's ash
# (tests/package/managers.sh: A through the zip's update-binary and its
# installer functions, B and C unpacking the zip and sourcing customize.sh
# themselves), each into the manager's update folder; the last is moved
# into place as the manager's next boot does.
sc_package_install() {
    local m d rc upd=/data/adb/modules_update/veltaris out=/tmp/install.out
    [ -s /kt/package.zip ] || fail "no package in the guest (scripts/package.sh)"
    rm -rf "$MODDIR"
    mkdir -p "$MODDIR"
    unzip -q -o /kt/package.zip -d "$MODDIR" || fail "unzip"
    (cd "$MODDIR" && pkg_sh mksh "$MODDIR/customize.sh") >$out 2>&1 ||
        fail "customize.sh exit $?: $(cat $out)"
    "$MODDIR/bin/veltarisd" --version || fail "installed veltarisd does not run"
    [ "$(stat -c %a "$WS")" = 700 ] || fail "private directory mode $(stat -c %a "$WS")"
    mkdir -p /data/adb/magisk
    cp /kt/managers.sh /data/adb/magisk/util_functions.sh
    unzip -p /kt/package.zip META-INF/com/google/android/update-binary >/tmp/update-binary
    for m in A B C; do
        rc=0
        if [ $m = A ]; then
            pkg_sh ash /tmp/update-binary 3 1 /kt/package.zip </dev/null >$out 2>&1 || rc=$?
        else
            pkg_sh ash /kt/managers.sh $m /kt/package.zip </dev/null >$out 2>&1 || rc=$?
        fi
        [ $rc = 0 ] && grep -q '^installer: done' $out || fail "install by $m: exit $rc: $(cat $out)"
        grep -q "su -c $MODDIR/bin/veltarisctl probe" $out || fail "install by $m names no full path: $(cat $out)"
        "$upd/bin/veltarisd" --version >/dev/null || fail "veltarisd installed by $m does not run"
        "$upd/bin/veltarisctl" --version >/dev/null || fail "veltarisctl installed by $m does not run"
        for d in magisk su ksu; do
            grep -qx "allow system_server $d unix_stream_socket connectto" "$upd/sepolicy.rule" &&
                grep -qx "allow system_app $d unix_stream_socket connectto" "$upd/sepolicy.rule" ||
                fail "install by $m: no rules for domain $d"
        done
    done
    rm -rf "$MODDIR"
    mv "$upd" "$MODDIR" || fail "cannot move the update in place"
    [ "$(stat -c %a "$WS")" = 700 ] || fail "private directory mode $(stat -c %a "$WS")"
    # A root manager's reboot after an install is an orderly one; the power
    # cut that ends this boot (reboot-arm) is not.
    sync
    pass "installed for $(/system/bin/getprop ro.product.cpu.abi) by hand (mksh) and by A, B and C (busybox ash)"
}

alive() { [ -n "$1" ] && [ -e "/proc/$1" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }
# A pid file's first line is "PID BOOT_ID"; the command line's words follow.
pidfile() { local pid rest; read -r pid rest <"$WS/$1.pid" 2>/dev/null && echo "$pid"; }
# Whether the process of pid file NAME runs; the file is read at each call,
# so that wait_for sees one written while it waits.
pidfile_alive() { alive "$(pidfile "$1")"; }
# Whether outdoor.pid names a running process other than pid $1.
outdoor_restarted_since() { local o; o=$(pidfile outdoor); [ -n "$o" ] && [ "$o" != "$1" ] && alive "$o"; }

# crash_hold SESSION: a main-panel hold that crashed, its bits off.
crash_hold() {
    start_hold "$BL" "$1" 1000
    kill -9 "$DPID"
    kill "$LPID"
    guarded "$BL" || fail "not guarded after the crash"
}

# service_with_restart ash|mksh: starts the boot service in that shell and
# waits until its outdoor daemon runs on the probed node and comes back
# after kill -9.
service_with_restart() {
    local o
    pkg_sh "$1" "$MODDIR/service.sh" </dev/null >/dev/null 2>&1 || fail "service.sh exit $?"
    wait_for 30 pidfile_alive outdoor || fail "no outdoor daemon: $(cat "$WS/service.log")"
    o=$(pidfile outdoor)
    tr '\0' ' ' <"/proc/$o/cmdline" | grep -q -- "--outdoor --node $BL" ||
        fail "outdoor daemon not on the probed node: $(tr '\0' ' ' <"/proc/$o/cmdline")"
    kill -9 "$o"
    wait_for 20 outdoor_restarted_since "$o" ||
        fail "not restarted after kill -9: $(cat "$WS/service.log")"
}

# The boot service by hand, in mksh, after the reboot; removal by hand
# while it runs.
sc_package_service() {
    local o2 s
    [ -f "$MODDIR/service.sh" ] || fail "the package is not installed"
    # A main-panel hold that crashed before: the boot service puts it back.
    crash_hold s7
    service_with_restart mksh
    [ "$(mode_of "$BL")" = 644 ] || fail "the crashed hold's mode $(mode_of "$BL") not put back"
    o2=$(pidfile outdoor)
    s=$(pidfile service)
    # Kept, to look at: the file the user leaves to keep the records.
    touch "$WS/keep-on-uninstall"
    pkg_sh mksh "$MODDIR/uninstall.sh" </dev/null >/tmp/uninstall.out 2>&1 ||
        fail "uninstall.sh exit $?: $(cat /tmp/uninstall.out)"
    sleep 1
    ! alive "$o2" || fail "outdoor daemon $o2 still runs after uninstall.sh"
    ! alive "$s" || fail "service $s still runs after uninstall.sh"
    [ "$(mode_of "$BL")" = 644 ] || fail "mode $(mode_of "$BL") after uninstall"
    [ -s "$WS/service.log" ] || fail "the log was not kept"
    # Again, with --purge, which beats keep-on-uninstall.
    pkg_sh mksh "$MODDIR/service.sh" </dev/null >/dev/null 2>&1
    wait_for 30 pidfile_alive outdoor || fail "no outdoor daemon the second time"
    o2=$(pidfile outdoor)
    pkg_sh mksh "$MODDIR/uninstall.sh" --purge </dev/null >/tmp/uninstall.out 2>&1 ||
        fail "uninstall.sh --purge exit $?: $(cat /tmp/uninstall.out)"
    sleep 1
    ! alive "$o2" || fail "outdoor daemon still runs after uninstall.sh --purge"
    [ ! -e "$WS" ] || fail "private directory kept with --purge"
    mkdir -m 0700 "$WS"
    pass "service (mksh): crashed hold put back, outdoor mode on $BL, restarted after kill -9; uninstall stops it and keeps the records when asked, --purge removes them"
}

# The boot service as the root managers run it, in busybox's ash; then the
# boot after the user removed the module: nothing of the module runs any
# more, a crashed hold left its bits off, and uninstall.sh (no argument,
# before any service) puts them back and removes the private directory and
# the main-panel health record.
sc_package_ash() {
    local s
    [ -f "$MODDIR/service.sh" ] || fail "the package is not installed"
    service_with_restart ash
    s=$(pidfile service)
    kill -9 "$s"
    kill -9 "$(pidfile outdoor)"
    wait_for 5 exited "$s" || fail "service $s still runs after kill -9"
    crash_hold s8
    [ -s "$HEALTH" ] || fail "the hold left no health record"
    touch "$HEALTH.new"
    pkg_sh ash "$MODDIR/uninstall.sh" </dev/null >/tmp/uninstall.out 2>&1 ||
        fail "uninstall.sh exit $?: $(cat /tmp/uninstall.out)"
    [ "$(mode_of "$BL")" = 644 ] || fail "mode $(mode_of "$BL") after removal"
    [ ! -e "$WS" ] || fail "private directory left: $(ls -a "$WS" | tr '\n' ' ')"
    [ ! -e "$HEALTH" ] && [ ! -e "$HEALTH.new" ] || fail "main-panel health record left"
    mkdir -m 0700 "$WS"
    pass "service (busybox ash): outdoor mode on $BL, restarted after kill -9; removal at boot put the bits back and left nothing"
}

# ---- SELinux (the x86_64 guest booted with security=selinux) ----
# selinux: the daemon in its own domain, entered by a type transition on
# its executable, with sepolicy/veltarisd.cil as its only rules, passes the
# main-panel and outdoor scenarios with no denial for its domain.
# selinux-rules: the same with each permission of the fragment left out in
# turn (the policy reloaded between runs): each must fail a step or show
# its denial. The steps are tests/kernel/selinux/guest.sh's.
# selinux-manager: the package's sepolicy.rule as each root manager applies
# it (the lines naming a type the policy lacks skipped), with root in
# magisk, su or ksu: system_server and system_app connect to the daemon's
# socket; with each applied line left out in turn, its client is refused
# (EACCES and the kernel's connectto denial) and the other still connects.

# sel_run LIST [run|manager]: the runs of LIST in init's domain; their
# lines in /tmp/sel-out.
sel_run() {
    [ -f /kt/selinux/full.bin ] || fail "no policy in the initramfs"
    /harness/busybox sh /kt/selinux/guest.sh setup >/tmp/sel-out 2>&1 || fail "setup: $(cat /tmp/sel-out)"
    /kt/selinux/seltool exec u:r:init:s0 0 sh /harness/busybox /kt/selinux/guest.sh "${2:-run}" "$1" >/tmp/sel-out 2>&1
    cat /tmp/sel-out
}

sc_selinux() {
    echo full >/tmp/sel-list
    sel_run /tmp/sel-list
    grep '^SEL: OTHER' /tmp/sel-out | sed 's/^SEL: OTHER full //' | while read -r l; do
        note "other domains: $l"
    done
    grep -q '^SEL: RESULT full pass' /tmp/sel-out ||
        fail "$(grep -m1 '^SEL: RESULT' /tmp/sel-out | cut -d' ' -f4-) $(grep -m2 '^SEL: DENIAL' /tmp/sel-out | cut -d' ' -f4-)"
    pass "main panel, outdoor (cgroup v2 and v1) in $(sed -n 's/^SEL: RESULT full pass //p' /tmp/sel-out), no denial for veltarisd"
}

sc_selinux_rules() {
    local name rest what res survivors= n=0
    sel_run /kt/selinux/rules
    while read -r name rest; do
        n=$((n + 1))
        what=$(grep -m1 "^$name: " /kt/selinux/rules.txt)
        res=$(grep -m1 "^SEL: RESULT $name " /tmp/sel-out)
        case "$res" in
            *" fail "*)
                note "$what => ${res#SEL: RESULT $name fail } $(grep -m1 "^SEL: DENIAL $name " /tmp/sel-out | cut -d' ' -f4-)"
                ;;
            *)
                survivors="$survivors $name"
                note "$what => needed by no step (${res:-no result})"
                ;;
        esac
    done </kt/selinux/rules
    while read -r what; do note "kept, not exercised: $what"; done </kt/selinux/kept.txt
    [ -z "$survivors" ] || fail "left out, these changed nothing:$survivors"
    pass "each of $n permissions left out fails a step or shows its denial"
}

# One note per policy: what it holds, each client's steps and outcome, the
# denial; a run's outcome against what the policy is to allow decides.
sc_selinux_manager() {
    local name dom ss sa what res bad= lonely= n=0
    [ -s /kt/selinux/manager-runs ] || fail "no root manager's policies (no package when the tier was prepared: scripts/package.sh)"
    sel_run /kt/selinux/manager-runs manager
    while read -r name dom ss sa; do
        n=$((n + 1))
        what=$(grep -m1 "^$name: " /kt/selinux/manager.txt | cut -d' ' -f2-)
        res=$(grep -m1 "^SEL: RESULT $name " /tmp/sel-out)
        note "$name ($what) => $(manager_outcome "$name" system_server), $(manager_outcome "$name" system_app) in $(echo "$res" | cut -d' ' -f5)$(
            grep "^SEL: PROBE $name " /tmp/sel-out | sed 's/^SEL: PROBE [^ ]* /; probe: /')$(
            grep "^SEL: DENIAL $name " /tmp/sel-out | cut -d' ' -f4- | sed 's/^/; /' | tr -d '\n')"
        case "$res" in
            *" pass "*) ;;
            *) bad="$bad $name [${res#SEL: RESULT $name fail }]" ;;
        esac
        # A line whose absence changes nothing was not needed.
        case "$name" in *-without-*) [ "$ss $sa" != "allowed allowed" ] || lonely="$lonely $name" ;; esac
    done </kt/selinux/manager-runs
    [ -z "$bad" ] || fail "not as the policy says:$bad"
    [ -z "$lonely" ] || fail "left out, these lines changed nothing:$lonely"
    pass "$n policies: with the package's lines system_server and system_app connect to $(cut -d' ' -f2 /kt/selinux/manager-runs | uniq | tr '\n' ' ' | sed 's/ $//'); each line left out refuses its client"
}

# manager_outcome NAME CLIENT: "CLIENT verb verb... OUTCOME" from the run's
# CONNECT lines (mixed outcomes listed one by one).
manager_outcome() {
    grep "^SEL: CONNECT $1 $2 " /tmp/sel-out | awk -v c="$2" '
        { v = v " " $5; o[$6] = 1; n++; all = all " " $5 "=" $6 }
        END { if (n == 0) { print c " never tried"; exit }
              k = 0; for (x in o) { k++; one = x }
              if (k == 1) print c v " " one; else print c all }'
}
