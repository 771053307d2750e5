// veltarisctl probe: what a person bringing the daemon up on a device needs
// to know, gathered read-only. The verdicts come from the daemon's own
// policy code (node/node_policy.h), so "accepted" means the daemon would
// start on the node. Gathering (ctl_probe.cpp) is kept apart from judging
// and formatting (ctl_probe_lines.cpp), which the unit tests call directly.
#pragma once
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

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

struct probe_report {
    std::vector<probe_node> nodes;
    probe_choice choice;
    std::vector<probe_fact> state;
    std::vector<std::string> unreadable;  // what could not be read, and why
};

// Words for the policy's and the real-path check's refusals.
const char* node_verdict_text(node_path_verdict verdict);
const char* real_path_verdict_text(real_path_verdict verdict);

// The rule: the usable (candidate) nodes of the backlight class decide;
// exactly one is chosen, two or more are ambiguous. With none there, the
// leds class decides the same way.
probe_choice choose_main_panel(const std::vector<probe_node>& nodes);

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

// The time stamp of a health record (main-panel: the last field;
// outdoor: "uptime_ms"), or -1 when it has none.
int64_t main_panel_health_time(const std::string& text);
int64_t outdoor_health_time(const std::string& text);

// A health record as a client must read it at now_ms. A record describes
// one boot (its time is that boot's monotonic clock, and it is not synced
// to disk): missing, empty, or stamped ahead of this boot's clock, it says
// that no daemon of this boot wrote it; after a power cut each of these is
// what the cut may leave. Text that is not one whole record in the
// daemon's format is malformed (torn, or not the daemon's).
struct health_view {
    bool present = false;
    bool valid = false;      // one whole record in the daemon's format
    bool this_boot = false;  // valid, and not stamped ahead of now
    int64_t age_ms = -1;     // when this_boot
    std::string verdict;     // e.g. "empty: no daemon of this boot", "written 120 ms ago"
};
health_view view_health_record(bool present, const std::string& text, bool outdoor, int64_t now_ms);

// JSON pieces.
std::string json_string(const std::string& text);
std::string json_mode(int32_t mode);  // "0664", or null

// The report for people, and as one JSON object (one line).
std::string format_probe_table(const probe_report& report);
std::string format_probe_json(const probe_report& report);

}  // namespace ctl
