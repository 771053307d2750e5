// Fault injection: the real daemon runs under strace, which fails one
// system call (or a series of them) at a chosen moment of a hold cycle:
// start-up, ARM, arming at SET, a STATUS, a correction, the release at a
// pause, the arming again at resume, the release at STOP. Each case checks
// the outcome the daemon documents for that failure, and every case checks
// the invariants that no failure may break:
//
//  * no hang: the daemon ends on its own, after STOP, or after SIGTERM;
//  * the node never lacks its write bits without a whole permission record
//    that restores them, and a record is never torn;
//  * the health record, when there is one, is one whole line;
//  * a `--recover` run without faults afterwards leaves the node at 0664
//    and nothing at the record's path.
//
// Choosing the moment. strace counts the calls of the injected system call
// per process, only among the calls that touch the paths given with -P
// (descriptors count by the file they refer to), and fails the call with a
// given number. Rather than hard-coding numbers that any change to the
// daemon would shift, each case first makes a trial run of the same cycle
// under strace without a fault: the test records the wall-clock moment at
// which it starts each step, strace stamps every call (-ttt), and the
// call's number is that of the first call in the intended step whose line
// holds the expected text (e.g. O_WRONLY), optionally after another call
// (the read-back after the write). The real run then fails that call, and
// the call marked INJECTED must be that very call, in that step; if timing
// made the runs differ, the case is tried again, and after three misses it
// fails.
//
// Every case prints a line "FAULT-MATRIX|..." (syscall, moment, injection,
// expected outcome, observed outcome, verdict); scripts/fault-matrix.sh
// runs them all and prints the table. strace is required under CI; when it
// is missing elsewhere the cases are skipped.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/integration/hold_client.h"
#include "tests/integration/tracing.h"

