// veltarisctl probe: what a person bringing the daemon up on a device needs
// to know, gathered read-only. The verdicts come from the daemon's own
// policy code (node/node_policy.h), so "accepted" means the daemon would
// start on the node. Gathering (ctl_probe.cpp) is kept apart from judging
// and formatting (ctl_probe_lines.cpp, ctl_selinux_lines.cpp,
// ctl_module_lines.cpp), which the unit tests call directly. The module
// watcher (ctl_module.cpp) reads the same service state to keep the
// module's description current.
#pragma once
#include <stdint.h>

#include <functional>
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

// ---- SELinux: may the platform reach the control socket? ----

// The platform domains whose clients connect to the control socket, in the
// order of selinux_view::connect.
inline constexpr const char* kSelinuxClients[] = {"system_server", "system_app"};
enum : size_t { SELINUX_CLIENT_COUNT = sizeof kSelinuxClients / sizeof kSelinuxClients[0] };

enum : uint32_t {
    SELINUX_CLASS_MAX = 65535,  // the kernel reads the class as an unsigned short
    SELINUX_PERM_MAX = 32,      // one bit of a 32-bit access vector
    AVD_FLAG_PERMISSIVE = 1,    // the source domain is permissive
};

// The answer of selinuxfs's access file: "allowed decided auditallow
// auditdeny seqno [flags]", hexadecimal but for the decimal seqno (flags
// are missing on old kernels).
struct access_decision {
    uint32_t allowed = 0;
    uint32_t decided = 0;
    uint32_t auditallow = 0;
    uint32_t auditdeny = 0;
    uint32_t seqno = 0;
    uint32_t flags = 0;
};

enum class connect_answer { allowed, denied, unknown };

struct selinux_connect {
    connect_answer answer = connect_answer::unknown;
    std::string reason;              // why unknown
    bool permissive_source = false;  // the client's own domain is permissive
};

struct selinux_view {
    std::string mode;           // enforcing, permissive, disabled or unknown
    std::string mode_error;     // why unknown
    std::string context;        // this process's context; empty when unknown
    std::string context_error;  // why empty
    std::string domain;         // the context's type
    selinux_connect connect[SELINUX_CLIENT_COUNT];
};

// A positive decimal number of at most max (a class index, a permission's
// 1-based number) with an optional final newline.
bool parse_selinux_number(const std::string& text, uint32_t max, uint32_t* out);

// The access file's answer; false for anything else.
bool parse_access_decision(const std::string& text, access_decision* out);

// "enforcing" or "permissive" from the enforce file's text, "disabled"
// when it does not exist (read_error ENOENT), "unknown" otherwise.
std::string selinux_mode(int read_error, const std::string& enforce_text);

// The context of /proc/self/attr/current without its final NUL or newline.
std::string clean_context(const std::string& raw);

// The type field of "user:role:type[:level]"; empty when there is none.
std::string selinux_domain(const std::string& context);

// The access file's query whether platform client i may connect to a
// socket of context: "SCON TCON CLASS", the client the source and the
// socket the target.
std::string connect_query(size_t i, const std::string& context, uint32_t cls);

// The verdict on the permission numbered perm (1-based) in a decision.
selinux_connect judge_access(const access_decision& decision, uint32_t perm);

// "control socket: system_server may connect to domain su (enforcing)" and
// the like, for client i.
std::string selinux_connect_line(const selinux_view& view, size_t i);

// One line for the service log: the mode, the domain and whether the
// module's rule is in force.
std::string selinux_log_line(const selinux_view& view);

// The "selinux" JSON object.
std::string selinux_json(const selinux_view& view);

// ---- the service's state, for the description and the summary ----

enum : int64_t {
    // A main-panel daemon that holds rewrites its health record every
    // HEALTH_PERIOD_MS; one this much later than that has stopped.
    MAIN_PANEL_STALE_MARGIN_MS = 2000,
};

