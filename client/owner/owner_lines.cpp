// The owner's hold, pure: its arguments, the judgement of who holds the
// panel and of when the keeper ends, and the page's JSON.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client/owner/owner.h"
#include "mainpanel/lease.h"

namespace ctl {

namespace {

enum : int32_t { PAGE_INDEX_MAX = 64 };

struct verb_name {
    const char* word;
    owner_verb verb;
    int numbers;  // how many integers follow
};

const verb_name kTopVerbs[] = {
    {"hold", owner_verb::hold, 1},
    {"release", owner_verb::release, 0},
    {"toggle", owner_verb::toggle, 0},
};

// The page's words: each takes at most one integer, nothing else.
const verb_name kPageVerbs[] = {
    {"status", owner_verb::page_status, 0},
    {"hold", owner_verb::page_hold, 1},
    {"release", owner_verb::page_release, 0},
    {"outdoor-node", owner_verb::page_outdoor_node, 1},
    {"keep-on-uninstall", owner_verb::page_keep, 1},
};

// Decimal digits with an optional '-', within [lo, hi]; nothing else.
bool strict_int(const std::string& text, int64_t lo, int64_t hi, int32_t* out) {
    size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    if (i >= text.size() || text.size() > 12) return false;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9') return false;
    }
    long long v = strtoll(text.c_str(), nullptr, 10);
    if (v < lo || v > hi) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool check_value(owner_verb verb, const std::string& text, int32_t* out, std::string* error) {
    int64_t lo = HELD_VALUE_MIN, hi = SYSFS_VALUE_MAX;
    const char* what = "VALUE";
    if (verb == owner_verb::page_outdoor_node) {
        lo = 0, hi = PAGE_INDEX_MAX, what = "INDEX";
    } else if (verb == owner_verb::page_keep) {
        lo = 0, hi = 1, what = "the flag";
    }
    if (strict_int(text, lo, hi, out)) return true;
    *error = std::string(what) + " must be " + std::to_string(lo) + ".." + std::to_string(hi) + ", not '" +
             escape_text(text) + "'";
    return false;
}

bool check_owner_session(const std::string& text, std::string* error) {
    if (text.size() <= SESSION_MAX && is_valid_session_token(text.c_str())) return true;
    *error = "SESSION must be 1 to " + std::to_string(SESSION_MAX) + " characters of A-Z a-z 0-9 _ -, not '" +
             escape_text(text) + "'";
    return false;
}

// The options of hold, release and toggle: --node PATH, --session NAME.
bool parse_options(const std::vector<std::string>& rest, owner_args* out, std::string* error) {
    for (size_t i = 0; i < rest.size(); ++i) {
        const std::string& a = rest[i];
        bool has_value = i + 1 < rest.size();
        if (a == "--node" && has_value && out->verb != owner_verb::release) {
            out->node = rest[++i];
            if (out->node.empty() || out->node[0] != '/') {
                *error = "--node needs an absolute path";
                return false;
            }
        } else if (a == "--session" && has_value && out->verb != owner_verb::toggle) {
            if (!check_owner_session(rest[++i], error)) return false;
            out->session = rest[i];
        } else {
            *error = "unexpected argument '" + escape_text(a) + "'";
            return false;
        }
    }
    return true;
}

bool parse_page(const std::vector<std::string>& args, owner_args* out, std::string* error) {
    if (args.size() < 2) {
        *error = "page needs a word: status, hold VALUE, release, outdoor-node INDEX, keep-on-uninstall 0|1";
        return false;
    }
    for (const verb_name& v : kPageVerbs) {
        if (args[1] != v.word) continue;
        out->verb = v.verb;
        if (args.size() != static_cast<size_t>(2 + v.numbers)) {
            *error = std::string("page ") + v.word + (v.numbers ? " takes one number" : " takes no argument");
            return false;
        }
        return v.numbers == 0 || check_value(v.verb, args[2], &out->value, error);
    }
    *error = "unknown page word '" + escape_text(args[1]) + "'";
    return false;
}

bool parse_keeper(const std::vector<std::string>& args, owner_args* out, std::string* error) {
    out->verb = owner_verb::keeper;
    if (args.size() != 3) {
        *error = OWNER_KEEPER_WORD " takes SESSION VALUE";
        return false;
    }
    if (!check_owner_session(args[1], error)) return false;
    out->session = args[1];
    return check_value(out->verb, args[2], &out->value, error);
}

}  // namespace

bool is_owner_command(const std::string& word) {
    for (const verb_name& v : kTopVerbs) {
        if (word == v.word) return true;
    }
    return word == "page" || word == OWNER_KEEPER_WORD;
}

bool parse_owner_args(const std::vector<std::string>& args, owner_args* out, std::string* error) {
    *out = owner_args{};
    if (args.empty()) {
        *error = "no command";
        return false;
    }
    if (args[0] == "page") return parse_page(args, out, error);
    if (args[0] == OWNER_KEEPER_WORD) return parse_keeper(args, out, error);
    for (const verb_name& v : kTopVerbs) {
        if (args[0] != v.word) continue;
        out->verb = v.verb;
        size_t first_option = 1;
        if (v.numbers == 1) {
            if (args.size() < 2) {
                *error = std::string(v.word) + " needs a VALUE";
                return false;
            }
            if (!check_value(v.verb, args[1], &out->value, error)) return false;
            first_option = 2;
        }
        return parse_options(std::vector<std::string>(args.begin() + first_option, args.end()), out, error);
    }
    *error = "unknown command '" + escape_text(args[0]) + "'";
    return false;
}

const char* owner_usage_text() {
    return "The owner's hold (as root), for a phone whose platform has no client:\n"
           "  hold VALUE [--node PATH] [--session NAME]\n"
           "      Holds the main panel at VALUE: a keeper process of uid 1000 writes\n"
           "      and renews the lease, and the hold is armed and set over the\n"
           "      control socket. Starts a main-panel daemon on the module's node\n"
           "      (or PATH) when none runs; a second hold changes the value. Never\n"
           "      overrides a platform client's hold. NAME defaults to owner.\n"
           "  release [--session NAME]\n"
           "      Ends the owner's hold: the node's write bits come back.\n"
           "  toggle [--node PATH]\n"
           "      Releases the owner's hold, or holds at the last value.\n"
           "  page status | page hold VALUE | page release |\n"
           "  page outdoor-node INDEX | page keep-on-uninstall 0|1\n"
           "      The module page's entry: one line of JSON, always.\n";
}

// ---- who holds the panel -----------------------------------------------------

panel_holder judge_holder(const panel_view& view, const std::string& owner_session) {
    bool lease_foreign = view.lease_valid && view.lease_pid_alive && (view.lease_session != owner_session ||
                                              view.keeper_pid == 0 || view.lease_pid != view.keeper_pid);
    if (view.daemon_answered && view.armed && view.session != owner_session) return panel_holder::platform;
    if (lease_foreign) return panel_holder::platform;
    if (view.daemon_answered && view.armed) return panel_holder::owner;
    return panel_holder::none;
}

const char* holder_word(panel_holder holder) {
    switch (holder) {
        case panel_holder::owner:
            return "owner";
        case panel_holder::platform:
            return "platform";
        case panel_holder::none:
            break;
    }
    return "none";
}

bool lease_identity(const std::string& text, std::string* session, int32_t* pid) {
    char name[SESSION_MAX + 1] = {0};
    int number = 0;
    std::string head = text.substr(0, LEASE_READ_SIZE - 1);
    if (sscanf(head.c_str(), "%80s %d", name, &number) != 2) return false;
    *session = name;
    *pid = number;
    return true;
}

int32_t lease_target(const std::string& text) {
    char name[SESSION_MAX + 1] = {0};
    int pid = 0, active = 0, target = -1;
    long long deadline = 0;
    std::string head = text.substr(0, LEASE_READ_SIZE - 1);
    return sscanf(head.c_str(), "%80s %d %lld %d %d", name, &pid, &deadline, &active, &target) == 5 ? target : -1;
}

// ---- the keeper's end ----------------------------------------------------------

keeper_verdict judge_keeper(bool present, const std::string& record, const std::string& session,
                            int64_t started_ms, int64_t now_ms, bool* seen) {
    main_panel_record r;
    bool valid = present && parse_main_panel_record(record, &r);
    bool fresh = valid && r.time_ms <= now_ms && now_ms - r.time_ms <= int64_t{HEALTH_PERIOD_MS} + MAIN_PANEL_STALE_MARGIN_MS;
    if (fresh && r.holding == 1 && r.session == session) {
        *seen = true;
        return keeper_verdict::keep;
    }
    // A record of this keeper's time: the daemon ended the hold, or another
    // client armed it.
    if (valid && r.time_ms >= started_ms && r.holding == 0) return keeper_verdict::hold_ended;
    if (fresh && r.holding == 1) return keeper_verdict::taken_over;
    if (*seen || now_ms - started_ms > KEEPER_ARM_GRACE_MS) return keeper_verdict::no_hold;
    return keeper_verdict::keep;
}

const char* keeper_verdict_text(keeper_verdict verdict) {
    switch (verdict) {
        case keeper_verdict::hold_ended:
            return "the daemon ended the hold";
        case keeper_verdict::taken_over:
            return "another session holds the panel";
        case keeper_verdict::no_hold:
            return "no daemon holds for this keeper";
        case keeper_verdict::keep:
            break;
    }
    return "holding";
}

// ---- the page's JSON -------------------------------------------------------------

std::string reply_object(const std::string& reply) {
    std::string line = reply;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    // The daemon's reply is one object on one line, its texts validated
    // paths and words; anything else is not embedded.
    if (line.size() < 2 || line.front() != '{' || line.back() != '}' || reply_exit_code(reply) == EXIT_NO_DAEMON)
        return "null";
    for (unsigned char c : line) {
        if (c < 0x20 || c >= 0x7f || c == '\\') return "null";
    }
    return line;
}

std::string page_result_json(const page_result& r) {
    return std::string("{\"ok\":") + (r.ok ? "true" : "false") + ",\"reason\":" + json_string(r.reason) +
           ",\"errno\":" + std::to_string(r.err) + ",\"reply\":" + reply_object(r.reply) +
           ",\"detail\":" + json_string(r.detail) + "}";
}

namespace {

std::string json_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        // Appends, not "," + text: GCC 12 at -O3 warns (-Wrestrict) on that.
        if (i > 0) out += ',';
        out += json_string(items[i]);
    }
    return out + "]";
}