namespace sandbox {
namespace {

constexpr int kHeldValue = 150;
constexpr const char* kSession = "fault";
constexpr int kAttempts = 3;

// The steps of the cycle, in the order the test starts them. `any` accepts
// an injection anywhere; so does `loop_start`, whose calls come once per
// process right after the readiness line, which is also when the test
// starts its next step.
enum class Moment { startup, loop_start, arm, set, status, correction, pause, resume, stop, any };

const char* moment_name(Moment m) {
    switch (m) {
        case Moment::startup: return "start-up";
        case Moment::loop_start: return "hold-loop start";
        case Moment::arm: return "ARM";
        case Moment::set: return "arming (SET)";
        case Moment::status: return "STATUS";
        case Moment::correction: return "holding (correction)";
        case Moment::pause: return "release (pause)";
        case Moment::resume: return "arming again (resume)";
        case Moment::stop: return "release (STOP) and shutdown";
        case Moment::any: return "throughout";
    }
    return "?";
}

struct FaultCase {
    const char* id;       // test name
    const char* syscall;  // strace's name of the system call
    Moment moment;
    const char* fault;  // strace's fault: "error=EIO" or "retval=N"
    // Which calls fail: "found" (the call the trial run finds, see
    // locate_call), "found+" (that call and every later one), or a fixed
    // strace count expression such as "2+3" for calls that are not tied to
    // one step.
    const char* when;
    std::vector<std::string> paths;  // -P filters; empty: every call counts
    const char* must_contain;        // text the injected call's line must hold
    const char* expected;            // the documented outcome, as observed() words it
    bool outdoor = false;            // run --outdoor instead of a hold cycle
    bool crash_left_record = false;  // start with a record left by a killed hold
    bool give_bits_back = false;     // the device manager restores the bits while held
    bool check_poll_cap = false;     // every hold-loop wait is at most 250 ms
    int request_timeout_ms = 3000;   // how long a client waits for a reply
    // "found": only a call after the first call of this system call whose
    // line holds after_text (traced alongside) counts, e.g. the read-back
    // after the write. Empty: no such condition.
    const char* after_syscall = "";
    const char* after_text = "";
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.id;
}

FaultCase in_outdoor_mode(FaultCase c) {
    c.outdoor = true;
    return c;
}
FaultCase after_crash(FaultCase c) {
    c.crash_left_record = true;
    return c;
}
FaultCase with_bits_given_back(FaultCase c) {
    c.give_bits_back = true;
    return c;
}
FaultCase with_poll_cap_check(FaultCase c) {
    c.check_poll_cap = true;
    return c;
}
FaultCase with_patience_ms(FaultCase c, int ms) {
    c.request_timeout_ms = ms;
    return c;
}
FaultCase after_call(FaultCase c, const char* syscall, const char* text) {
    c.after_syscall = syscall;
    c.after_text = text;
    return c;
}

// Outcome phrases; a case's expected text is these joined by ", ".
#define ARMED "ARM armed"
#define SET_OK "SET readback_ok"
#define STATUS_OK "STATUS status"
#define HOLD_TO_STOP "corrected, paused, resumed, STOP released, exit 0, left clean"
#define FULL_CYCLE ARMED ", " SET_OK ", " STATUS_OK ", " HOLD_TO_STOP
#define UNTIL_STATUS ARMED ", " SET_OK ", " STATUS_OK
// The outcome families the table repeats.
#define START_FAILS(stage, code, err) \
    "start fails: stage=" #stage " exit=" #code " errno=" #err ", exit " #code ", left clean"
#define ARM_HEALTH_FAILS(err) "ARM health_state_failed errno=" #err ", exit 0, left clean"
#define ARM_RETRIED ", retry armed, " SET_OK ", " STATUS_OK ", " HOLD_TO_STOP
#define SET_FAILS(err) ARMED ", SET write_or_readback_failed errno=" #err ", exit 0, left clean"
#define ENDS_IN_HOLD(err) UNTIL_STATUS ", ends in hold (last_error " #err "), exit 0, left clean"
#define ENDS_AT_PAUSE_LEAVING(left) UNTIL_STATUS ", corrected, ends at pause (last_error 0), exit 0, left " left
#define ENDS_AT_RESUME(err) UNTIL_STATUS ", corrected, paused, ends at resume (last_error " #err "), exit 0, left clean"
// A release that could not give the bits back ends the process with 3.
#define ENDS_AT_PAUSE_RESTORE_FAILS(err, left) \
    UNTIL_STATUS ", corrected, ends at pause (last_error " #err "), exit 3, left " left
#define STOP_RESTORE_FAILS(err) \
    UNTIL_STATUS ", corrected, paused, resumed, STOP permission_restore_failed errno=" #err ", exit 3"

const std::string kRecord = kPermissionRecord;
const std::string kPrivate = kPrivateDir;
const std::string kHealthNew = kMainPanelHealthTmp;
const std::string kNode = kNodePath;
const std::string kBoot = kBootIdPath;
const std::string kLease = kMainPanelLease;

// One case per entry reads better than one field per line.
// clang-format off
const std::vector<FaultCase>& fault_cases() {
    static const std::vector<FaultCase> cases = {
        // ---- start-up ----
        // A lock that stays busy fails the start after a brief wait; one
        // busy for an instant (outdoor mode's probe) is waited out; any
        // other failure of the lock fails at once.
        {"flock_lock", "flock", Moment::startup, "error=EAGAIN", "found+", {}, "LOCK_EX",
         START_FAILS(root_private_lock, 2, 11)},
        {"flock_lock_busy_once", "flock", Moment::startup, "error=EAGAIN", "found", {}, "LOCK_EX", FULL_CYCLE},
        {"flock_lock_nolck", "flock", Moment::startup, "error=ENOLCK", "found", {}, "LOCK_EX",
         START_FAILS(root_private_lock, 2, 37)},
        {"openat_boot_id", "openat", Moment::startup, "error=EACCES", "found", {kBoot}, "boot_id",
         START_FAILS(boot_identity, 3, 13)},
        {"read_boot_id", "read", Moment::startup, "error=EIO", "found", {kBoot}, "boot_id",
         START_FAILS(boot_identity, 3, 5)},
        {"openat_record_startup", "openat", Moment::startup, "error=EACCES", "found", {kRecord}, "permissions",
         START_FAILS(restore_permissions, 3, 13)},
        {"read_node_startup", "read", Moment::startup, "error=EIO", "found", {kNode}, "brightness",
         START_FAILS(main_panel_range, 4, 5)},
        {"openat_node_probe", "openat", Moment::startup, "error=EACCES", "found", {kNode}, "O_WRONLY",
         START_FAILS(primary_node_open, 4, 13)},
        {"socket", "socket", Moment::startup, "error=EMFILE", "found", {}, "AF_UNIX",
         START_FAILS(control_socket, 5, 24)},
        {"bind", "bind", Moment::startup, "error=EADDRINUSE", "found", {}, kControlSocketName,
         START_FAILS(control_socket, 5, 98)},
        {"listen", "listen", Moment::startup, "error=EADDRINUSE", "found", {}, "", START_FAILS(control_socket, 5, 98)},
        with_poll_cap_check({"inotify_init1", "inotify_init1", Moment::loop_start, "error=EMFILE", "1", {}, "",
                             FULL_CYCLE}),
        with_poll_cap_check({"inotify_add_watch", "inotify_add_watch", Moment::loop_start, "error=ENOSPC", "1", {},
                             kSystemDir, FULL_CYCLE}),
        // A record left by a killed hold, which start-up must apply.
        after_crash({"fchmod_restore_startup", "fchmod", Moment::startup, "error=EPERM", "found", {kNode}, "0664",
                     "start fails: stage=restore_permissions exit=3 errno=1, exit 3, left node 0444 + whole record"}),
        after_crash({"read_record_startup", "read", Moment::startup, "error=EIO", "found", {kRecord}, "permissions",
                     "start fails: stage=restore_permissions exit=3 errno=22, exit 3, left node 0444 + whole record"}),
        after_crash({"unlink_record_startup", "unlink", Moment::startup, "error=EBUSY", "found", {kRecord}, "permissions",
                     "start fails: stage=restore_permissions exit=3 errno=16, exit 3, left record (node writable)"}),

        // ---- ARM: the health record and the request ----
        {"openat_health_arm", "openat", Moment::arm, "error=EACCES", "found", {kHealthNew}, "health.new",
         ARM_HEALTH_FAILS(13)},
        {"fchmod_health_arm", "fchmod", Moment::arm, "error=EPERM", "found", {kHealthNew}, "health.new",
         ARM_HEALTH_FAILS(1)},
        {"write_health_arm", "write", Moment::arm, "error=ENOSPC", "found", {kHealthNew}, "health.new",
         ARM_HEALTH_FAILS(28)},
        {"write_health_short_arm", "write", Moment::arm, "retval=3", "found", {kHealthNew}, "health.new",
         ARM_HEALTH_FAILS(5)},
        {"rename_health_arm", "rename", Moment::arm, "error=EIO", "found", {}, "health.new", ARM_HEALTH_FAILS(5)},
        {"read_lease_arm", "read", Moment::arm, "error=EIO", "found", {kLease}, "lease",
         "ARM stale_or_invalid_request errno=0" ARM_RETRIED},
        {"accept4_arm", "accept4", Moment::arm, "error=EMFILE", "found", {}, "", FULL_CYCLE},
        {"getsockopt_arm", "getsockopt", Moment::arm, "error=ENOBUFS", "found", {}, "SO_PEERCRED",
         "ARM no reply" ARM_RETRIED},
        {"recv_request_arm", "recvfrom", Moment::arm, "error=ENOMEM", "found", {}, "", "ARM no reply" ARM_RETRIED},
        // Without its receive timeout the request is still read, within
        // the same time limit.
        {"setsockopt_timeout_arm", "setsockopt", Moment::arm, "error=ENOMEM", "found", {}, "SO_RCVTIMEO", FULL_CYCLE},

        // ---- arming the write guard at SET ----
        // The record is looked for first, then made unnamed, written,
        // synced, linked into place, and its directory synced.
        {"lstat_record_arming", "newfstatat", Moment::set, "error=EACCES", "found", {kRecord}, "permissions",
         SET_FAILS(13)},
        {"openat_unnamed_arming", "openat", Moment::set, "error=ENOSPC", "found", {kPrivate}, "O_TMPFILE", SET_FAILS(28)},
        // A file system without unnamed files: the record goes through a
        // temporary name instead.
        {"openat_unnamed_unsupported", "openat", Moment::set, "error=EOPNOTSUPP", "found", {kPrivate}, "O_TMPFILE",
         FULL_CYCLE},
        {"write_record_arming", "write", Moment::set, "error=EIO", "found", {}, "\"v2\\n", SET_FAILS(5)},
        {"write_record_short_arming", "write", Moment::set, "retval=20", "found", {}, "\"v2\\n", SET_FAILS(5)},
        {"fsync_arming", "fsync", Moment::set, "error=EIO", "found", {}, "tavorin_module_workspace", SET_FAILS(5)},
        {"linkat_arming", "linkat", Moment::set, "error=EPERM", "found", {}, "permissions", SET_FAILS(1)},
        // The directory, once the record has its name: a failure takes the
        // record away again before the node is touched.
        {"fsync_dir_arming", "fsync", Moment::set, "error=EIO", "found", {}, "tavorin_module_workspace>",
         SET_FAILS(5)},
        {"openat_node_arming", "openat", Moment::set, "error=EACCES", "found", {kNode}, "O_WRONLY", SET_FAILS(13)},
        // A failed fchmod is followed by a full release; the reply still
        // names the fchmod's error, not what the release's lookups left.
        {"fchmod_node_arming", "fchmod", Moment::set, "error=EPERM", "found", {kNode}, "0444", SET_FAILS(1)},
        {"lseek_arming", "lseek", Moment::set, "error=EINVAL", "found", {kNode}, "SEEK_SET", SET_FAILS(22)},
        {"write_node_arming", "write", Moment::set, "error=EIO", "found", {kNode}, "\"150\"", SET_FAILS(5)},
        {"write_node_short_arming", "write", Moment::set, "retval=1", "found", {kNode}, "\"150\"", SET_FAILS(5)},
        // The read-back: the first read of the node after SET's write.
        after_call({"read_node_readback", "read", Moment::set, "error=EIO", "found", {kNode}, "brightness",
                    SET_FAILS(34)}, "write", "\"150\""),

        // ---- a STATUS while holding ----
        {"accept4_status", "accept4", Moment::status, "error=ECONNABORTED", "found", {}, "", FULL_CYCLE},
        // Failing for good (as with a descriptor table that stays full):
        // requests go unanswered, but the hold goes on correcting and
        // following the lease, and SIGTERM still ends it.
        with_patience_ms({"accept4_always_from_status", "accept4", Moment::status, "error=EMFILE", "found+", {}, "",
                          ARMED ", " SET_OK ", STATUS no reply, retry no reply, corrected, paused, resumed, STOP no "
                                "reply, retry no reply, ended by SIGTERM, exit 0, left clean"}, 1000),
        {"getsockopt_status", "getsockopt", Moment::status, "error=ENOBUFS", "found", {}, "SO_PEERCRED",
         ARMED ", " SET_OK ", STATUS no reply, retry status, " HOLD_TO_STOP},

        // ---- holding: the read-back and correction ----
        {"read_node_correction", "read", Moment::correction, "error=EIO", "found", {kNode}, "brightness",
         ENDS_IN_HOLD(5)},
        {"write_node_correction", "write", Moment::correction, "error=EIO", "found", {kNode}, "\"150\"",
         ENDS_IN_HOLD(5)},
        {"lseek_correction", "lseek", Moment::correction, "error=EINVAL", "found", {kNode}, "SEEK_SET",
         ENDS_IN_HOLD(22)},
        // The device manager gave the write bits back; clearing them again
        // fails once and is simply retried.
        with_bits_given_back({"fchmod_reclear_correction", "fchmod", Moment::correction, "error=EPERM", "found",
                              {kNode}, "0444", FULL_CYCLE}),
        {"ppoll_every_third", "ppoll", Moment::any, "error=ENOMEM", "2+3", {}, "", FULL_CYCLE},

        // ---- the release when the lease turns to paused ----
        // The bits go back through the held descriptor first and through
        // the node path when that fails: one failed call is healed, a call
        // that keeps failing ends the hold.
        {"fchmod_node_pause", "fchmod", Moment::pause, "error=EPERM", "found", {kNode}, "0664", FULL_CYCLE},
        {"fchmod_node_pause_always", "fchmod", Moment::pause, "error=EPERM", "found+", {kNode}, "0664",
         ENDS_AT_PAUSE_RESTORE_FAILS(1, "node 0444 + whole record")},
        {"openat_record_pause", "openat", Moment::pause, "error=EACCES", "found+", {kRecord}, "permissions",
         ENDS_AT_PAUSE_RESTORE_FAILS(13, "node 0444 + whole record")},
        // A record that cannot be read is one that cannot be trusted.
        {"read_record_pause", "read", Moment::pause, "error=EIO", "found+", {kRecord}, "permissions",
         ENDS_AT_PAUSE_RESTORE_FAILS(22, "node 0444 + whole record")},
        {"unlink_record_pause", "unlink", Moment::pause, "error=EBUSY", "found+", {kRecord}, "permissions",
         ENDS_AT_PAUSE_RESTORE_FAILS(16, "record (node writable)")},
        {"rename_health_pause", "rename", Moment::pause, "error=EIO", "found", {}, "health.new",
         ENDS_AT_PAUSE_LEAVING("clean")},

        // ---- arming again at resume ----
        {"fsync_resume", "fsync", Moment::resume, "error=EIO", "found", {}, "tavorin_module_workspace", ENDS_AT_RESUME(5)},
        {"linkat_resume", "linkat", Moment::resume, "error=EEXIST", "found", {}, "permissions", ENDS_AT_RESUME(17)},

        // ---- the release at STOP, and the shutdown ----
        {"fchmod_node_stop", "fchmod", Moment::stop, "error=EPERM", "found", {kNode}, "0664", FULL_CYCLE},
        {"fchmod_node_stop_always", "fchmod", Moment::stop, "error=EPERM", "found+", {kNode}, "0664",
         STOP_RESTORE_FAILS(1) ", left node 0444 + whole record"},
        {"unlink_record_stop", "unlink", Moment::stop, "error=EBUSY", "found+", {kRecord}, "permissions",
         STOP_RESTORE_FAILS(16) ", left record (node writable)"},
        {"rename_health_shutdown", "rename", Moment::stop, "error=EIO", "found", {}, "health.new", FULL_CYCLE},

        // ---- outdoor mode ----
        in_outdoor_mode({"outdoor_inotify_add_watch", "inotify_add_watch", Moment::startup, "error=ENOSPC", "1", {},
                         kSystemDir, "exit 7, left clean"}),
        in_outdoor_mode({"outdoor_inotify_init1", "inotify_init1", Moment::startup, "error=EMFILE", "1", {}, "",
                         "exit 7, left clean"}),
        in_outdoor_mode({"outdoor_flock", "flock", Moment::startup, "error=EAGAIN", "1", {}, "outdoor-node.lock",
                         "exit 2, left clean"}),
    };
    return cases;
}
// clang-format on

// "EIO on call 8 of read on brightness"
std::string describe_injection(const FaultCase& c, const std::string& when) {
    std::string fault = c.fault;
    if (fault.rfind("error=", 0) == 0) fault = fault.substr(6);
    if (fault.rfind("retval=", 0) == 0) fault = "short (returns " + fault.substr(7) + ")";
    std::string calls;
    if (when.empty()) {
        calls = "call not found";
    } else if (when.find('+') == std::string::npos) {
        calls = "call " + when;
    } else if (when.back() == '+') {
        calls = "calls " + when;
    } else {
        calls = "every " + when.substr(when.find('+') + 1) + " calls from call " + when.substr(0, when.find('+'));
    }
    std::string on;
    for (const std::string& p : c.paths) on += (on.empty() ? " on " : ",") + p.substr(p.rfind('/') + 1);
    return fault + ", " + calls + on;
}

// Case-by-case expected text matching: "*" stands for one run of
// characters up to the next blank or comma.
bool outcome_matches(const std::string& expected, const std::string& observed) {
    std::string pattern;
    for (char ch : expected) {
        if (ch == '*') {
            pattern += "[^ ,]+";
        } else if (strchr("\\^$.|?+()[]{}", ch)) {
            pattern += std::string("\\") + ch;
        } else {
            pattern += ch;
        }
    }
    return std::regex_match(observed, std::regex(pattern));
}

struct LogCall {
    int64_t at_us = 0;
    std::string text;
};

// The strace log: one call per line, "PID SECONDS.MICROS call(...) = ...".
std::vector<LogCall> read_log(const std::string& path) {
    std::vector<LogCall> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string pid;
        std::string stamp;
        if (!(fields >> pid >> stamp)) continue;
        size_t dot = stamp.find('.');
        if (dot == std::string::npos) continue;
        LogCall call;
        call.at_us = std::stoll(stamp.substr(0, dot)) * 1000000 + std::stoll(stamp.substr(dot + 1));
        call.text = line.substr(line.find(stamp) + stamp.size() + 1);
        out.push_back(call);
    }
    return out;
}

std::string octal(mode_t mode) {
    char text[16];
    snprintf(text, sizeof text, "%04o", (unsigned)mode);
    return text;
}

pid_t child_of(pid_t parent) {
    std::string path = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
    if (auto text = read_file(path)) {
        int pid = atoi(text->c_str());
        if (pid > 0) return pid;
    }
    return -1;
}

struct RunResult {
    std::vector<std::string> tokens;
    std::string observed;
    int exit_code = -1;
    bool hung = false;
    std::string stderr_text;
    std::vector<LogCall> log;
    std::vector<int64_t> step_start_us;  // by Moment, 0 when not reached
    std::string injected;                // first call marked INJECTED
    int injected_calls = 0;              // how many were
    std::string landing_problem;         // empty when it landed as intended
    bool node_without_bits_unrecorded = false;
    bool torn_record = false;
    std::string torn_health;
    std::string poll_cap_problem;
};

class FaultInjectionTest : public SandboxTest, public ::testing::WithParamInterface<FaultCase> {
  protected:
    FakeNode* node_ = nullptr;
    std::string strace_;
    int run_number_ = 0;

