// The benchmark of the daemon: every figure is measured inside the test
// sandbox against a baseline taken in the same run, because the machines
// it runs on are small and shared, so an absolute time says little on its
// own while a ratio to something of the same kind, measured a moment
// earlier or interleaved with it, stays comparable from run to run.
#pragma once
#include <math.h>
#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sandbox/sandbox.h"

namespace bench {

// ---- run configuration ----

struct Options {
    bool quick = false;
    std::string json_path;  // absolute, resolved before the sandbox is entered
    // Names of the measurements to run; empty runs them all.
    std::vector<std::string> only;
    bool wants(const std::string& name) const;
};

// How much of each measurement a run makes; quick runs only prove that
// every measurement works end to end.
struct Sizes {
    int startup_runs;            // daemon starts (and as many baseline starts)
    int round_trips;             // STATUS requests per state (and as many floor requests)
    int set_requests;            // SET requests (and as many floor operations)
    int correction_trials;       // foreign writes
    int holding_seconds;         // CPU window of the hold against the shell loop
    int wakeup_seconds;          // strace window per main-panel state
    int outdoor_wakeup_seconds;  // strace window of the idle outdoor daemon
    int syscall_seconds;         // strace window per state for the system-call counts
    int cpu_windows;             // side-by-side CPU windows against the bare loop
    int warmup;                  // samples thrown away before each series
};
Sizes sizes_for(const Options& options);

// ---- time and statistics ----

int64_t now_ns();
void sleep_ms(int64_t ms);

struct Summary {
    size_t n = 0;
    double median = NAN;
    double p90 = NAN;
    double p99 = NAN;
    double mean = NAN;
    double min = NAN;
    double max = NAN;
};
// Nearest-rank percentiles, so that p99 is a value that was observed.
Summary summarize(std::vector<double> values);

// ---- results ----

enum class Verdict { met, missed, info, unavailable, error };

struct Figure {
    std::string id;          // key in the JSON file
    std::string title;       // first column of the table
    std::string result;      // formatted result
    std::string baseline;    // formatted baseline, or empty
    double ratio = NAN;      // result / baseline, when that means something
    std::string goal;        // the goal in words, or empty
    Verdict verdict = Verdict::info;
    // A figure that cannot flake (a count): MISSED fails the run.
    bool gate = false;
    std::vector<std::pair<std::string, double>> numbers;       // machine-readable figures
    std::vector<std::pair<std::string, std::string>> details;  // machine-readable texts
    std::vector<std::string> notes;                            // method and findings

    void num(const std::string& key, double value) { numbers.emplace_back(key, value); }
    void text(const std::string& key, const std::string& value) { details.emplace_back(key, value); }
    void summary(const std::string& prefix, const Summary& s, double scale = 1.0);
};

class Report {
  public:
    void add(Figure figure);
    void meta(const std::string& key, const std::string& value) { meta_.emplace_back(key, value); }
    void print_table() const;
    bool write_json(const std::string& path, std::string* why) const;
    int errors() const;
    int gate_failures() const;

