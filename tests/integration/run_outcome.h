// A daemon run that ends on its own (a start-up failure, or a command line
// that does not loop): its exit status and everything it wrote on standard
// error; the shapes of a start-up failure line; and expectations on both.
#pragma once
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {

struct Outcome {
    int code = -1;
    std::string err;  // everything written on standard error
};

inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "exit " << o.code << ", stderr \"" << o.err << "\"";
}

// Runs a daemon that is expected to end during start-up.
inline Outcome run_to_end(const std::vector<std::string>& args, const DaemonOptions& options = {}) {
    Daemon d;
    Outcome o;
    if (!d.start(args, options)) {
        ADD_FAILURE() << "could not start the daemon";
        return o;
    }
    o.code = d.wait_exit(std::chrono::seconds(20));
    o.err = d.stderr_text();
    return o;
}

inline std::string fail_line(const char* stage, int code, int err) {
    return std::string("NATIVE_START_FAIL stage=") + stage + " exit=" + std::to_string(code) +
           " errno=" + std::to_string(err) + " (" + strerror(err) + ")\n";
}

// The start of a failure line, for stages whose errno is whatever an
// earlier call happened to leave.
inline std::string fail_prefix(const char* stage, int code) {
    return std::string("NATIVE_START_FAIL stage=") + stage + " exit=" + std::to_string(code) + " errno=";
}

inline bool is_single_line_starting(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0 && text.find('\n') == text.size() - 1;
}

// Macros, so that a failure names the test's own line.
#define EXPECT_OUTCOME(o, exit_code, err_text)     \
    do {                                           \
        EXPECT_EQ((o).code, (exit_code)) << (o);   \
        EXPECT_EQ((o).err, (err_text));            \
    } while (0)

// Exit code and a single failure line of that stage and code, whatever
// its errno.
#define EXPECT_FAIL_PREFIX(o, stage, exit_code)                                                   \
    do {                                                                                          \
        EXPECT_EQ((o).code, (exit_code)) << (o);                                                  \
        EXPECT_TRUE(is_single_line_starting((o).err, fail_prefix((stage), (exit_code)))) << (o); \
    } while (0)

}  // namespace sandbox
