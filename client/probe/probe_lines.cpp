// Judging and formatting for `probe`; no I/O here.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>

#include "client/control/escape.h"
#include "client/probe/probe.h"
#include "client/probe/selinux.h"
#include "common/scan.h"
#include "mainpanel/lease.h"
#include "outdoor/outdoor_lease.h"
#include "process/protocol.h"

namespace ctl {

namespace {

std::string number_or_dash(int64_t v) {
    return v < 0 ? std::string("-") : std::to_string(static_cast<long long>(v));
}

std::string mode_text(int32_t mode) {
    if (mode < 0) return "-";
    char buf[16];
    snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode) & 07777u);
    return buf;
}

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string pad_left(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string verdict_text(const probe_node& n) {
    if (!n.accepted) return "refused: " + n.refusal;
    if (!n.candidate) return "accepted, unusable: maximum below 11";
    return "accepted";
}

std::string names_of(const std::vector<probe_node>& nodes, const std::vector<int>& which) {
    std::string out;
    for (int i : which) {
        if (!out.empty()) out += ", ";
        out += escape_text(nodes[static_cast<size_t>(i)].name);
    }
    return out;
}

}  // namespace

const char* node_verdict_text(node_path_verdict verdict) {
    switch (verdict) {
        case NODE_PATH_ACCEPTED:
            return "accepted";
        case NODE_PATH_NOT_CLASS_NODE:
            return "not a class brightness path";
        case NODE_PATH_NAME_LENGTH:
            return "name empty or longer than 96 bytes";
        case NODE_PATH_BAD_BYTE:
            return "name holds a byte outside A-Z a-z 0-9 - . : _";
        case NODE_PATH_DOT_NAME:
            return "dot name";
        case NODE_PATH_DENY_WORD:
            return "deny word (not the main panel)";
        case NODE_PATH_NUMBERED_SIBLING:
            return "numbered sibling (a second panel)";
        case NODE_PATH_NOT_LED_PANEL:
            return "not a panel LED name";
    }
    return "unknown";
}

const char* real_path_verdict_text(real_path_verdict verdict) {
    switch (verdict) {
        case REAL_PATH_OK:
            return "accepted";
        case REAL_PATH_OUTSIDE_DEVICES:
            return "real path outside " SYSFS_DEVICES_PREFIX;
        case REAL_PATH_TOO_LONG:
            return "real path too long";
        case REAL_PATH_BAD_BYTE:
            return "real path holds a blank, control byte, quote or backslash";
    }
    return "unknown";
}

probe_choice choose_main_panel(const std::vector<probe_node>& nodes) {
    probe_choice choice;
    for (const char* cls : {"backlight", "leds"}) {
        std::vector<int> usable;
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].device_class == cls && nodes[i].candidate) usable.push_back(static_cast<int>(i));
        }
        if (usable.empty()) continue;
        if (usable.size() == 1) {
            choice.index = usable[0];
            choice.reason = std::string("the only usable node of the ") + cls + " class";
        } else {
            choice.ambiguous = true;
            choice.reason = "ambiguous: " + std::to_string(usable.size()) + " usable nodes of the " +
                            cls + " class (" + names_of(nodes, usable) + ")";
        }
        return choice;
    }
    choice.reason = "no usable node in the backlight or leds class";
    return choice;
}

int lock_table_error(size_t bytes, int read_error) {
    if (read_error != 0) return read_error;
    return bytes >= PROC_LOCKS_READ_MAX ? EFBIG : 0;
}

int32_t main_panel_holder(int32_t main_lock_pid, int32_t outdoor_lock_pid) {
    return main_lock_pid > 0 && main_lock_pid == outdoor_lock_pid ? 0 : main_lock_pid;
}

