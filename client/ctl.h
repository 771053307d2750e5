// veltarisctl: the reference client. It is a small tool for people and
// tests, not daemon code, so it uses std::string freely; every record and
// request it produces is checked with the daemon's own parsers before it
// leaves the process, so the client cannot drift from what the daemon
// accepts.
#pragma once
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <string>
#include <vector>

#include "process/protocol.h"

namespace ctl {

// The exit statuses, the one table that --help prints and the README
// repeats.
enum exit_code {
    EXIT_OK = 0,
    EXIT_REFUSED = 1,
    EXIT_USAGE = 2,
    EXIT_NO_DAEMON = 3,
};

struct exit_status_text {
    exit_code code;
    const char* meaning;
};

inline constexpr exit_status_text kExitStatuses[] = {
    {EXIT_OK, "success: \"ok\":true; probe found the main panel"},
    {EXIT_REFUSED, "\"ok\":false; a file not written; probe found no main panel"},
    {EXIT_USAGE, "usage error: bad command, option or argument"},
    {EXIT_NO_DAEMON, "no daemon answered: connect failed, or no reply within 3 s"},
};

enum class command { help, version, status, arm, set, stop, lease, outdoor_lease, watch, probe, module_watch };

enum : int32_t {
    MAIN_LEASE_DEFAULT_TTL_MS = 4000,
    OUTDOOR_LEASE_DEFAULT_TTL_MS = 1000,
    HELD_DEFAULT = 1,
    REPLY_TIMEOUT_MS = 3000,
    WATCH_INTERVAL_MS = 50,
};

// The session of the owner's hold (veltarisctl hold), which stands in for a
// platform client on a phone whose platform has none.
inline constexpr const char* OWNER_SESSION = "owner";

inline constexpr const char* DEFAULT_NODE_PATH = "/sys/class/backlight/panel0-backlight/brightness";

struct options {
    command cmd = command::help;
    std::string session;  // arm, set, stop (optional), lease
    int32_t pid = 0;      // arm PID, --pid of both lease commands
    bool pid_given = false;
    int32_t value = 0;        // set VALUE, lease TARGET, outdoor-lease VALUE
    bool outdoor_v2 = false;  // outdoor-lease v2
    bool paused = false;      // lease --paused
    int32_t held = HELD_DEFAULT;
    int32_t ttl_ms = 0;  // the command's default unless --ttl is given
    bool hold = false;
    std::string node_path = DEFAULT_NODE_PATH;
    bool json = false;     // probe --json
    bool choose = false;   // probe --choose
    bool selinux = false;  // probe --selinux
    bool summary = false;  // probe --summary
    std::string module_dir;  // module-watch MODDIR
    int32_t notify_pid = 0;  // module-watch --notify PID
};

struct parse_result {
    bool ok = false;
    std::string error;  // one line, without the program name, when !ok
    options opts;
};

// Parses the arguments after the program name. --help anywhere asks for
// help. Options may come before, between or after the positionals, as
// "--opt VALUE" or "--opt=VALUE".
parse_result parse_args(const std::vector<std::string>& args);

// The full --help text.
const char* usage_text();

// "veltarisctl VERSION (build TAG)\n".
std::string version_line();

// The pid the main-panel lease names: --pid when given; otherwise the
// client's own pid when it stays alive to renew the lease (--hold), and
// its parent's pid when it writes once and exits, since the daemon ends a
// hold whose pid has died.
int32_t lease_pid(const options& opts, int32_t self_pid, int32_t parent_pid);

// Formats "SESSION PID DEADLINE ACTIVE TARGET\n" and parses it back with
// the daemon's parser at now_ms; true only when the daemon would accept
// exactly these fields. On false, *error says why.
bool format_main_panel_lease(const std::string& session, int32_t pid, int64_t deadline_ms,
                             bool active, int32_t target, int64_t now_ms, std::string* line,
                             std::string* error);

// Formats "v1|v2 PID DEADLINE VALUE HELD\n" and parses it back likewise.
bool format_outdoor_lease(bool v2, int32_t pid, int64_t deadline_ms, int32_t value, int32_t held,
                          int64_t now_ms, std::string* line, std::string* error);

// The request line for status, arm, set or stop, checked against the
// daemon's request scanner.
bool format_request(const options& opts, std::string* line, std::string* error);

// EXIT_OK for a reply that says "ok":true, EXIT_REFUSED for "ok":false,
// EXIT_NO_DAEMON for anything else (including no reply): nothing that
// speaks the protocol answered.
int reply_exit_code(const std::string& reply);

// The abstract address of the control socket and its exact length.
void fill_control_address(sockaddr_un* addr, socklen_t* len);

// text with control bytes, bytes above ASCII and backslashes escaped
// ("\n", "\t", "\\", "\xNN"): file contents and device names, which
// come from the file system and may hold anything, shown on one line.
std::string escape_text(const std::string& text);

// One look at a file for `watch`.
struct file_snapshot {
    int error = 0;              // 0, or errno from open/read
    std::string text;           // what was read, when error is 0
    bool system_owned = false;  // regular, uid 1000, no group/other bits
};

// The snapshot as one line of text: "absent", "unreadable (...)", or the
// content with a final newline dropped and control bytes escaped.
std::string describe_snapshot(const file_snapshot& snap);

// A note on whether the daemon would accept the lease at now_ms, e.g.
// " [accepted: active target 120, 3200 ms left]". Empty when absent.
std::string judge_main_panel_lease(const file_snapshot& snap, int64_t now_ms, int32_t maximum);
std::string judge_outdoor_lease(const file_snapshot& snap, int64_t now_ms);
// A note on a health record: " [no daemon of this boot]" when it is
// missing, empty or stamped by an earlier boot, " [malformed]" when it is
// not one whole record; empty for a record of this boot.
std::string judge_health_record(const file_snapshot& snap, int64_t now_ms, bool outdoor);

// The max_brightness file next to a brightness node.
std::string max_brightness_path(const std::string& node_path);

// Sends one request line on the control socket and collects the reply
// (3 s at most). False with *error when nothing could be sent; errno is
// connect's when the connection failed.
bool control_exchange(const std::string& request, std::string* reply, std::string* error);

// Prints "veltarisctl: MESSAGE" on standard error.
void complain(const std::string& message);

// ---- lease files (ctl_lease_file.cpp) ----

// Where a test steps into replace_lease_file: after_create runs between a
// temporary file's creation and its lock, before_rename once the file has
// its name; unnamed_error fails the open of the unnamed file with that
// errno (EOPNOTSUPP: a file system without unnamed files, EISDIR: a kernel
// older than them), naming_error the naming of it (EACCES: a policy that
// denies link).
struct lease_write_seam {
    std::function<void()> after_create;
    std::function<void()> before_rename;
    int unnamed_error = 0;
    int naming_error = 0;
    // Sees each random name before it is tried (a test may take it).
    std::function<void(const std::string&)> before_naming;
};

// Replaces the lease at path with text: a temporary file in its directory,
// written, synced, handed to the system user (mode 0600) and renamed over
// the lease. False with *error when it could not. A writer that renews for
// hours passes durable false: a lease names a deadline on this boot's
// clock, so a sync would wear the flash for nothing.
bool replace_lease_file(const char* path, const std::string& text, std::string* error,
                        const lease_write_seam* seam = nullptr, bool durable = true);
// Whether a directory entry is ".NAME.XXXXXX" (six letters or digits), the
// name of a temporary file of the lease NAME.
bool is_own_temporary_name(const char* entry, const std::string& lease_name);
// Removes the lease at path only while it still holds last, what this
// client wrote: another writer's lease is none of our business.
void remove_own_lease(const char* path, const std::string& last);
// Removes the temporary files that cut-off writers of the lease at path
// left behind, and none that a writer at work holds.
void remove_temporary_leftovers(const char* path);

// Command runners: they do the I/O and return the exit code.
int run_control_command(const options& opts);
int run_main_panel_lease(const options& opts);
int run_outdoor_lease(const options& opts);
int run_watch(const options& opts);
int run_probe(const options& opts);
int run_module_watch(const options& opts);

}  // namespace ctl
