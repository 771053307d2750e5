#!/harness/busybox sh
# The SELinux scenario in the guest (booted with security=selinux).
#
#   guest.sh setup       in the kernel's domain: selinuxfs, /proc with
#                        hidepid=2,gid=3009 and cgroup2 as on a phone, the full policy
#                        loaded, binaries and /data labelled as a platform
#                        labels them, enforcing on. Idempotent.
#   guest.sh run LIST    in init's domain (the harness): for each line
#                        "NAME [SOURCE TARGET CLASS PERMISSION]" of LIST,
#                        loads /kt/selinux/NAME.bin, runs the main-panel and
#                        outdoor scenarios under it, prints
#                        "SEL: RESULT NAME pass|fail TIME step=[...]" and the
#                        denials that decided it ("SEL: DENIAL NAME ...").
#
#   guest.sh manager LIST
#                        in init's domain: for each line "NAME DOMAIN SS SA"
#                        of LIST, loads /kt/selinux/NAME.bin, a policy whose
#                        root manager's domain is DOMAIN, runs the daemon and
#                        the root client there and the platform's clients in
#                        system_server and system_app, which must connect or
#                        be refused as SS and SA say (allowed or denied).
#                        Prints "SEL: RESULT NAME pass|fail TIME step=[...]",
#                        "SEL: CONNECT NAME CLIENT VERB allowed|denied" for
#                        each step of a client and the connectto denials.
#
# A run fails on a failed step or on any denial for the daemon's domain.
# With SOURCE..PERMISSION (a rule left out of the policy) it fails also on
# that one denial, which is how a left-out rule of a permissive domain
# (init, system_server, system_app) shows.
BL=/sys/class/backlight/panel0-backlight/brightness
LED=/sys/class/leds/lcd-backlight/brightness
BIN=/system/bin
SEL=/kt/selinux
T=/tmp/sel
SS=u:r:system_server:s0
SA=u:r:system_app:s0
PRIV=/data/adb/tavorin_module_workspace
DPID= LPID= OPID= COLLECT= FAILED= STEP=
XSRC= XTGT= XCLASS= XPERM=
# The daemon's domain: its own, or the root manager's in a manager run.
DDOM=veltarisd