int32_t flock_holder(const std::string& proc_locks, unsigned major, unsigned minor,
                     uint64_t inode) {
    std::istringstream in(proc_locks);
    std::string line;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"; a waiter has
        // "->" after the number.
        std::istringstream words(line);
        std::string id, type, advisory, access, pid, where;
        if (!(words >> id >> type)) continue;
        if (type != "FLOCK") continue;
        if (!(words >> advisory >> access >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        char tail = 0;
        if (sscanf(where.c_str(), "%x:%x:%llu%c", &maj, &min, &ino, &tail) != 3) continue;
        if (maj != major || min != minor || ino != inode) continue;
        long p = strtol(pid.c_str(), nullptr, 10);
        if (p > 0 && p <= INT32_MAX) return static_cast<int32_t>(p);
    }
    return 0;
}

lease_view view_main_panel_lease(const std::string& text, int64_t now_ms, int32_t maximum) {
    lease_view v;
    std::string head = text.substr(0, LEASE_READ_SIZE - 1);
    // The daemon's own scanners: a pid or deadline that does not fit is no
    // field at all, never a wrapped number that names another process.
    const char* p = head.c_str();
    char session[SESSION_SIZE];
    int32_t pid = 0;
    int64_t deadline = 0;
    if (scan_word(&p, session, SESSION_SIZE - 1) && scan_i32(&p, &pid) && scan_i64(&p, &deadline)) {
        v.fields = true;
        v.pid = pid;
        v.deadline_ms = deadline;
    }
    lease_record rec = {};
    v.accepted = judge_main_panel_lease_read(head.c_str(), head.size(), now_ms, maximum, &rec) != 0;
    return v;
}

lease_view view_outdoor_lease(const std::string& text, int64_t now_ms) {
    lease_view v;
    std::string head = text.substr(0, OUTDOOR_LEASE_READ_SIZE - 1);
    const char* p = head.c_str();
    char version[3];
    int32_t pid = 0;
    int64_t deadline = 0;
    if (scan_word(&p, version, sizeof version - 1) && scan_i32(&p, &pid) && scan_i64(&p, &deadline)) {
        v.fields = true;
        v.pid = pid;
        v.deadline_ms = deadline;
    }
    outdoor_lease_record rec = {};
    // A file of OUTDOOR_LEASE_READ_SIZE - 1 bytes or more is refused.
    v.accepted = text.size() < OUTDOOR_LEASE_READ_SIZE - 1 &&
                 parse_outdoor_lease(text.data(), text.size(), now_ms, &rec) != 0;
    return v;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            // Names and records are bytes, not necessarily UTF-8: every
            // byte outside printable ASCII is escaped on its own.
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_mode(int32_t mode) {
    return mode < 0 ? std::string("null") : json_string(mode_text(mode));
}

std::string format_probe_table(const probe_report& report) {
    std::string out;
    const char* heads[] = {"CLASS", "NAME", "VERDICT", "MAX", "VALUE", "MODE", "OWNER", "REAL PATH"};
    std::vector<std::vector<std::string>> rows;
    for (const probe_node& n : report.nodes) {
        std::string owner = n.uid < 0 ? "-" : std::to_string(n.uid) + ":" + std::to_string(n.gid);
        rows.push_back({n.device_class, escape_text(n.name), verdict_text(n), number_or_dash(n.maximum),
                        number_or_dash(n.value), mode_text(n.mode), owner,
                        n.real_path.empty() ? "-" : escape_text(n.real_path)});
    }
    out += "Nodes under /sys/class/backlight and /sys/class/leds\n";
    if (rows.empty()) {
        out += "  (none)\n";
    } else {
        size_t width[8];
        for (size_t c = 0; c < 8; ++c) {
            width[c] = strlen(heads[c]);
            for (const auto& r : rows) width[c] = r[c].size() > width[c] ? r[c].size() : width[c];
        }
        auto line = [&](const std::vector<std::string>& cells) {
            std::string l;
            for (size_t c = 0; c < 8; ++c) {
                bool number = c == 3 || c == 4;
                l += "  ";
                l += c == 7 ? cells[c] : number ? pad_left(cells[c], width[c]) : pad(cells[c], width[c]);
            }
            return l + "\n";
        };
        out += line(std::vector<std::string>(heads, heads + 8));
        for (const auto& r : rows) out += line(r);
    }
    out += "\nMain panel: ";
    if (report.choice.index >= 0) {
        out += escape_text(report.nodes[static_cast<size_t>(report.choice.index)].path) + "\n  (" +
               report.choice.reason + ")\n";
    } else {
        out += "none (" + report.choice.reason + ")\n";
    }
    out += "\nDevice state\n";
    size_t label_width = 0;
    for (const probe_fact& f : report.state)
        label_width = f.label.size() > label_width ? f.label.size() : label_width;
    for (const probe_fact& f : report.state) out += "  " + pad(f.label, label_width) + "  " + f.text + "\n";
    const selinux_view& se = report.selinux;
    out += "\nSELinux\n  mode     " + se.mode;
    if (se.mode == "disabled") out += " (no selinuxfs)";
    if (!se.mode_error.empty()) out += " (" + se.mode_error + ")";
    out += "\n  context  ";
    out += se.context.empty() ? "unknown (" + se.context_error + ")"
                              : escape_text(se.context) + " (domain " + (se.domain.empty() ? "?" : se.domain) + ")";
    out += "\n";
    for (size_t i = 0; i < SELINUX_CLIENT_COUNT; ++i) out += "  " + selinux_connect_line(se, i) + "\n";
    if (!report.unreadable.empty()) {
        out += "\nCould not read\n";
        for (const std::string& u : report.unreadable) out += "  " + u + "\n";
    }
    return out;
}

std::string format_probe_json(const probe_report& report) {
    std::string out = "{\"nodes\":[";
    for (size_t i = 0; i < report.nodes.size(); ++i) {
        const probe_node& n = report.nodes[i];
        if (i > 0) out += ",";
        out += "{\"class\":" + json_string(n.device_class) + ",\"name\":" + json_string(n.name) +
               ",\"path\":" + json_string(n.path) + ",\"accepted\":" + (n.accepted ? "true" : "false") +
               ",\"refusal\":" + (n.accepted ? "null" : json_string(n.refusal)) +
               ",\"real_path\":" + (n.real_path.empty() ? "null" : json_string(n.real_path)) +
               ",\"maximum\":" + (n.maximum < 0 ? "null" : std::to_string(n.maximum)) +
               ",\"value\":" + (n.value < 0 ? "null" : std::to_string(n.value)) +
               ",\"mode\":" + json_mode(n.mode) +
               ",\"uid\":" + (n.uid < 0 ? "null" : std::to_string(n.uid)) +
               ",\"gid\":" + (n.gid < 0 ? "null" : std::to_string(n.gid)) +
               ",\"usable\":" + (n.candidate ? "true" : "false") + "}";
    }
    out += "],\"main_panel\":{\"path\":";
    out += report.choice.index >= 0
               ? json_string(report.nodes[static_cast<size_t>(report.choice.index)].path)
               : "null";
    out += std::string(",\"ambiguous\":") + (report.choice.ambiguous ? "true" : "false") +
           ",\"reason\":" + json_string(report.choice.reason) + "}";
    for (const probe_fact& f : report.state) {
        out += ",\"" + f.key + "\":{";
        for (size_t i = 0; i < f.json.size(); ++i) {
            if (i > 0) out += ",";
            out += json_string(f.json[i].first) + ":" + f.json[i].second;
        }
        out += "}";
    }
    out += ",\"selinux\":" + selinux_json(report.selinux);
    out += ",\"unreadable\":[";
    for (size_t i = 0; i < report.unreadable.size(); ++i) {
        if (i > 0) out += ",";
        out += json_string(report.unreadable[i]);
    }
    return out + "]}\n";
}

}  // namespace ctl