    void SetUp() override {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string why;
        strace_ = tracing::usable_strace(&why);
        if (strace_.empty()) {
            if (running_in_ci()) FAIL() << "the fault-injection tests need strace: " << why;
            GTEST_SKIP() << why;
        }
        node_ = add_node();
        ASSERT_NE(node_, nullptr);
    }

    // strace in front of the daemon: every traced call stamped with the
    // wall clock, descriptors shown with their paths, no signal lines; with
    // `when` empty it only traces (the trial run).
    std::string emulator(const FaultCase& c, const std::string& log, const std::string& when) const {
        std::string trace = c.syscall;
        if (c.check_poll_cap) trace += ",ppoll";
        if (*c.after_syscall) trace += std::string(",") + c.after_syscall;
        std::string cmd =
            strace_ + " -f --seccomp-bpf -e quiet=all -e signal=none -ttt -y -o " + log + " -e trace=" + trace;
        for (const std::string& p : c.paths) cmd += " -P " + p;
        if (!when.empty()) cmd += " -e inject=" + std::string(c.syscall) + ":" + c.fault + ":when=" + when;
        return cmd;
    }

    // A hold killed while armed: node at 0444, a whole record beside it.
    void leave_crash_record() {
        ASSERT_EQ(write_main_panel_lease(kSession, getpid(), monotonic_ms() + hold::kLeaseAheadMs, 1, kHeldValue), 0);
        Daemon d;
        ASSERT_TRUE(d.start({"--daemon", "--node", kNodePath}));
        std::string why;
        ASSERT_TRUE(wait_ready(d, &why)) << why;
        ASSERT_EQ(reason_of(send_request("ARM " + std::string(kSession) + " " + std::to_string(getpid()))),
                  "armed");
        ASSERT_EQ(reason_of(send_request("SET " + std::string(kSession) + " 150")), "readback_ok");
        d.shutdown();
        ASSERT_EQ(node_->mode(), 0444u);
        ASSERT_TRUE(path_exists(kPermissionRecord));
    }

