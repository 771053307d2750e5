// The daemons' health records as a client must read them, without I/O
// (health_record.cpp): each record's fields as its daemon formats them, and
// whether a record is one of this boot. watch notes it, probe reports it,
// and the module's description is made from it.
#pragma once
#include <stdint.h>

#include <string>

namespace ctl {

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

}  // namespace ctl
