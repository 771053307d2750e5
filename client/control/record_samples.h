// Health records exactly as the daemons format them, for the tests of the
// rooms that read them (control's parsers, the module's description).
#pragma once
#include <stdint.h>

#include <string>

#include "mainpanel/health.h"
#include "outdoor/outdoor_health.h"

namespace record_samples {

// An outdoor record of pid 321 at 5000 ms.
inline std::string outdoor_line(bool held, bool inhibited, int base, int target, const char* reason) {
    boost_state s = {};
    s.held = held;
    s.inhibited = inhibited;
    s.base = base;
    s.target = target;
    char buf[OUTDOOR_HEALTH_SIZE];
    int n = format_outdoor_health(buf, sizeof buf, 321, &s, reason, 5000);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

// A main-panel record with no failure.
inline std::string main_line(const char* session, int holding, int64_t time_ms) {
    char buf[HEALTH_LINE_SIZE];
    int n = format_health_record(buf, sizeof buf, session, holding, 0, time_ms);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

}  // namespace record_samples
