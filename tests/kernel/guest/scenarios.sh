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
    echo "KT PASS $KT_NAME${1:+ $1}" | tee -a /tmp/kt-results >/dev/console
    exit 0
}
fail() {
    echo "KT FAIL $KT_NAME: $*" | tee -a /tmp/kt-results >/dev/console
    exit 1
}
note() { echo "KT NOTE $KT_NAME: $*" >/dev/console; }

# ---- helpers ----

track() { echo "$1" >>/tmp/kt-pids; }

kt_clean() {
    if [ -f /tmp/kt-pids ]; then
        for p in $(cat /tmp/kt-pids); do kill -9 "$p" 2>/dev/null; done
        rm -f /tmp/kt-pids
    fi
    sleep 0.2
    load_module
    rm -f "$REC" "$REC.tmp" "$OHEALTH" "$OHEALTH.new" "$WS/"*.log* "$WS/"*.pid
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

# start_hold NODE SESSION TARGET: lease holder (LPID), daemon (DPID, stderr
# in /tmp/daemon.err), ARM and SET; fails the scenario when any step does.
start_hold() {
    $VC lease "$2" "$3" --hold >/tmp/lease.out 2>&1 &
    LPID=$!
    track $LPID
    wait_for 5 test -s "$LEASE" || fail "no lease file: $(cat /tmp/lease.out)"
    start_daemon "$1"
    $VC arm "$2" "$LPID" >/tmp/arm.out 2>&1 || fail "arm: $(cat /tmp/arm.out)"
    $VC set "$2" "$3" >/tmp/set.out 2>&1 || fail "set: $(cat /tmp/set.out)"
}

start_daemon() {
    $VD --daemon --node "$1" 2>/tmp/daemon.err &
    DPID=$!
    track $DPID
    wait_for 15 grep -q NATIVE_READY /tmp/daemon.err || fail "daemon not ready: $(cat /tmp/daemon.err)"
}

# exited PID: the process is gone or a zombie (not yet waited for).
exited() { [ ! -e "/proc/$1/stat" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }

# daemon_exit SECONDS [PID]: the daemon's exit status (124 while it runs).
daemon_exit() {
    local p=${2:-$DPID}
    wait_for "$1" exited "$p" || { echo 124; return; }
    wait "$p"
    echo $?
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
    rc=$(daemon_exit 10)
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

# ---- SELinux (the x86_64 guest booted with security=selinux) ----
# selinux: the daemon in its own domain, entered by a type transition on
# its executable, with sepolicy/veltarisd.cil as its only rules, passes the
# main-panel and outdoor scenarios with no denial for its domain.
# selinux-rules: the same with each permission of the fragment left out in
# turn (the policy reloaded between runs): each must fail a step or show
# its denial. The steps are tests/kernel/selinux/guest.sh's.

# sel_run LIST: the runs of LIST in init's domain; their lines in /tmp/sel-out.
sel_run() {
    [ -f /kt/selinux/full.bin ] || fail "no policy in the initramfs"
    /harness/busybox sh /kt/selinux/guest.sh setup >/tmp/sel-out 2>&1 || fail "setup: $(cat /tmp/sel-out)"
    /kt/selinux/seltool exec u:r:init 0 sh /harness/busybox /kt/selinux/guest.sh run "$1" >/tmp/sel-out 2>&1
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