    void reset_world() {
        node_->set_value(kHeldValue);
        node_->set_mode(0664);
        for (const char* p : {kMainPanelHealth, kMainPanelHealthTmp, kPermissionRecordTmp, kMainPanelLease}) unlink(p);
    }

    RunResult run_once(const FaultCase& c, const std::string& when) {
        RunResult r;
        r.step_start_us.assign((int)Moment::any + 1, 0);
        reset_world();
        if (c.crash_left_record) {
            leave_crash_record();
            if (HasFatalFailure()) return r;
        }
        const std::string log = "/sandbox/fault-" + std::string(c.id) + "-" + std::to_string(++run_number_) + ".log";
        if (!c.outdoor) {
            int64_t deadline = monotonic_ms() + hold::kLeaseAheadMs;
            EXPECT_EQ(write_main_panel_lease(kSession, getpid(), deadline, 1, kHeldValue), 0);
        }

        Daemon d;
        setenv("VELTARIS_EMULATOR", emulator(c, log, when).c_str(), 1);
        r.step_start_us[(int)Moment::startup] = hold::realtime_us();
        bool started =
            c.outdoor ? d.start({"--outdoor", "--node", kNodePath}) : d.start({"--daemon", "--node", kNodePath});
        unsetenv("VELTARIS_EMULATOR");
        if (!started) {
            ADD_FAILURE() << "could not start strace";
            return r;
        }
        pid_t daemon_pid = -1;
        auto gone = [&] { return !d.running(); };
        auto mark = [&](Moment m) { r.step_start_us[(int)m] = hold::realtime_us(); };
        auto say = [&](const std::string& t) { r.tokens.push_back(t); };
        int ends_token = -1;  // a token that still needs the last error

        // One request as root; a refusal or silence is retried once, as a
        // client would.
        auto request = [&](const std::string& word, const std::string& line, const std::string& good) {
            const std::chrono::milliseconds patience(c.request_timeout_ms);
            auto reply = send_request(line, 0, patience);
            std::string reason = reason_of(reply);
            std::string t = word + " " + (reply ? reason : "no reply");
            if (reply && reason != good) t += " errno=" + json_field(*reply, "errno").value_or("?");
            if ((!reply || reason == "stale_or_invalid_request") && !gone()) {
                reply = send_request(line, 0, patience);
                reason = reason_of(reply);
                t += ", retry " + std::string(reply ? reason : "no reply");
                if (reply && reason != good) t += " errno=" + json_field(*reply, "errno").value_or("?");
            }
            say(t);
            return reason == good;
        };
        // Waits for what a step should bring about, or for the daemon to end.
        auto step = [&](const std::string& ok_word, const std::string& where, const std::function<bool()>& done) {
            wait_until([&] { return gone() || done(); }, 5s, 5ms);
            if (!gone() && done()) {
                say(ok_word);
                return true;
            }
            if (gone() || wait_until(gone, 3s)) {
                ends_token = (int)r.tokens.size();
                say("ends " + where);
            } else {
                say(ok_word + " did not happen");
            }
            return false;
        };

        [&] {
            if (c.outdoor) {
                if (!wait_until(gone, 5s)) say("runs");
                return;
            }
            auto ready = d.wait_for_line("NATIVE_READY ", 20s);
            if (!ready) {
                wait_until(gone, 10s);
                std::string fail;
                for (const std::string& l : d.line_texts()) {
                    if (l.rfind("NATIVE_START_FAIL ", 0) == 0) fail = l.substr(18);
                }
                size_t paren = fail.find(" (");
                if (paren != std::string::npos) fail.resize(paren);
                say(fail.empty() ? "no readiness line" : "start fails: " + fail);
                return;
            }
            size_t at = ready->find(" pid=");
            if (at != std::string::npos) daemon_pid = atoi(ready->c_str() + at + 5);
            const std::string pid = std::to_string(getpid());

            mark(Moment::arm);
            if (!request("ARM", "ARM " + std::string(kSession) + " " + pid, "armed")) return;
            mark(Moment::set);
            if (!request("SET", "SET " + std::string(kSession) + " " + std::to_string(kHeldValue), "readback_ok")) {
                return;
            }
            mark(Moment::status);
            request("STATUS", "STATUS", "status");
            if (gone()) return;

            size_t from = d.line_count();
            mark(Moment::correction);
            node_->set_value(80);
            if (c.give_bits_back) node_->set_mode(0664);
            if (!step("corrected", "in hold", [&] {
                    return d.wait_for_line("NATIVE_CORRECTION actual=80 ", 0ms, from).has_value() &&
                           node_->mode() == 0444;
                })) {
                return;
            }
            from = d.line_count();
            mark(Moment::pause);
            write_main_panel_lease(kSession, getpid(), monotonic_ms() + hold::kLeaseAheadMs, 0, kHeldValue);
            if (!step("paused", "at pause", [&] {
                    return d.wait_for_line("NATIVE_PAUSED ", 0ms, from).has_value() && node_->mode() == 0664 &&
                           !path_exists(kPermissionRecord);
                })) {
                return;
            }
            node_->set_value(90);
            from = d.line_count();
            mark(Moment::resume);
            write_main_panel_lease(kSession, getpid(), monotonic_ms() + hold::kLeaseAheadMs, 1, kHeldValue);
            if (!step("resumed", "at resume", [&] {
                    return d.wait_for_line("NATIVE_CORRECTION actual=90 ", 0ms, from).has_value() &&
                           node_->mode() == 0444;
                })) {
                return;
            }
            mark(Moment::stop);
            request("STOP", "STOP", "released");
        }();

        // The end: on its own, after STOP, or after SIGTERM; never a hang.
        if (!wait_until(gone, 3s)) {
            pid_t target = daemon_pid > 0 ? daemon_pid : child_of(d.pid());
            if (target > 0) kill(target, SIGTERM);
            if (wait_until(gone, 15s)) {
                r.tokens.push_back("ended by SIGTERM");
            } else {
                r.hung = true;
                r.tokens.push_back("HANG");
                if (target > 0) kill(target, SIGKILL);
            }
        }
        r.exit_code = d.wait_exit(20s);
        r.stderr_text = d.stderr_text();
        say("exit " + std::to_string(r.exit_code));

        auto health = read_file(kMainPanelHealth);
        if (ends_token >= 0) {
            // "session holding last_error time\n"; the session may be empty.
            std::string last_error = "?";
            if (health) {
                size_t first = health->find(' ');
                size_t second = first == std::string::npos ? first : health->find(' ', first + 1);
                size_t third = second == std::string::npos ? second : health->find(' ', second + 1);
                if (third != std::string::npos) last_error = health->substr(second + 1, third - second - 1);
            }
            r.tokens[ends_token] += " (last_error " + last_error + ")";
        }
        if (health && !hold::health_record_whole(*health)) r.torn_health = *health;

        // What the daemon left behind.
        mode_t mode = node_->mode();
        auto record = read_file(kPermissionRecord);
        bool whole = record && hold::permission_record_whole(*record, node_->real_brightness_path());
        bool writable = (mode & 0222) != 0;
        if (record && !whole) r.torn_record = true;
        if (!writable && !record) r.node_without_bits_unrecorded = true;
        std::ostringstream left;
        if (!record && mode == 0664) {
            left << "left clean";
        } else if (record && !writable) {
            left << "left node " << octal(mode) << (whole ? " + whole record" : " + TORN record");
        } else if (record) {
            left << "left record (node writable)" << (whole ? "" : " TORN");
        } else {
            left << "left node " << octal(mode) << " WITHOUT record";
        }
        say(left.str());

        for (size_t i = 0; i < r.tokens.size(); ++i) r.observed += (i ? ", " : "") + r.tokens[i];
        r.log = read_log(log);
        judge_landing(c, r);
        if (c.check_poll_cap) check_poll_cap(r);
        return r;
    }

