// The module's own interface in the root manager, without I/O: the one-line
// description made from the service's state, the module.prop that carries
// it, and the few lines of the summary the action button shows.
#include <string.h>
#include <sys/inotify.h>

#include <string>

#include "client/control/escape.h"
#include "client/control/health_record.h"
#include "client/control/lines.h"
#include "client/module/module.h"
#include "client/probe/probe.h"
#include "client/probe/selinux.h"
#include "process/protocol.h"

namespace ctl {

namespace {

const char kDescriptionKey[] = "description=";
// A holding record older than this is a hold that ended without its last
// record.
constexpr int64_t kStaleAfterMs = int64_t{HEALTH_PERIOD_MS} + MAIN_PANEL_STALE_MARGIN_MS;
const char kSeparator[] = " | ";

// The reasons the outdoor daemon writes on its way out; any other reason
// is written by a daemon at work.
bool is_end_reason(const std::string& reason) {
    return reason == "stopped" || reason == "node_changed" || reason == "write_failed";
}

}  // namespace

std::string json_value(const std::string& object, const char* key) {
    std::string pattern = std::string("\"") + key + "\":";
    size_t at = object.find(pattern);
    if (at == std::string::npos) return std::string();
    at += pattern.size();
    if (at < object.size() && object[at] == '"') {
        size_t end = object.find('"', at + 1);
        return end == std::string::npos ? std::string() : object.substr(at + 1, end - at - 1);
    }
    size_t end = object.find_first_of(",}", at);
    return end == std::string::npos ? std::string() : object.substr(at, end - at);
}

std::string describe_outdoor(const module_state& state) {
    outdoor_record r;
    bool parsed = state.outdoor_record_present && parse_outdoor_record(state.outdoor_record, &r);
    if (parsed && is_end_reason(r.reason))
        return r.reason == "stopped" ? "Outdoor: stopped" : "Outdoor: stopped (" + r.reason + ")";
    // A record of work in progress whose writer no longer holds the lock:
    // the daemon died without its last record.
    if (state.outdoor_pid == 0) return "Outdoor: not running";
    if (!parsed) return "Outdoor: starting";
    if (r.held) return "Outdoor: boosting " + std::to_string(r.base) + "->" + std::to_string(r.target);
    if (r.inhibited) return "Outdoor: stepped aside (" + r.reason + ")";
    return "Outdoor: waiting";
}

bool main_panel_holding(const module_state& state) {
    main_panel_record r;
    if (!state.main_record_present || !parse_main_panel_record(state.main_record, &r) || r.holding != 1) return false;
    // An unreadable lock table (-1) leaves the record to decide.
    if (state.main_pid == 0) return false;
    int64_t age = state.now_ms - r.time_ms;
    return age >= 0 && age <= kStaleAfterMs;
}

std::string describe_main_panel(const module_state& state) {
    main_panel_record r;
    if (!main_panel_holding(state) || !parse_main_panel_record(state.main_record, &r)) return "Main panel: not holding";
    // Who holds it, which the owner cannot otherwise see on a manager
    // without the module's page: the owner's own hold, or a platform
    // client's session.
    return r.session == OWNER_SESSION ? "Main panel: holding (owner)" : "Main panel: holding (platform: " + r.session + ")";
}

std::string module_description(const module_state& state) {
    return describe_outdoor(state) + kSeparator + describe_main_panel(state);
}

int64_t module_recheck_at(const module_state& state) {
    main_panel_record r;
    if (!main_panel_holding(state) || !parse_main_panel_record(state.main_record, &r)) return -1;
    return r.time_ms + kStaleAfterMs + 1;
}

std::string replace_description(const std::string& prop, const std::string& description) {
    // A manager copies the new version's module.prop over the old one in
    // place: read at the wrong moment it is cut short, and written back
    // it would lose the fields after the cut.
    bool has_id = prop.compare(0, 3, "id=") == 0 || prop.find("\nid=") != std::string::npos;
    bool has_description =
        prop.compare(0, sizeof kDescriptionKey - 1, kDescriptionKey) == 0 ||
        prop.find(std::string("\n") + kDescriptionKey) != std::string::npos;
    if (!has_id || !has_description || prop.back() != '\n') return prop;
    std::string line = kDescriptionKey;
    for (char c : description) line += (c == '\n' || c == '\r') ? ' ' : c;
    std::string out;
    bool replaced = false;
    size_t at = 0;
    while (at < prop.size()) {
        size_t end = prop.find('\n', at);
        size_t next = end == std::string::npos ? prop.size() : end + 1;
        if (!replaced && prop.compare(at, sizeof kDescriptionKey - 1, kDescriptionKey) == 0) {
            out += line + "\n";
            replaced = true;
        } else {
            out += prop.substr(at, next - at);
            if (end == std::string::npos) out += "\n";
        }
        at = next;
    }
    return out;
}

std::string module_watch_line(long* said, const std::string& line, bool last) {
    long n = (*said)++;
    if (last || n < MODULE_WATCH_LINES_MAX) return "module-watch: " + line;
    if (n == MODULE_WATCH_LINES_MAX) return "module-watch: further lines dropped (more than " +
                                            std::to_string(MODULE_WATCH_LINES_MAX) + ")";
    return std::string();
}

bool is_stop_flag(const char* name) {
    return strcmp(name, "disable") == 0 || strcmp(name, "remove") == 0;
}

bool split_module_dir(const std::string& dir, std::string* parent, std::string* name) {
    size_t end = dir.find_last_not_of('/');
    if (end == std::string::npos) return false;
    size_t slash = dir.rfind('/', end);
    if (slash == std::string::npos) return false;
    *name = dir.substr(slash + 1, end - slash);
    size_t parent_end = dir.find_last_not_of('/', slash);
    *parent = parent_end == std::string::npos ? "/" : dir.substr(0, parent_end + 1);
    return true;
}

bool parent_event_ends_folder(uint32_t mask, const char* name, const std::string& folder_name) {
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) return true;
    return (mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && folder_name == name;
}

std::string summarize_status_reply(const std::string& reply) {
    std::string armed = json_value(reply, "armed");
    if (armed.empty()) return "no status line";
    std::string text = armed == "true" ? (json_value(reply, "paused") == "true" ? "armed, paused" : "armed")
                                       : "not armed";
    std::string session = json_value(reply, "session");
    if (armed == "true") text += ", target " + json_value(reply, "target");
    text += ", node shows " + json_value(reply, "actual");
    if (!session.empty()) text += ", session " + escape_text(session);
    return text;
}

std::string format_probe_summary(const probe_report& report, const std::string& status_line) {
    const module_state& s = report.service;
    auto daemon = [](const char* name, int32_t pid) {
        return std::string(name) + (pid > 0 ? " running (pid " + std::to_string(pid) + ")"
                                    : pid == 0 ? " not running" : " unknown");
    };
    std::string out = "Node: ";
    out += report.choice.index >= 0 ? escape_text(report.nodes[static_cast<size_t>(report.choice.index)].path)
                                    : "none (" + report.choice.reason + ")";
    out += "\nDaemons: " + daemon("outdoor", s.outdoor_pid) + ", " + daemon("main panel", s.main_pid) + "\n";
    out += describe_outdoor(s) + "\n";
    out += describe_main_panel(s) + (status_line.empty() ? "" : " (daemon: " + status_line + ")") + "\n";
    const selinux_view& v = report.selinux;
    out += "SELinux: " + v.mode + (v.domain.empty() ? "" : ", domain " + v.domain) + "\n";
    for (size_t i = 0; i < SELINUX_CLIENT_COUNT; ++i) {
        std::string line = selinux_connect_line(v, i);
        line[0] = 'C';
        out += line + "\n";
    }
    return out + "Log: " PRIVATE_DIR "/service.log\n";
}

}  // namespace ctl
