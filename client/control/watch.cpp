// How `watch` shows what it sees. The lease notes use the daemon's own
// parsers, so "accepted" means exactly what the daemon would conclude from
// the same bytes at the same moment (apart from the maximum, which the
// watcher reads from the node's sibling when it can).
#include <errno.h>
#include <string.h>

#include "client/control/escape.h"
#include "client/control/health_record.h"
#include "client/control/watch.h"
#include "mainpanel/lease.h"
#include "outdoor/outdoor_lease.h"

namespace ctl {

namespace {

const char kNotTrusted[] = " [refused: not a regular file of uid 1000 without group or other bits]";

std::string ms_left(int64_t deadline_ms, int64_t now_ms) {
    return std::to_string(static_cast<long long>(deadline_ms - now_ms)) + " ms left";
}

}  // namespace

std::string describe_snapshot(const file_snapshot& snap) {
    if (snap.error == ENOENT) return "absent";
    if (snap.error != 0) return std::string("unreadable (") + strerror(snap.error) + ")";
    std::string text = snap.text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.empty()) return "empty";
    return escape_text(text);
}

std::string judge_main_panel_lease(const file_snapshot& snap, int64_t now_ms, int32_t maximum) {
    if (snap.error != 0) return std::string();
    if (!snap.system_owned) return kNotTrusted;
    // The daemon reads one buffer of at most LEASE_READ_SIZE - 1 bytes.
    std::string head = snap.text.substr(0, LEASE_READ_SIZE - 1);
    lease_record rec = {};
    if (!judge_main_panel_lease_read(head.c_str(), head.size(), now_ms, maximum, &rec))
        return " [refused: malformed, out of range or expired]";
    return std::string(" [accepted: ") + (rec.active ? "active" : "paused") + " target " +
           std::to_string(rec.target) + " pid " + std::to_string(rec.pid) + ", " +
           ms_left(rec.deadline_ms, now_ms) + "]";
}

std::string judge_outdoor_lease(const file_snapshot& snap, int64_t now_ms) {
    if (snap.error != 0) return std::string();
    if (!snap.system_owned) return kNotTrusted;
    outdoor_lease_record rec = {};
    size_t len = snap.text.size() < OUTDOOR_LEASE_READ_SIZE - 1 ? snap.text.size()
                                                                : OUTDOOR_LEASE_READ_SIZE - 1;
    if (!parse_outdoor_lease(snap.text.data(), len, now_ms, &rec))
        return " [refused: malformed, out of range or expired]";
    std::string what = rec.is_v2 ? (rec.level == 0 ? std::string("level maximum")
                                                   : "level " + std::to_string(rec.level))
                                 : "ratio " + std::to_string(rec.ratio_permille) + "/1000";
    return std::string(" [accepted: ") + (rec.held ? "held " : "not held ") + what + " pid " +
           std::to_string(rec.pid) + ", " + ms_left(rec.deadline_ms, now_ms) + "]";
}

std::string judge_health_record(const file_snapshot& snap, int64_t now_ms, bool outdoor) {
    if (snap.error != 0 && snap.error != ENOENT) return std::string();
    health_view v = view_health_record(snap.error == 0, snap.text, outdoor, now_ms);
    if (v.this_boot) return std::string();
    if (v.present && !snap.text.empty() && !v.valid) return " [malformed]";
    return v.present && !snap.text.empty() ? " [written by an earlier boot: no daemon of this boot]"
                                           : " [no daemon of this boot]";
}

std::string max_brightness_path(const std::string& node_path) {
    size_t slash = node_path.rfind('/');
    if (slash == std::string::npos) return "max_brightness";
    return node_path.substr(0, slash + 1) + "max_brightness";
}

}  // namespace ctl