    // The case's moment as wall-clock microseconds [from, to): from the
    // start of its step to the start of the next step the run reached.
    static std::pair<int64_t, int64_t> window(const FaultCase& c, const RunResult& r) {
        int64_t from = r.step_start_us[(int)c.moment];
        int64_t to = INT64_MAX;
        for (int m = (int)c.moment + 1; m < (int)Moment::any; ++m) {
            if (r.step_start_us[m] != 0) {
                to = r.step_start_us[m];
                break;
            }
        }
        return {from, to};
    }

    static bool is_call_of(const FaultCase& c, const LogCall& call) {
        return call.text.rfind(std::string(c.syscall) + "(", 0) == 0;
    }

    static bool is_marker(const FaultCase& c, const LogCall& call, std::pair<int64_t, int64_t> w) {
        return *c.after_syscall && call.text.rfind(std::string(c.after_syscall) + "(", 0) == 0 &&
               call.text.find(c.after_text) != std::string::npos && call.at_us >= w.first && call.at_us < w.second;
    }

    static bool means(const FaultCase& c, const LogCall& call, std::pair<int64_t, int64_t> w) {
        return call.at_us >= w.first && call.at_us < w.second &&
               (!*c.must_contain || call.text.find(c.must_contain) != std::string::npos);
    }

