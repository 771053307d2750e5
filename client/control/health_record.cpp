// The daemons' health records as a client must read them; no I/O here.
#include <stdio.h>
#include <string.h>

#include <string>

#include "client/control/health_record.h"
#include "common/scan.h"
#include "process/protocol.h"

namespace ctl {

namespace {

enum : size_t {
    BOOL_WORD_SIZE = 6,     // "false" and its NUL
    REASON_WORD_SIZE = 32,  // the daemon's reason words are shorter
};

bool bool_word(const char* word, bool* out) {
    if (strcmp(word, "true") == 0) *out = true;
    else if (strcmp(word, "false") == 0) *out = false;
    else return false;
    return true;
}

}  // namespace

bool parse_outdoor_record(const std::string& text, outdoor_record* out) {
    int pid = 0, base = 0, target = 0;
    long long uptime = 0;
    char held[BOOL_WORD_SIZE] = {}, inhibited[BOOL_WORD_SIZE] = {}, reason[REASON_WORD_SIZE] = {};
    char close = 0;
    // The daemon's own format (outdoor/outdoor_health.cpp), field by field.
    int n = sscanf(text.c_str(),
                   "{\"pid\":%d,\"held\":%5[a-z],\"inhibited\":%5[a-z],\"base\":%d,\"target\":%d,"
                   "\"reason\":\"%31[a-z_]\",\"uptime_ms\":%lld%c",
                   &pid, held, inhibited, &base, &target, reason, &uptime, &close);
    outdoor_record r;
    if (n != 8 || close != '}' || !bool_word(held, &r.held) || !bool_word(inhibited, &r.inhibited)) return false;
    r.pid = pid;
    r.base = base;
    r.target = target;
    r.reason = reason;
    r.uptime_ms = uptime;
    *out = r;
    return true;
}

bool parse_main_panel_record(const std::string& text, main_panel_record* out) {
    // The session may be empty: the line then starts with its blank.
    size_t blank = text.find(' ');
    if (blank == std::string::npos || blank > SESSION_MAX) return false;
    main_panel_record r;
    r.session = text.substr(0, blank);
    const char* p = text.c_str() + blank;
    char tail = 0;
    if (!scan_i32(&p, &r.holding) || !scan_i32(&p, &r.error) || !scan_i64(&p, &r.time_ms) || scan_char(&p, &tail))
        return false;
    *out = r;
    return true;
}

int64_t main_panel_health_time(const std::string& text) {
    main_panel_record r;
    return parse_main_panel_record(text, &r) ? r.time_ms : -1;
}

int64_t outdoor_health_time(const std::string& text) {
    static const char kKey[] = "\"uptime_ms\":";
    size_t at = text.find(kKey);
    if (at == std::string::npos) return -1;
    const char* p = text.c_str() + at + sizeof kKey - 1;
    int64_t time_ms = 0;
    if (!scan_i64(&p, &time_ms)) return -1;
    return time_ms;
}

health_view view_health_record(bool present, const std::string& text, bool outdoor, int64_t now_ms) {
    static const char kNoDaemon[] = ": no daemon of this boot";
    health_view v;
    v.present = present;
    // One line, and for outdoor mode one JSON object of the daemon's.
    bool one_line = text.find('\n') == text.size() - 1;
    bool shape = !outdoor || (text.rfind("{\"pid\":", 0) == 0 && text.size() >= 2 &&
                              text.compare(text.size() - 2, 2, "}\n") == 0);
    int64_t at = outdoor ? outdoor_health_time(text) : main_panel_health_time(text);
    v.valid = present && one_line && shape && at >= 0;
    if (!present) {
        v.verdict = std::string("absent") + kNoDaemon;
    } else if (text.empty()) {
        v.verdict = std::string("empty") + kNoDaemon;
    } else if (!v.valid) {
        v.verdict = "malformed (torn, or not the daemon's)";
    } else if (at > now_ms) {
        v.verdict = "written by an earlier boot (stamped " + std::to_string(static_cast<long long>(at - now_ms)) +
                    " ms ahead of this boot's clock)" + kNoDaemon;
    } else {
        v.this_boot = true;
        v.age_ms = now_ms - at;
        v.verdict = "written " + std::to_string(static_cast<long long>(v.age_ms)) + " ms ago";
    }
    return v;
}

}  // namespace ctl