struct module_state {
    int64_t now_ms = 0;
    int32_t outdoor_pid = 0;  // holder of the outdoor lock: 0 none, -1 unknown
    int32_t main_pid = 0;     // holder of the main-panel lock, likewise
    bool outdoor_record_present = false;
    std::string outdoor_record;
    bool main_record_present = false;
    std::string main_record;
};

// The outdoor health record's fields, as the daemon formats them.
struct outdoor_record {
    int32_t pid = 0;
    bool held = false;
    bool inhibited = false;
    int32_t base = 0;
    int32_t target = 0;
    std::string reason;
    int64_t uptime_ms = 0;
};
bool parse_outdoor_record(const std::string& text, outdoor_record* out);

// The main-panel health record "SESSION HOLDING ERRNO TIME_MS".
struct main_panel_record {
    std::string session;
    int32_t holding = 0;
    int32_t error = 0;
    int64_t time_ms = 0;
};
bool parse_main_panel_record(const std::string& text, main_panel_record* out);

// The lock holders as the daemons' locks show them: the outdoor daemon
// holds the main-panel lock for an instant each turn, which is not a
// main-panel daemon.
int32_t main_panel_holder(int32_t main_lock_pid, int32_t outdoor_lock_pid);

// "Outdoor: waiting", "Outdoor: boosting 100->177", "Outdoor: stopped
// (node_changed)", ...
std::string describe_outdoor(const module_state& state);
// "Main panel: holding" or "Main panel: not holding".
bool main_panel_holding(const module_state& state);
std::string describe_main_panel(const module_state& state);
// The module's description: both, on one short line.
std::string module_description(const module_state& state);
// When a believed hold must be looked at again if no record comes (the
// daemon may have died without its last one); -1: no need.
int64_t module_recheck_at(const module_state& state);

// module.prop with its description line replaced; line breaks in the
// description become blanks. A text that may be a module.prop half
// written (by a manager's copy during an update: no id line, no
// description line, or a last line without its end) comes back as it is.
std::string replace_description(const std::string& prop, const std::string& description);

enum : long {
    // What module-watch prints goes to a file the service logs at its
    // end, and a phone runs for months: past this many lines it says so
    // once and prints only its last line.
    MODULE_WATCH_LINES_MAX = 32,
};

// The line module-watch prints as its (*said + 1)th, counted in *said;
// empty when it is dropped. The last line is always printed.
std::string module_watch_line(long* said, const std::string& line, bool last);

// The module's flag files that stop the service: "disable", "remove".
bool is_stop_flag(const char* name);

// The folder that holds the module folder and the module folder's own name
// in it ("/data/adb/modules", "veltaris"), trailing slashes left out; false
// when the path names no such pair (no slash, or the root).
bool split_module_dir(const std::string& dir, std::string* parent, std::string* name);
// Whether an event of the watch on the module folder's parent says the
// module folder is gone from its path: its entry deleted or moved away, or
// the parent itself deleted, moved or unmounted.
bool parent_event_ends_folder(uint32_t mask, const char* name, const std::string& folder_name);

// The raw JSON value of key in a flat one-line object: a string without
// its quotes, or the bare word. Empty when absent.
std::string json_value(const std::string& object, const char* key);

// A status reply in a few words: "armed, target 120, node shows 120,
// session s1".
std::string summarize_status_reply(const std::string& reply);

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
// A few short lines for a phone's screen (the module's action button);
// status_line is what the main-panel daemon said, or why it said nothing.
std::string format_probe_summary(const probe_report& report, const std::string& status_line);

// ---- I/O shared by probe and the module watcher ----

// The clock records are judged by: monotonic_ms, or a test's.
using probe_clock = std::function<int64_t()>;

// SELinux as this process sees it, asking the kernel through selinuxfs.
selinux_view read_selinux();
// The lock holders and both health records, now. Every record's age is
// judged against a reading of the clock taken after the record.
module_state read_module_state(const probe_clock& clock);
// Everything probe reports, gathered read-only.
probe_report gather_probe(const probe_clock& clock);

}  // namespace ctl
