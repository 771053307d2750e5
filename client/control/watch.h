// How `watch` shows what it sees, without I/O (watch.cpp; the loop that
// looks is run_watch, in run.cpp). The lease notes come from the daemon's
// own parsers.
#pragma once
#include <stdint.h>

#include <string>

namespace ctl {

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

}  // namespace ctl
