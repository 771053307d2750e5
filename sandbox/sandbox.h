// The test sandbox: runs the real daemon (or node code in-process) against
// a private, disposable Android-like file system, so that nothing of the
// machine's own /data, /sys, /dev or /proc is ever touched.
//
// Abilities, and how a test uses them:
//
// * Fixture. Derive the test from SandboxTest (TEST_F). SetUp moves the
//   test process into new mount and network namespaces and pivots into a
//   fresh root in which the host's top-level directories are bound, except:
//     /data  tmpfs (0771, 1000:1000) with /data/adb (0700 root), the
//            private directory /data/adb/tavorin_module_workspace (0700
//            root, see SandboxOptions) and /data/system (0771, 1000:1000);
//     /sys   tmpfs with empty /sys/class/{backlight,leds},
//            /sys/devices/platform and /sys/fs/cgroup;
//     /dev   tmpfs with null, zero, full, random, urandom, tty and fuse
//            bound from the host;
//     /proc  a fresh procfs, with /proc/sys/kernel/random/boot_id replaced
//            by a file the test controls;
//     /sandbox  scratch space of the sandbox itself.
//   Abstract unix sockets live in the new network namespace, so parallel
//   tests never see each other's control socket. TearDown kills every
//   process the sandbox started, unmounts and returns the test process to
//   the namespaces it came from.
//   Without root the fixture skips the test; when $CI is set (to anything
//   but "0" or "false"), a sandbox that cannot be built fails the test
//   instead. Override sandbox_options() to change what SetUp creates.
//   ctest runs each test in its own process; running the whole binary at
//   once works too, since TearDown restores the original namespaces (it
//   needs the process to be single-threaded again, which it is once the
//   sandbox's own helpers are shut down).
//
// * Fake sysfs node: add_node(FakeNodeOptions) mounts a FUSE-served device
//   directory (see fake_node.h) and links it from /sys/class/<class>/<name>.
//   The FakeNode controls the value, the maximum, read/write failures, a
//   clamping driver, a panel-off zero, inode replacement, and reports the
//   mode and the writes it received.
//
// * The daemon: spawn_daemon(args) (or a local Daemon, daemon_process.h)
//   fork+execs the binary (from $VELTARISD, else the one built with the
//   tests, behind $VELTARIS_EMULATOR when set), collects its standard
//   error line by line (wait_for_line, lines) and its exit (wait_exit);
//   wait_ready and wait_outdoor_ready wait until it runs its loop.
//
// * Boot identity: set_boot_id(text) rewrites what the daemon reads from
//   /proc/sys/kernel/random/boot_id (default kDefaultBootId), e.g. to
//   simulate another boot.
//
// * Private directory: make_private_dir(mode, uid, gid) and
//   remove_private_dir() for directory-policy tests.
//
// * App-freezer targets: make_freezer_target(target, kind) creates one of
//   the four cgroup membership files as an accepting file (read what was
//   written with freezer_target_content), as one whose write fails
//   (ENOSPC, /dev/full bound over it) or as one that cannot be opened for
//   writing (EISDIR). By default none of them exists.
//
// * Other users: run_as(uid, gid, fn) runs fn in a child with those ids
//   and returns its exit status; write_file_as writes a file atomically
//   (temporary file and rename) as that user, e.g. lease files as 1000
//   (write_main_panel_lease); open_for_write_as tells whether a user may
//   write a file.
//
// * Other programs: run_program(argv, options) runs a program (a shell
//   script, the client) to its end as any user, in a chosen directory
//   with extra environment, and returns its exit status and output;
//   start_program starts one and leaves it running. Whatever such a
//   program leaves running in the background (a boot script's supervisor,
//   the daemons it starts) is reparented to the test process and killed at
//   teardown too. A program that could not be started says so apart from
//   its exit status (launch_error). Programs (and the daemon) run as
//   another user from wherever the build tree is: one that user cannot
//   reach (a checkout below root's own 0700 home) runs from a copy in
//   /sandbox (runnable_by).
//
// * system_server: start_system_server() runs a process whose first
//   command-line element is exactly "system_server"; killed at teardown.
//   wait_signal_caught(pid, sig) waits until a process handles a signal.
//
// * Control socket: send_request(line, uid) connects to the daemon's
//   abstract socket as root or any other uid, sends one line and returns
//   the reply (nullopt when nothing came); connect_control(uid) returns the
//   connected descriptor for tests that misbehave on purpose;
//   control_socket_listening() tells whether the daemon listens;
//   json_field and reason_of read a reply.
//
// * Files and time: read_file, write_file, stat_path/lstat_path,
//   file_mode, mkdir_p, wait_until(pred, timeout), monotonic_ms.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "process/protocol.h"
#include "sandbox/daemon_process.h"
#include "sandbox/fake_node.h"