daemon_denials() {
    dmesg | grep 'avc:  denied' | grep "scontext=u:r:$DDOM:s0 "
}
# The one denial a left-out rule of a permissive domain causes.
expected_denial() {
    [ -n "$XSRC" ] || return 0
    dmesg | grep 'avc:  denied' | grep "{.* $XPERM .*}" | grep "scontext=u:r:$XSRC:s0 " |
        grep "tcontext=u:[a-z_]*:$XTGT:s0 " | grep "tclass=$XCLASS "
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.2 s; gives up at once
# on a denial for the daemon.
wait_for() {
    n=$(($1 * 5))
    shift
    while [ $n -gt 0 ]; do
        "$@" && return 0
        [ -n "$(daemon_denials)" ] && return 1
        sleep 0.2
        n=$((n - 1))
    done
    return 1
}
node_is() { [ "$(cat "$1")" = "$2" ]; }
mode_is() { [ "$(stat -c %a "$1")" = "$2" ]; }
file_has() { grep -q "$2" "$1" 2>/dev/null; }
gone() { [ ! -e "/proc/$1/stat" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }
in_domain() { [ "$($SEL/seltool con "$1")" = "u:r:$2:s0" ]; }
# The main-panel health record's holding field (after STOP its session
# field is empty, so count from the end).
health_holding() { [ "$(awk '{print $(NF-2)}' /data/system/veltaris-main-panel-health)" = "$1" ]; }

# step COMMAND...: the step $STEP; a failure or a denial for the daemon
# ends the scenario.
step() {
    if ! "$@"; then
        FAILED=$STEP
        return 1
    fi
    if [ -n "$(daemon_denials)" ]; then
        FAILED="$STEP (denial)"
        return 1
    fi
}

reset_state() {
    for p in $DPID $LPID $OPID; do kill -9 "$p" 2>/dev/null; done
    DPID= LPID= OPID=
    sleep 0.2
    # As ueventd sets them up on a phone: the system user owns the nodes.
    for n in $BL $LED; do
        chown 1000:1000 $n
        chmod 664 $n
    done
    echo 1023 >$BL
    echo 100 >$LED
    rm -f /data/system/veltaris-* /data/system/.veltaris-* $PRIV/*
}

# The main-panel lease s1 at 150, held by system_server (uid 1000).
lease_writer() {
    STEP="lease writer (system_server, uid 1000)"
    $SEL/seltool exec $SS 1000 veltarisctl $BIN/veltarisctl lease s1 150 --hold >>$T/client.log 2>&1 &
    LPID=$!
    step wait_for 15 test -e /data/system/veltaris-main-panel-lease
}
# After STOP: the daemon ends with exit 0 and gives the write bits back.
stopped() {
    step wait_for 20 gone $DPID || return 1
    wait $DPID
    rc=$?
    DPID=
    step test $rc = 0 || return 1
    STEP="mode back"
    step mode_is $BL 664
}

main_panel() {
    lease_writer || return 1
    STEP="daemon ready in its domain"
    $BIN/veltarisd --daemon --node $BL </dev/null >>$T/daemon.log 2>&1 &
    DPID=$!
    step wait_for 30 file_has $T/daemon.log NATIVE_READY || return 1
    step in_domain $DPID veltarisd || return 1
    STEP="arm"
    step $BIN/veltarisctl arm s1 $LPID >>$T/client.log || return 1
    STEP="set"
    step $BIN/veltarisctl set s1 150 >>$T/client.log || return 1
    STEP="node at target, write bits off"
    step node_is $BL 150 || return 1
    step mode_is $BL 444 || return 1
    STEP="foreign write corrected"
    # The daemon may take the write bits back between chmod and write.
    n=0
    until chmod 664 $BL && echo 77 2>/dev/null >$BL; do
        n=$((n + 1))
        [ $n -lt 20 ] || break
    done
    step wait_for 20 file_has $T/daemon.log NATIVE_CORRECTION.actual=77 || return 1
    step wait_for 20 node_is $BL 150 || return 1
    step wait_for 20 mode_is $BL 444 || return 1
    STEP="status from system_server (uid 1000)"
    step $SEL/seltool exec $SS 1000 veltarisctl $BIN/veltarisctl status >>$T/client.log || return 1
    STEP="status from a system app (uid 1000)"
    step $SEL/seltool exec $SA 1000 veltarisctl $BIN/veltarisctl status >>$T/client.log || return 1
    STEP="stop"
    step $BIN/veltarisctl stop s1 >>$T/client.log || return 1
    stopped || return 1
    STEP="health record: not holding"
    step health_holding 0 || return 1
    kill $LPID
    wait $LPID
    LPID=
}

outdoor() {
    STEP="outdoor daemon in its domain$1"
    $BIN/veltarisd --outdoor --node $LED </dev/null >>$T/daemon.log 2>&1 &
    DPID=$!
    step wait_for 30 test -e $PRIV/outdoor-node-health.json || return 1
    step in_domain $DPID veltarisd || return 1
    STEP="lease from system_server$1"
    # Its own pid, named system_server, uid 1000, system_server's domain.
    sh -c "exec $SEL/seltool exec $SS 1000 system_server $BIN/veltarisctl outdoor-lease v1 500 --pid \$\$ --hold" \
        >>$T/client.log 2>&1 &
    OPID=$!
    STEP="boost to 177 (base 100, v1 500, max 255)$1"
    step wait_for 30 node_is $LED 177 || return 1
    STEP="health record: held$1"
    step file_has $PRIV/outdoor-node-health.json '"held":true' || return 1
    STEP="withdrawal: base back$1"
    kill $OPID
    wait $OPID
    OPID=
    step wait_for 30 node_is $LED 100 || return 1
    STEP="outdoor stop$1"
    kill $DPID
    step wait_for 20 gone $DPID || return 1
    wait $DPID
    rc=$?
    DPID=
    step test $rc = 0 || return 1
}

# Outdoor mode again where the app freezer is cgroup v1's (/dev/freezer, as
# on older devices) and /sys/fs/cgroup has no cgroup.procs.
outdoor_v1() {
    umount /sys/fs/cgroup && mkdir -p /dev/freezer && mount -t cgroup -o freezer freezer /dev/freezer || {
        FAILED="cgroup v1 freezer mount"
        return 1
    }
    outdoor " (cgroup v1 freezer)"
    r=$?
    reset_state
    umount /dev/freezer
    mount -t cgroup2 cgroup2 /sys/fs/cgroup
    return $r
}

run_one() { # NAME [SOURCE TARGET CLASS PERMISSION]
    name=$1
    XSRC= XTGT= XCLASS= XPERM=
    if [ $# -eq 5 ] && [ "$2" != - ]; then
        XSRC=$2 XTGT=$3 XCLASS=$4 XPERM=$5
        [ "$XTGT" = self ] && XTGT=$XSRC
    fi
    load_for "$name" || return
    main_panel && reset_state && outdoor "" && reset_state && outdoor_v1
    d=$(daemon_denials)
    x=$(expected_denial)
    [ -z "$d" ] && [ -z "$x" ]
    result_line "$name" $?
    printf '%s\n%s\n' "$d" "$x" | grep avc | head -2 |
        sed 's/^.*avc: /avc: /;s/ pid=[0-9]*//;s/ ino=[0-9]*//;s/ dev="[^"]*"//' | sort -u |
        sed "s/^/SEL: DENIAL $name /"
    # What else the run logged about the daemon's domain, from any domain.
    dmesg | grep 'avc:  denied' | grep -v 'scontext=u:r:veltarisd:s0 ' | grep -E 'u:r:veltarisd:s0 |veltarisd_exec:s0 ' |
        sed 's/^.*avc: /avc: /;s/ pid=[0-9]*//;s/ ino=[0-9]*//;s/ dev="[^"]*"//;s/ comm="[^"]*"//;s/ name="[^"]*"//;s/ path=[^ ]*//' |
        sort -u | sed "s/^/SEL: OTHER $name /"
    failed_logs "$name"
}

# load_for NAME: a clean state, the policy NAME.bin loaded, the clock
# started; a policy the kernel refuses is the run's result.
load_for() {
    reset_state
    : >$T/daemon.log
    : >$T/client.log
    dmesg -c >/dev/null
    FAILED=
    if ! cat "$SEL/$1.bin" >/sys/fs/selinux/load; then
        echo "SEL: RESULT $1 fail 0s step=[policy load]"
        return 1
    fi
    start=$(cut -d' ' -f1 /proc/uptime)
}
# result_line NAME STATUS: the run passed if no step failed and STATUS is 0.
result_line() {
    took=$(awk "BEGIN { print $(cut -d' ' -f1 /proc/uptime) - $start }")
    if [ -z "$FAILED" ] && [ "$2" = 0 ]; then
        echo "SEL: RESULT $1 pass ${took}s"
    else
        echo "SEL: RESULT $1 fail ${took}s step=[${FAILED:-none}]"
    fi
}
failed_logs() {
    [ -z "$FAILED" ] || sed "s/^/SEL: LOG $1 /" $T/daemon.log $T/client.log | tail -8
}

setup() {
    if [ "$(cat /sys/fs/selinux/enforce 2>/dev/null)" = 1 ]; then return 0; fi
    mkdir -p $T
    grep -q ' /sys/fs/selinux ' /proc/mounts || mount -t selinuxfs selinuxfs /sys/fs/selinux ||
        { echo "SEL: FATAL no selinuxfs (boot with security=selinux)"; return 1; }
    # As Android mounts it: only the readproc group (3009) sees others' pids.
    mount -o remount,hidepid=2,gid=3009 /proc || { echo "SEL: FATAL /proc hidepid=2"; return 1; }
    grep -q ' /sys/fs/cgroup ' /proc/mounts || mount -t cgroup2 cgroup2 /sys/fs/cgroup ||
        { echo "SEL: FATAL cgroup2 mount"; return 1; }
    echo 1000000 >/proc/sys/kernel/printk_ratelimit_burst
    cat $SEL/full.bin >/sys/fs/selinux/load || { echo "SEL: FATAL policy load"; return 1; }
    : >$T/daemon.log
    $SEL/seltool label u:object_r:veltarisd_exec:s0 $BIN/veltarisd &&
        $SEL/seltool label u:object_r:null_device:s0 /dev/null &&
        $SEL/seltool label u:object_r:harness_log:s0 $T/daemon.log &&
        $SEL/seltool label u:object_r:system_data_root_file:s0 /data &&
        $SEL/seltool label u:object_r:system_data_file:s0 /data/system &&
        $SEL/seltool label u:object_r:adb_data_file:s0 /data/adb $PRIV || { echo "SEL: FATAL labels"; return 1; }
    echo 1 >/sys/fs/selinux/enforce
    [ "$(cat /sys/fs/selinux/enforce)" = 1 ] || { echo "SEL: FATAL enforcing"; return 1; }
}

# ---- the module's rule lines under a root manager's domain ----

# client DOMAIN UID EXPECT VERB [ARG...]: veltarisctl VERB from DOMAIN as
# UID, which must be allowed (it succeeds) or denied (connect refused with
# EACCES).
client() {
    c_dom=$1 c_uid=$2 c_want=$3
    shift 3
    c_out=$($SEL/seltool exec u:r:$c_dom:s0 "$c_uid" veltarisctl $BIN/veltarisctl "$@" 2>&1)
    c_rc=$?
    echo "$c_out" >>$T/client.log
    if [ $c_rc = 0 ]; then
        c_got=allowed
    elif echo "$c_out" | grep -q 'connect: Permission denied'; then
        c_got=denied
    else
        c_got="failed: $(echo "$c_out" | head -1)"
    fi
    echo "SEL: CONNECT $NAME $c_dom $1 $c_got"
    [ "$c_got" = "$c_want" ]
}
# root_client VERB [ARG...]: veltarisctl as root in the manager's domain,
# the root shell's way to the daemon whatever the platform may do.
root_client() { $SEL/seltool exec u:r:$DDOM:s0 0 veltarisctl $BIN/veltarisctl "$@" >>$T/client.log 2>&1; }
# connectto_denials CLIENT: the kernel's refusals of CLIENT's connect to
# the manager's domain.
connectto_denials() {
    dmesg | grep 'avc:  denied  { connectto }' | grep "scontext=u:r:$1:s0 " |
        grep "tcontext=u:r:$DDOM:s0 tclass=unix_stream_socket"
}
# Anything else refused to an enforcing domain: the daemon's (the root
# domain may do anything), the clients' but connectto.
other_denials() {
    dmesg | grep 'avc:  denied' | grep -E "scontext=u:r:($DDOM|system_server|system_app):s0 " |
        grep -v "{ connectto } .* tcontext=u:r:$DDOM:s0 tclass=unix_stream_socket"
}
# The connectto denial of CLIENT is there exactly when it is to be denied.
denial_as() { # CLIENT EXPECT
    if [ "$2" = denied ]; then [ -n "$(connectto_denials "$1")" ]; else [ -z "$(connectto_denials "$1")" ]; fi
}

# "veltarisctl probe --json", run as root in the manager's domain, says
# under "selinux" whether each platform client may connect to it
# ("connect": {"system_server": "allowed|denied|unknown", "system_app": ...},
# asked through /sys/fs/selinux/access): it must say what the run shows.
probe_says() { # EXPECT_SS EXPECT_SA
    p_out=$($SEL/seltool exec u:r:$DDOM:s0 0 veltarisctl $BIN/veltarisctl probe --json 2>>$T/client.log)
    echo "$p_out" >>$T/client.log
    p_con=$(echo "$p_out" | tr -d '\n' | sed -n 's/.*"selinux"[^}]*"connect" *: *{\([^}]*\)}.*/\1/p')
    p_ss=$(echo "$p_con" | sed -n 's/.*"system_server" *: *"\([a-z]*\)".*/\1/p')
    p_sa=$(echo "$p_con" | sed -n 's/.*"system_app" *: *"\([a-z]*\)".*/\1/p')
    echo "SEL: PROBE $NAME system_server ${p_ss:-(no answer)}, system_app ${p_sa:-(no answer)}"
    [ "$p_ss" = "$1" ] && [ "$p_sa" = "$2" ]
}

manager_run() { # NAME DOMAIN SS SA
    NAME=$1 DDOM=$2
    ss=$3 sa=$4
    load_for "$NAME" || { DDOM=veltarisd; return; }
    manager_steps
    if [ -z "$FAILED" ]; then
        STEP="connectto denials: system_server $ss, system_app $sa"
        step denial_as system_server "$ss" && step denial_as system_app "$sa"
    fi
    o=$(other_denials)
    [ -n "$FAILED" ] || [ -z "$o" ] || FAILED="denied something else"
    result_line "$NAME" 0
    { connectto_denials system_server | head -1; connectto_denials system_app | head -1; echo "$o" | head -2; } | grep avc |
        sed 's/^.*avc: /avc: /;s/ pid=[0-9]*//;s/ ino=[0-9]*//;s/ dev="[^"]*"//;s/ path=[^ ]*//' |
        sed "s/^/SEL: DENIAL $NAME /"
    failed_logs "$NAME"
    DDOM=veltarisd
}

# The main-panel steps with root in the manager's domain: each platform
# step is tried from its client first; one to be denied is then done by
# root, so that the hold goes on to the next step.
manager_steps() {
    lease_writer || return 1
    STEP="daemon started by root in $DDOM"
    $SEL/seltool exec u:r:$DDOM:s0 0 veltarisd $BIN/veltarisd --daemon --node $BL </dev/null >>$T/daemon.log 2>&1 &
    DPID=$!
    step wait_for 30 file_has $T/daemon.log NATIVE_READY || return 1
    step in_domain $DPID $DDOM || return 1
    STEP="status from root in $DDOM"
    step root_client status || return 1
    STEP="status from a system app (uid 1000), to be $sa"
    step client system_app 1000 $sa status || return 1
    STEP="arm from system_server (root), to be $ss"
    step client system_server 0 $ss arm s1 $LPID || return 1
    [ $ss = allowed ] || step root_client arm s1 $LPID || return 1
    STEP="set from system_server (root), to be $ss"
    step client system_server 0 $ss set s1 150 || return 1
    [ $ss = allowed ] || step root_client set s1 150 || return 1
    STEP="node at target, write bits off"
    step node_is $BL 150 || return 1
    step mode_is $BL 444 || return 1
    STEP="status from system_server (uid 1000), to be $ss"
    step client system_server 1000 $ss status || return 1
    STEP="probe as root in $DDOM: system_server $ss, system_app $sa"
    step probe_says $ss $sa || return 1
    STEP="stop from system_server (root), to be $ss"
    step client system_server 0 $ss stop s1 || return 1
    [ $ss = allowed ] || step root_client stop s1 || return 1
    stopped || return 1
    kill $LPID
    wait $LPID
    LPID=
}

case "$1" in
    setup)
        setup
        ;;
    run | manager)
        [ "$($SEL/seltool con)" = u:r:init:s0 ] || { echo "SEL: FATAL not in init's domain"; exit 1; }
        each=run_one
        [ "$1" = run ] || each=manager_run
        while read -r line; do
            $each $line
        done <"$2"
        reset_state
        ;;
    *)
        echo "usage: guest.sh setup | run LIST | manager LIST" >&2
        exit 2
        ;;
esac
