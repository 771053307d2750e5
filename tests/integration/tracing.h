// strace in front of the daemon, for the tests that look at the system
// calls it makes (fault injection, the sync of its records).
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace sandbox::tracing {

inline std::string find_in_path(const char* name) {
    const char* path = getenv("PATH");
    std::istringstream in(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(in, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// The path of an strace that can trace here, or empty with *why (not
// installed, or ptrace refused, as some containers do).
inline std::string usable_strace(std::string* why) {
    std::string strace = find_in_path("strace");
    if (strace.empty()) {
        *why = "strace is not installed (Debian package strace)";
        return "";
    }
    const std::string probe = strace + " -f -qq -o /dev/null -e trace=none /bin/true >/dev/null 2>&1";
    if (system(probe.c_str()) != 0) {
        *why = "strace cannot trace here (ptrace refused?)";
        return "";
    }
    return strace;
}

// The lines of an strace log.
inline std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

}  // namespace sandbox::tracing