namespace sandbox {

using namespace std::chrono_literals;

// The sandbox's boot identity as records carry it, and the file that holds
// it by default.
inline constexpr const char* kBootId = "0123abcd-4567-89ab-cdef-0123456789ab";
inline const std::string kDefaultBootId = std::string(kBootId) + "\n";

// The daemon's own files and names, taken from the daemon's definitions so
// that test code never spells them a second time.
inline constexpr const char* kPrivateDir = PRIVATE_DIR;
inline constexpr const char* kMainPanelLock = MAIN_PANEL_LOCK_PATH;
inline constexpr const char* kOutdoorLock = OUTDOOR_LOCK_PATH;
inline constexpr const char* kPermissionRecord = PERMISSION_RECORD_PATH;
inline constexpr const char* kPermissionRecordTmp = PERMISSION_RECORD_TMP_PATH;
inline constexpr const char* kSystemDir = LEASE_DIR;
inline constexpr const char* kMainPanelLease = MAIN_PANEL_LEASE_PATH;
inline constexpr const char* kMainPanelHealth = MAIN_PANEL_HEALTH_PATH;
inline constexpr const char* kMainPanelHealthTmp = MAIN_PANEL_HEALTH_TMP_PATH;
inline constexpr const char* kOutdoorLease = OUTDOOR_LEASE_PATH;
inline constexpr const char* kOutdoorHealth = OUTDOOR_HEALTH_PATH;
inline constexpr const char* kBootIdPath = BOOT_ID_PATH;
inline constexpr const char* kControlSocketName = CONTROL_SOCKET_NAME;
inline constexpr uid_t kSystemUid = SYSTEM_UID;

struct SandboxOptions {
    // Create the private directory with these attributes in SetUp.
    bool private_dir = true;
    mode_t private_dir_mode = 0700;
    uid_t private_dir_uid = 0;
    gid_t private_dir_gid = 0;
    std::string boot_id = kDefaultBootId;
};

// ---- building and leaving the sandbox (the fixture uses these) ----

enum class BuildResult { ok, unavailable, broken };
// Enters new namespaces and builds the sandbox root. `unavailable` means
// the machine cannot host it (no root, no namespaces, no FUSE); `broken`
// means something failed that should not have. *why explains.
BuildResult build_sandbox(const SandboxOptions& options, std::string* why);
// Kills everything started inside, unmounts, and returns to the original
// namespaces. Returns false (with *why) when that did not fully work.
bool leave_sandbox(std::string* why);
bool in_sandbox();
// True when $CI is set (and not "0" or "false").
bool running_in_ci();

// ---- boot identity, private directory, app-freezer targets ----

bool set_boot_id(const std::string& text);
std::string boot_id();

bool make_private_dir(mode_t mode = 0700, uid_t uid = 0, gid_t gid = 0);
bool remove_private_dir();
// rm -rf of path (no symbolic links followed).
bool remove_tree(const std::string& path);

enum class FreezerTarget { root_cgroup, uid0_cgroup, dev_freezer, freezer_cgroup };
enum class FreezerStandIn {
    accepting,       // a regular file; writes land in it
    refusing_write,  // opens, but every write fails with ENOSPC
    refusing_open,   // exists, but open for writing fails with EISDIR
};
const char* freezer_target_path(FreezerTarget target);
// Readable test names and messages.
void PrintTo(FreezerTarget target, std::ostream* os);
bool make_freezer_target(FreezerTarget target, FreezerStandIn kind);
std::optional<std::string> freezer_target_content(FreezerTarget target);

// ---- files ----

std::optional<std::string> read_file(const std::string& path);
// Creates or truncates path as the test's own user (root) and sets mode.
bool write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::optional<struct stat> stat_path(const std::string& path);
std::optional<struct stat> lstat_path(const std::string& path);
// Permission bits (07777) of path, following links; -1 when missing.
int file_mode(const std::string& path);
bool path_exists(const std::string& path);  // lstat succeeds
// mkdir -p, each new directory with mode.
bool mkdir_p(const std::string& path, mode_t mode = 0755);

// Polls pred until it returns true or timeout passes; returns its last
// answer.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = 10ms);
int64_t monotonic_ms();

// ---- other users and processes ----

// fork(), with the child set to die with the test process (or the bench)
// and to start from a clean signal state.
pid_t fork_child();
// Closes every descriptor from lowest upwards (in a child before exec).
void close_fds_from(int lowest);

// Runs fn in a child process with uid/gid (no supplementary groups) and
// returns its exit status (fn's result & 0xff; 128 + signal when killed;
// -1 when the child could not be made or ran past timeout). fn runs in a
// forked child: no gtest assertions in it.
int run_as(uid_t uid, gid_t gid, const std::function<int()>& fn,
           std::chrono::milliseconds timeout = 30s);
// Writes content to a temporary file in path's directory and renames it
// over path, all as uid/gid. Returns 0 or the errno of the failing step.
int write_file_as(uid_t uid, gid_t gid, const std::string& path, const std::string& content,
                  mode_t mode = 0600);
// 0 when uid (and gid = uid) may open path for writing, else the errno.
int open_for_write_as(uid_t uid, const std::string& path);

// ---- leases and records, as their writers make them ----

// The main-panel lease "SESSION PID DEADLINE ACTIVE TARGET\n" and the
// outdoor one "VERSION PID DEADLINE VALUE HELD\n" (v1 or v2), deadlines in
// monotonic_ms() milliseconds.
std::string main_panel_lease_line(const std::string& session, pid_t pid, int64_t deadline_ms, int active,
                                  int target);
std::string outdoor_lease_line(const std::string& version, pid_t pid, int64_t deadline_ms, int value, int held);
// Replaced whole the way the system user's client does it: with
// write_file_as as the system user, mode 0600 unless said otherwise.
int write_main_panel_lease(const std::string& session, pid_t pid, int64_t deadline_ms, int active, int target,
                           mode_t mode = 0600);
// A version 2 permission record: the saved bits in octal, the node's
// device and inode, the boot identity, the node path and its real path,
// one per line.
std::string v2_record(unsigned mode, uint64_t dev, uint64_t ino, const std::string& boot_id,
                      const std::string& node_path, const std::string& canonical_path);

// A process whose command line is { argv0, "3600" } (a sleeping stand-in),
// started as uid/gid; returns its pid once /proc/<pid>/cmdline shows argv0,
// or -1. Killed at teardown, or earlier with stop_process.
pid_t start_named_process(const std::string& argv0, uid_t uid = kSystemUid, gid_t gid = kSystemUid);
pid_t start_system_server(uid_t uid = kSystemUid, gid_t gid = kSystemUid);

struct ProgramOptions {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string cwd;               // empty: the test's own
    std::vector<std::string> env;  // "NAME=value", added to or replacing the test's environment
    std::chrono::milliseconds timeout = 60s;
};

struct ProgramResult {
    int code = -1;  // exit code, 128 + signal when killed, -1 when it ran past timeout
    std::string out;
    std::string err;
    // Empty when the program started; else what could not be done, e.g.
    // "cannot run /x/veltarisctl as uid 1000: Permission denied".
    std::string launch_error;
};

inline std::ostream& operator<<(std::ostream& os, const ProgramResult& r) {
    if (!r.launch_error.empty()) os << r.launch_error << ", ";
    return os << "exit " << r.code << ", stdout \"" << r.out << "\", stderr \"" << r.err << "\"";
}

// The path by which uid/gid can run program: program itself when that user
// can read and execute it (and always for root or a bare name looked up
// on PATH), else a copy in /sandbox, which every user can enter. The copy
// is made once per program and sandbox, and afresh when the program
// changes.
std::string runnable_by(const std::string& program, uid_t uid, gid_t gid);
// Runs argv (argv[0] searched on PATH) with standard input from /dev/null
// and waits for it. Its output goes to files, so a background process that
// keeps them open does not hold the wait up.
ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options = {});
// Starts argv with its output discarded; returns its pid or -1 (with the
// reason in *why when given). Killed at teardown, or earlier with
// stop_process.
pid_t start_program(const std::vector<std::string>& argv, const ProgramOptions& options = {},
                    std::string* why = nullptr);
