// What the system-side client does to drive one hold of the main panel
// (write the lease as the system user, ARM, SET, STOP as root), and the
// checks of what a hold leaves behind, shared by the crash, fault-injection
// and abuse tests.
#pragma once
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace hold {

// The lease as the client writes it: replaced whole with rename, owned by
// the system user, 0600, with a deadline a few seconds ahead so that a
// slow machine does not let it lapse between two steps.
inline int write_lease(const std::string& session, pid_t pid, bool active, int target, int64_t ahead_ms = 6000) {
    std::string line = session + " " + std::to_string(pid) + " " + std::to_string(monotonic_ms() + ahead_ms) + " " +
                       (active ? "1" : "0") + " " + std::to_string(target) + "\n";
    return write_file_as(kSystemUid, kSystemUid, kMainPanelLease, line, 0600);
}

// A health record as a reader may find it at any moment: exactly one
// whole line of session, holding flag, last error and time.
inline bool health_record_whole(const std::string& text) {
    static const std::regex line("^[A-Za-z0-9_-]{0,80} [01] -?[0-9]+ [0-9]+\n$");
    return std::regex_match(text, line);
}

// A permission record is whole when it is exactly what arming writes for
// this node: the saved bits, the node's device and inode, this boot, the
// node path and its canonical path, each on its own line.
inline bool permission_record_whole(const std::string& text, const std::string& canonical,
                                    const std::string& mode_octal = "664") {
    std::string boot = boot_id();
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == '\r')) boot.pop_back();
    auto st = stat_path(kNodePath);
    if (!st) return false;
    std::string want = "v2\n" + mode_octal + "\n" + std::to_string((unsigned long long)st->st_dev) + " " +
                       std::to_string((unsigned long long)st->st_ino) + "\n" + boot + "\n" + kNodePath + "\n" +
                       canonical + "\n";
    return text == want;
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

}  // namespace hold
}  // namespace sandbox
