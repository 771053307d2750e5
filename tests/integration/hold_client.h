// How the system-side client that drives one hold of the main panel (the
// lease written as the system user, ARM, SET, STOP as root) keeps its
// lease, and the checks of what a hold leaves behind, shared by the crash,
// fault-injection and abuse tests.
#pragma once
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "sandbox/sandbox.h"
#include "tests/integration/run_outcome.h"

namespace sandbox::hold {

// How far ahead the client puts the lease's deadline: a few seconds, so
// that a slow machine does not let it lapse between two steps.
inline constexpr int64_t kLeaseAheadMs = 6000;

// A health record as a reader may find it at any moment: exactly one
// whole line of session, holding flag, last error and time.
inline bool health_record_whole(const std::string& text) {
    static const std::regex line("^[A-Za-z0-9_-]{0,80} [01] -?[0-9]+ [0-9]+\n$");
    return std::regex_match(text, line);
}

// A permission record is whole when it is exactly what arming writes for
// this node: the saved bits, the node's device and inode, this boot, the
// node path and its canonical path, each on its own line.
inline bool permission_record_whole(const std::string& text, const std::string& canonical, unsigned mode = 0664) {
    std::string boot = boot_id();
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == '\r')) boot.pop_back();
    auto st = stat_path(kNodePath);
    if (!st) return false;
    return text == v2_record(mode, st->st_dev, st->st_ino, boot, kNodePath, canonical);
}

inline int64_t realtime_us() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

// An unsigned number from the environment, or fallback.
inline long env_number(const char* name, long fallback) {
    const char* text = getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    return (end && *end == '\0' && v >= 0) ? v : fallback;
}

}  // namespace sandbox::hold
