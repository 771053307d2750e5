// veltarisctl probe: what a person bringing the daemon up on a device needs
// to know, gathered read-only. The verdicts come from the daemon's own
// policy code (node/node_policy.h), so "accepted" means the daemon would
// start on the node. Gathering (probe.cpp) is kept apart from judging and
// formatting (probe_lines.cpp; SELinux's in selinux_lines.cpp), which the
// unit tests call directly. The service's state that probe gathers is what
// the module's side (client/module/) describes.
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "client/probe/selinux.h"
#include "node/node_policy.h"

namespace ctl {

enum : int32_t {
    // The daemon refuses a node whose maximum is below this at start-up.
    PROBE_MAXIMUM_MIN = 11,
};

// One entry of /sys/class/backlight or /sys/class/leds.
struct probe_node {
    std::string device_class;  // "backlight" or "leds"
    std::string name;          // as read from the directory (may hold any byte)
    std::string path;          // /sys/class/<class>/<name>/brightness
    bool accepted = false;     // the daemon's node capture succeeded
    std::string refusal;       // why not, when !accepted
    std::string real_path;     // empty when it does not resolve
    int32_t maximum = -1;      // -1 when unreadable
    int32_t value = -1;        // -1 when unreadable
    int32_t mode = -1;         // permission bits of brightness, -1 when unknown
    int64_t uid = -1;
    int64_t gid = -1;
    bool candidate = false;  // accepted and maximum >= PROBE_MAXIMUM_MIN
};

// The main panel, or why there is none.
struct probe_choice {
    int index = -1;  // into the node list; -1 when there is no choice
    bool ambiguous = false;
    std::string reason;
};

// One item of the device-side state: a table line and a JSON object.
struct probe_fact {
    std::string key;    // JSON key
    std::string label;  // table label
    std::string text;   // table text
    std::vector<std::pair<std::string, std::string>> json;  // key, encoded JSON value
};

// ---- the service's state, for the module's description and summary ----

// The instance locks' holders and both health records at now_ms.
struct module_state {
    int64_t now_ms = 0;
    int32_t outdoor_pid = 0;  // holder of the outdoor lock: 0 none, -1 unknown
    int32_t main_pid = 0;     // holder of the main-panel lock, likewise
    bool outdoor_record_present = false;
    std::string outdoor_record;
    bool main_record_present = false;
    std::string main_record;
};

// The lock holders as the daemons' locks show them: the outdoor daemon
// holds the main-panel lock for an instant each turn, which is not a
// main-panel daemon.
int32_t main_panel_holder(int32_t main_lock_pid, int32_t outdoor_lock_pid);

struct probe_report {
    std::vector<probe_node> nodes;
    probe_choice choice;
    std::vector<probe_fact> state;
    std::vector<std::string> unreadable;  // what could not be read, and why
    selinux_view selinux;
    module_state service;
};

// Words for the policy's and the real-path check's refusals.
const char* node_verdict_text(node_path_verdict verdict);
const char* real_path_verdict_text(real_path_verdict verdict);

// The rule: the usable (candidate) nodes of the backlight class decide;
// exactly one is chosen, two or more are ambiguous. With none there, the
// leds class decides the same way.
probe_choice choose_main_panel(const std::vector<probe_node>& nodes);

enum : size_t { PROC_LOCKS_READ_MAX = 1 << 20 };  // what the probe reads of /proc/locks
// Why a read of the lock table (bytes long, read_error its errno or 0)
// cannot tell holders: a table that fills the whole read may go on past
// it, and a holder beyond the cut cannot be told from none (EFBIG). 0
// when it can. Pure.
int lock_table_error(size_t bytes, int read_error);

// The pid holding a flock on the file (device major:minor, inode) in the
// text of /proc/locks; 0 when none does. Waiters ("->") are not holders.
int32_t flock_holder(const std::string& proc_locks, unsigned major, unsigned minor,
                     uint64_t inode);

// A lease as the daemon would see it at now_ms.
struct lease_view {
    bool fields = false;  // the pid and deadline could be read
    int32_t pid = 0;
    int64_t deadline_ms = 0;
    bool accepted = false;  // the daemon's own parser accepts it now
};
lease_view view_main_panel_lease(const std::string& text, int64_t now_ms, int32_t maximum);
lease_view view_outdoor_lease(const std::string& text, int64_t now_ms);

// JSON pieces.
std::string json_string(const std::string& text);
std::string json_mode(int32_t mode);  // "0664", or null

// The report for people, and as one JSON object (one line).
std::string format_probe_table(const probe_report& report);
std::string format_probe_json(const probe_report& report);

// ---- I/O, shared with the module's side (probe.cpp) ----

// The clock records are judged by: monotonic_ms, or a test's.
using probe_clock = std::function<int64_t()>;

// The lock holders and both health records, now. Every record's age is
// judged against a reading of the clock taken after the record.
module_state read_module_state(const probe_clock& clock);
// Everything probe reports, gathered read-only.
probe_report gather_probe(const probe_clock& clock);

// What `probe` prints (--summary is the module's: run_probe_summary).
enum class probe_output {
    table,    // the report for people
    json,     // --json
    choose,   // --choose: only the chosen node's path
    selinux,  // --selinux: only the line on SELinux, for the service log
};
// probe: gathers and prints; EXIT_OK when it found the main panel (always
// for --selinux), EXIT_REFUSED when not.
int run_probe(probe_output output);

}  // namespace ctl