    // In a trial run without a fault: the number strace gives the call the
    // case means, the first call of the case's moment whose line holds
    // must_contain (after the after_syscall call, when one is named). The
    // log holds exactly the calls strace counts for the
    // injection (same system call, same -P paths), so the number is the
    // call's place in it. -1 when there is no such call.
    static int locate_call(const FaultCase& c, const RunResult& trial) {
        const auto w = window(c, trial);
        if (w.first == 0) return -1;
        int place = 0;
        bool marker_seen = !*c.after_syscall;
        for (const LogCall& call : trial.log) {
            if (is_marker(c, call, w)) marker_seen = true;
            if (!is_call_of(c, call)) continue;
            ++place;
            if (marker_seen && means(c, call, w)) return place;
        }
        return -1;
    }

    // Did the injection hit the call the case means? The calls before the
    // first injected one are those of the trial run, unless timing made the
    // runs differ (a slow machine adds a periodic read-back, say).
    static void judge_landing(const FaultCase& c, RunResult& r) {
        const LogCall* hit = nullptr;
        int matched_before = 0;
        bool marker_seen = !*c.after_syscall;
        const auto w = window(c, r);
        for (const LogCall& call : r.log) {
            if (!hit && is_marker(c, call, w)) marker_seen = true;
            if (call.text.find("(INJECTED)") == std::string::npos) {
                if (!hit && marker_seen && is_call_of(c, call) && means(c, call, w)) matched_before++;
                continue;
            }
            if (!hit) hit = &call;
            r.injected_calls++;
        }
        if (!hit) {
            r.landing_problem = "no call was injected";
            return;
        }
        r.injected = hit->text;
        if (*c.must_contain && hit->text.find(c.must_contain) == std::string::npos) {
            r.landing_problem = std::string("the injected call lacks \"") + c.must_contain + "\"";
            return;
        }
        if (c.moment == Moment::any || c.moment == Moment::loop_start) return;
        if (w.first == 0 || hit->at_us < w.first || hit->at_us >= w.second) {
            r.landing_problem = std::string("the injected call came outside ") + moment_name(c.moment);
        } else if (!marker_seen) {
            r.landing_problem = std::string("the injected call came before the ") + c.after_syscall + " it follows";
        } else if (std::string(c.when).rfind("found", 0) == 0 && matched_before > 0) {
            r.landing_problem =
                "the injected call was not the first of its kind in " + std::string(moment_name(c.moment));
        }
    }