// True once process pid catches sig (its handler is installed), read from
// /proc/<pid>/status. The daemon installs its stop handlers only after the
// readiness line, so a test that wants a clean stop waits for this before
// sending SIGTERM.
bool wait_signal_caught(pid_t pid, int sig, std::chrono::milliseconds timeout = 10s);
// Sends sig and waits for the process to end; returns its exit status as
// Daemon::wait_exit does.
int stop_process(pid_t pid, int sig = 9 /* SIGKILL */, std::chrono::milliseconds timeout = 10s);
// Running, and not a zombie waiting to be reaped.
bool process_alive(pid_t pid);

// ---- control socket ----

bool control_socket_listening();
// A stream socket connected to the daemon's control socket, made by a
// process with uid (and gid = uid); the peer credentials the daemon sees
// are those. uid 0 connects from the calling process itself, whatever user
// it runs as (inside run_as, say). The descriptor, or -1 with errno.
int connect_control(uid_t uid = 0);
// Sends line (a '\n' is added when it does not end with one) and reads
// until the daemon closes the connection or timeout passes. nullopt when
// the connection failed or nothing came back.
std::optional<std::string> send_request(const std::string& line, uid_t uid = 0,
                                        std::chrono::milliseconds timeout = 3s);
// Exactly these bytes on an already connected descriptor, then read as
// send_request does; the descriptor is left open.
std::optional<std::string> exchange(int fd, const std::string& bytes,
                                    std::chrono::milliseconds timeout = 3s);
// The value of key in a flat JSON object (a status reply, the outdoor
// health record): a string without its quotes, anything else as written;
// nullopt when the key is missing. Replies and records hold no nested
// objects and no escaped quotes, so a plain search is enough.
std::optional<std::string> json_field(const std::string& text, const std::string& key);
// The reason of a reply, or "<no reply>" / "<no reason>".
std::string reason_of(const std::optional<std::string>& reply);

// ---- the fixture ----

class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    virtual SandboxOptions sandbox_options() const { return {}; }

    // A fake node owned by the fixture; null (with a test failure) when it
    // could not be made.
    FakeNode* add_node(const FakeNodeOptions& options = {});
    // A started daemon owned by the fixture (check started()).
    Daemon& spawn_daemon(const std::vector<std::string>& args, const DaemonOptions& options = {});

  private:
    bool built_ = false;
    std::vector<std::unique_ptr<FakeNode>> nodes_;
    std::vector<std::unique_ptr<Daemon>> daemons_;
};

}  // namespace sandbox