  private:
    std::vector<Figure> figures_;
    std::vector<std::pair<std::string, std::string>> meta_;
};

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt_us(double ns);  // "123.4 us"
std::string fmt_ms(double ns);  // "12.3 ms"
std::string json_escape(const std::string& s);

// ---- processes ----

struct SpawnOptions {
    int stdin_fd = -1;   // -1: /dev/null
    int stdout_fd = -1;  // -1: /dev/null
    int stderr_fd = -1;  // -1: /dev/null
    uid_t uid = 0;
};
// fork + execv with the child dying with the benchmark. Only system calls
// run between fork and exec, since the benchmark has threads.
pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// Waits for pid; its decoded exit status, or -1 when it did not end in time.
int wait_pid(pid_t pid, int64_t timeout_ms);
void kill_and_wait(pid_t pid, int sig = 9);

// CPU time of a whole process (all threads) in nanoseconds from the
// kernel's per-process CPU clock, or -1.
int64_t process_cpu_ns(pid_t pid);
// utime, stime, cutime, cstime of /proc/PID/stat, in clock ticks.
struct StatTimes {
    long long utime = -1, stime = -1, cutime = -1, cstime = -1;
};
StatTimes stat_times(pid_t pid);
// A numeric field of /proc/PID/status ("VmHWM", "voluntary_ctxt_switches"),
// or -1.
long long status_field(pid_t pid, const std::string& key);
char process_state(pid_t pid);  // the state letter of /proc/PID/stat, 0 when gone
bool tool_available(const std::string& name, std::string* path);

// ---- the daemon's files and socket ----

inline constexpr const char* kSession = "bench-session";
inline constexpr const char* kFloorDir = "/data/bench-floor";
inline constexpr const char* kFloorSocketName = "veltaris.bench.floor";

// Replaces dir/name the way the system user's client does: a temporary
// file moved over the name. Written as root and handed to uid 1000 with
// mode 0600 before the rename, which is the same file for the daemon,
// without the fork of sandbox::write_file_as that every timed lease
// rewrite would pay for. The leases are the sandbox's lines.
bool replace_as_system(const std::string& dir, const std::string& name, const std::string& content);
bool write_main_panel_lease(int active, int target, int64_t ahead_ms = 5000);
bool write_outdoor_lease(const std::string& version, pid_t pid, int value, int held, int64_t ahead_ms = 1500);

// One request on an abstract stream socket: connect, send, read to end of
// file. The reply, or nullopt. *elapsed_ns covers socket creation to the
// end of the reply.
std::optional<std::string> timed_request(const std::string& socket_name, const std::string& line,
                                         int64_t* elapsed_ns = nullptr);

// The floor of a control round trip: a forked child that accepts, reads a
// line, reads the node once and answers with a line of reply_size bytes.
pid_t start_floor_server(const std::string& node_path, size_t reply_size);

// The floor of a SET: a forked child that answers each request on the
// floor socket with exactly the calls a SET needs and nothing else: the
// socket exchange (accept4, peer credentials, both timeouts, one receive,
// one send, close), the lease in lease_path read twice (open, fstat, read,
// close), the node read through one descriptor with its identity (open,
// fstat, readlink of /proc/self/fd, read, close), a seek and a write through
// a descriptor held open on it, a mode check, a read-back and the reply's
// read of the node.
pid_t start_set_floor_server(const std::string& lease_path, const std::string& node_path);

// A forked child that wakes every period_ms and makes exactly the calls of
// the hold loop's active turn: the lease read (open, fstat, read, close),
// kill(pid, 0), the node's identity and value through one descriptor
// (open, fstat, readlink of /proc/self/fd, read, close), then ppoll. The
// floor of an active hold's CPU.
pid_t start_turn_floor_loop(const std::string& lease_path, const std::string& node_path, int period_ms);

// A forked child that only sleeps in ppoll for period_ms, over and over:
// the least CPU any process waking at that period can cost on this machine.
pid_t start_timer_loop(int period_ms);

// Writes value to the node and reads it back (open, write, close; open,
// read, close): the node half of the SET floor.
bool write_and_read_back(const std::string& node_path, int value);

// A main-panel daemon and the hold the benchmark keeps with it. The lease
// names the benchmark's own pid, which stays alive for the whole hold.
class Hold {
  public:
    explicit Hold(std::string node_path) : node_path_(std::move(node_path)) {}
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    bool start(std::string* why, int64_t ready_timeout_ms = 20000);
    bool arm(int target, std::string* why);
    // Rewrites the lease with the current target and pause state.
    bool renew();
    // Renews when the last renewal is renew_every_ms old or more.
    void renew_if_due(int64_t renew_every_ms = 1000);
    bool set_target(int target);  // rewrites the lease only
    bool set_paused(bool paused);
    // STOP and wait for the process to end; its exit status or -1.
    int stop();
    pid_t pid() const { return daemon_.pid(); }
    const std::string& node_path() const { return node_path_; }
    sandbox::Daemon& daemon() { return daemon_; }
    int target() const { return target_; }
    int64_t renewals() const { return renewals_; }

  private:
    std::string node_path_;
    sandbox::Daemon daemon_;
    int target_ = 150;
    int active_ = 1;
    int64_t last_renew_ms_ = 0;
    int64_t renewals_ = 0;
};

// ---- the measurements ----

struct Context {
    Options options;
    Sizes sizes;
    sandbox::FakeNode* node = nullptr;   // the daemon's panel
    sandbox::FakeNode* floor = nullptr;  // a twin for the baselines, never held
    std::mt19937 rng;
    Report* report = nullptr;
    // Taken during the hold, reported with the sizes.
    long long daemon_hwm_kb = -1;
    long long daemon_rss_kb = -1;
};

void measure_startup(Context& ctx);
void measure_control_idle(Context& ctx);
// Runs every measurement that needs an armed hold, on one daemon.
void measure_hold(Context& ctx);
// The idle outdoor daemon, and one that keeps a boost beside a taken
// main-panel lock.
void measure_outdoor_wakeups(Context& ctx);
// The owner's keeper (veltarisctl hold): wake-ups, renames and syncs.
void measure_owner_keeper(Context& ctx);
// strace on pid for window_ms, tick called every ~10 ms meanwhile: the
// trace's lines (one call each, descriptors named), or empty with *why.
std::vector<std::string> trace_calls(pid_t pid, int64_t window_ms, const std::function<void()>& tick,
                                     std::string* why);

// The system calls per turn of each kind, and per SET, against their
// minimum (bench/syscalls.cpp).
void measure_syscalls(Context& ctx, Hold& hold);
void measure_heap(Context& ctx);
void measure_size(Context& ctx);

// A backlight node on tmpfs under /sys/devices, linked from
// /sys/class/backlight like a real one: in-kernel like sysfs, without the
// FUSE server's round trips, for the daemon's own CPU cost. Only good for
// values of one digit count (a write does not truncate). Its path, or empty.
std::string make_tmpfs_node(const std::string& name, int value, int maximum);

// Wake-up counting shared by the hold and outdoor measurements.
struct WakeupCount {
    bool ok = false;
    std::string why;
    double window_s = 0;
    long returns = 0;     // ppoll returns of the main loop
    long timeouts = 0;    // of which ended by the timeout
    long interrupted = 0; // of which ended by a signal
    long lease_events = 0;   // ended by an event of the lease's writer
    long own_events = 0;     // ended only by the daemon's own health record
    long other_events = 0;   // other file events in the directory
    long socket_events = 0;  // control connections
    long renewals = 0;       // lease renewals made in the window
};
// Attaches strace to pid for window_ms, calling tick every ~10 ms.
WakeupCount count_wakeups(pid_t pid, int64_t window_ms, const std::function<void()>& tick,
                          const std::function<long()>& renewals);

}  // namespace bench