    // Without change notification every wait of the hold loop is capped at
    // 250 ms and waits on the control socket alone.
    static void check_poll_cap(RunResult& r) {
        // ppoll([{fd=4<socket:[...]>, events=POLLIN}], 1, {tv_sec=0, tv_nsec=250000000}, ...
        static const std::regex wait(R"(^ppoll\(\[.*\], (\d+), \{tv_sec=(\d+), tv_nsec=(\d+)\})");
        int waits = 0;
        for (const LogCall& call : r.log) {
            std::smatch m;
            if (!std::regex_search(call.text, m, wait)) continue;
            waits++;
            long long ns = std::stoll(m[2]) * 1000000000LL + std::stoll(m[3]);
            if (m[1] != "1" || ns > 250000000LL) {
                r.poll_cap_problem = "wait not capped: " + call.text.substr(0, 160);
                return;
            }
        }
        if (waits == 0) r.poll_cap_problem = "no hold-loop wait seen";
    }

    // The invariants, then a clean --recover.
    void check_invariants(const RunResult& r) {
        EXPECT_FALSE(r.hung) << "the daemon did not end after STOP or SIGTERM";
        EXPECT_FALSE(r.node_without_bits_unrecorded)
            << "the node was left without write bits and without a record to restore them";
        EXPECT_FALSE(r.torn_record) << "torn permission record: " << read_file(kPermissionRecord).value_or("");
        EXPECT_EQ(r.torn_health, "") << "torn health record";

        Outcome rec = run_to_end({"--recover"});
        EXPECT_EQ(rec.code, 0) << "--recover after the fault: " << rec.err;
        EXPECT_EQ(node_->mode(), 0664u) << "after --recover";
        EXPECT_FALSE(path_exists(kPermissionRecord)) << "after --recover";
    }
};

TEST_P(FaultInjectionTest, Case) {
    const FaultCase& c = GetParam();
    const bool find_it = std::string(c.when).rfind("found", 0) == 0;
    RunResult r;
    std::string when;
    std::string misses;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        when = c.when;
        if (find_it) {
            // A trial run without a fault finds the call's number.
            RunResult trial = run_once(c, "");
            if (HasFatalFailure()) return;
            check_invariants(trial);
            if (HasFatalFailure()) return;
            int place = locate_call(c, trial);
            if (place < 0) {
                when.clear();
                misses += "\n  attempt " + std::to_string(attempt) + ": the trial run made no such call (" +
                          trial.observed + ")";
                continue;
            }
            when = std::to_string(place) + (c.when[strlen(c.when) - 1] == '+' ? "+" : "");
        }
        r = run_once(c, when);
        if (HasFatalFailure()) return;
        check_invariants(r);
        if (HasFatalFailure()) return;
        if (r.landing_problem.empty()) break;
        misses += "\n  attempt " + std::to_string(attempt) + ": " + r.landing_problem + " (" +
                  (r.injected.empty() ? "-" : r.injected.substr(0, 200)) + ")";
    }
    const bool landed = !when.empty() && r.landing_problem.empty();
    const bool as_expected = landed && outcome_matches(c.expected, r.observed) && r.poll_cap_problem.empty();