std::string outdoor_object(const page_status& s) {
    outdoor_record r;
    if (!parse_outdoor_record(s.outdoor_record, &r)) return "null";
    return "{\"pid\":" + std::to_string(r.pid) + ",\"held\":" + (r.held ? "true" : "false") +
           ",\"inhibited\":" + (r.inhibited ? "true" : "false") + ",\"base\":" + std::to_string(r.base) +
           ",\"target\":" + std::to_string(r.target) + ",\"reason\":" + json_string(r.reason) +
           ",\"uptime_ms\":" + std::to_string(r.uptime_ms) + "}";
}

}  // namespace

std::string page_status_json(const page_status& s) {
    const char* t = "true";
    const char* f = "false";
    std::string out = "{\"ok\":true,\"now_ms\":" + std::to_string(s.now_ms);
    out += ",\"node\":{\"path\":" + json_string(s.node_path) + ",\"value\":" + std::to_string(s.node_value) +
           ",\"maximum\":" + std::to_string(s.node_maximum) + ",\"mode\":" + json_mode(s.node_mode) + "}";
    out += ",\"holder\":" + json_string(holder_word(s.holder));
    out += ",\"main\":{\"running\":" + std::string(s.main_running ? t : f) +
           ",\"reply\":" + reply_object(s.main_reply) + ",\"error\":" + json_string(s.main_error) + "}";
    out += ",\"owner\":{\"holding\":" + std::string(s.owner_holding ? t : f) +
           ",\"session\":" + json_string(s.owner_session) + ",\"value\":" + std::to_string(s.owner_value) +
           ",\"keeper_pid\":" + std::to_string(s.keeper_pid) + ",\"last_value\":" + std::to_string(s.last_value) +
           "}";
    out += ",\"outdoor\":{\"running\":" + std::string(s.outdoor_running ? t : f) + ",\"record\":" + outdoor_object(s) +
           "}";
    out += ",\"probe\":{\"chosen\":" + json_string(s.chosen) + ",\"why\":" + json_string(s.why) +
           ",\"selinux\":" + json_string(s.selinux) + ",\"socket\":" + json_string(s.socket) + "}";
    out += ",\"settings\":{\"outdoor_node\":" + json_string(s.node_file) +
           ",\"candidates\":" + json_list(s.candidates) +
           ",\"keep_on_uninstall\":" + (s.keep_on_uninstall ? t : f) + "}";
    out += ",\"log\":" + json_list(s.log) + "}";
    return out;
}

std::vector<std::string> last_lines(const std::string& text, size_t n) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    if (lines.size() > n) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(n));
    return lines;
}

int32_t parse_owner_value(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    int32_t v = 0;
    return strict_int(line, HELD_VALUE_MIN, SYSFS_VALUE_MAX, &v) ? v : 0;
}

}  // namespace ctl
