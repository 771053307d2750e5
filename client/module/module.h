// The module's side of the root manager's interface: the one-line
// description made from the service's state and the module.prop that
// carries it, module-watch that keeps it current (module_watch.cpp), and
// the few lines `probe --summary` shows for the module's action button
// (summary.cpp). The state itself is what probe gathers
// (client/probe/probe.h). The pure parts are in module_lines.cpp, which the
// unit tests call directly.
#pragma once
#include <stdint.h>

#include <string>

#include "client/probe/probe.h"

namespace ctl {

// ---- the description ----

enum : int64_t {
    // A main-panel daemon that holds rewrites its health record every
    // HEALTH_PERIOD_MS; one this much later than that has stopped.
    MAIN_PANEL_STALE_MARGIN_MS = 2000,
};

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

// ---- module-watch ----

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

// module-watch MODDIR [--notify PID] (module_dir absolute; notify_pid 0
// without --notify): keeps the description current until a stop signal
// or until the folder goes.
int run_module_watch(const std::string& module_dir, int32_t notify_pid);

// ---- the summary (probe --summary) ----

// A status reply in a few words: "armed, target 120, node shows 120,
// session s1".
std::string summarize_status_reply(const std::string& reply);

// The raw JSON value of key in a flat one-line object: a string without
// its quotes, or the bare word. Empty when absent.
std::string json_value(const std::string& object, const char* key);

// A few short lines for a phone's screen (the module's action button);
// status_line is what the main-panel daemon said, or why it said nothing.
std::string format_probe_summary(const probe_report& report, const std::string& status_line);

// probe --summary: gathers what probe gathers, asks a running main-panel
// daemon for its status, prints the summary; always EXIT_OK (no panel is
// a line of it, not a failure of the button).
int run_probe_summary();

}  // namespace ctl