    const char* verdict = !landed ? "MISSED" : as_expected ? "ok" : "DIFFERS";
    printf("FAULT-MATRIX|%s|%s|%s|%s|%s|%s|%s\n", c.id, c.syscall, moment_name(c.moment),
           describe_injection(c, when).c_str(), c.expected, r.observed.c_str(), verdict);
    printf("FAULT-CALL|%s|%d failed; first: %s\n", c.id, r.injected_calls, r.injected.substr(0, 300).c_str());
    fflush(stdout);
    RecordProperty("expected", c.expected);
    RecordProperty("observed", r.observed);
    RecordProperty("injected", r.injected);

    ASSERT_TRUE(landed) << "the injection never hit the intended call:" << misses;
    EXPECT_TRUE(outcome_matches(c.expected, r.observed)) << "expected: " << c.expected << "\nobserved: " << r.observed
                                                         << "\ninjected: " << r.injected << "\ndaemon stderr:\n"
                                                         << r.stderr_text;
    EXPECT_EQ(r.poll_cap_problem, "");
    if (std::string(c.when) == "found+" && std::string(c.syscall) == "accept4") {
        // A connection that cannot be accepted stays pending; the loop must
        // not spin on it (it made hundreds of thousands of calls a second).
        EXPECT_LT(r.injected_calls, 500) << "accept4 was retried in a tight loop";
    }
}

INSTANTIATE_TEST_SUITE_P(Fault, FaultInjectionTest, ::testing::ValuesIn(fault_cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.id); });

}  // namespace
}  // namespace sandbox
