// Shared ground for the main-panel tests that drive the real binary: a
// fixture that plays the system-side client (it writes the lease as the
// system user and keeps it fresh, and talks on the control socket), plus
// small readers for the status reply, the health record and the
// permission record.
#pragma once
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/integration/run_outcome.h"

namespace sandbox::main_panel {

inline constexpr const char* kSession = "hold-A_1";

// How long a lease stays valid after each rewrite, and how often the
// fixture rewrites it while it waits: far inside the daemon's 8000 ms
// limit, and renewed long before it lapses even on a slow machine.
inline constexpr int kLeaseTtlMs = 6000;
inline constexpr int kRenewEveryMs = 1000;

// ---- the status reply ----

struct StatusExpect {
    bool ok = true;
    std::string reason = "status";
    int target = -1;
    int actual = 100;
    int maximum = 255;
    bool armed = false;
    bool paused = false;
    std::string session{};
    int write_attempts = 0;
    int write_successes = 0;
    int corrections = 0;
    int err = 0;
};

// The exact reply the daemon gives for these values on the default node.
std::string status_json(const StatusExpect& e);
// A number in a reply, or INT32_MIN when there is none.
int int_of(const std::optional<std::string>& reply, const std::string& key);

// ---- the health record ----

struct Health {
    std::string session{};
    int holding = -1;
    int err = -1;
    int64_t time = -1;
};

std::ostream& operator<<(std::ostream& os, const Health& h);
// Exactly "<session> <holding> <errno> <time>\n" with single blanks.
std::optional<Health> parse_health(const std::string& text);
std::optional<Health> read_health();

// ---- the permission record ----

// The second line of a version 2 record: the saved permission bits.
std::string record_mode_line(const std::string& record);

// ---- the fixture ----

struct Lease {
    std::string session = kSession;
    pid_t pid = 0;  // 0: the test process itself
    int active = 1;
    int target = 150;
    int ttl_ms = kLeaseTtlMs;
};

class MainPanelTest : public SandboxTest {
  protected:
    FakeNode* node_ = nullptr;

    // The main panel's fake node (default value 100, maximum 255, mode
    // 0664, owner 1000 unless options say otherwise).
    FakeNode* make_node(const FakeNodeOptions& options = {}) { return node_ = add_node(options); }
    static FakeNodeOptions node_at(int value) { return {.value = value}; }

    // Runs a start that is expected to end on its own (a start-up failure,
    // a command line that does not loop, --recover).
    static Outcome run(const std::vector<std::string>& args, const DaemonOptions& options = {}) {
        return run_to_end(args, options);
    }
    // A main-panel daemon on kNodePath that printed its readiness line and
    // installed its stop handlers; null (with a failure) otherwise.
    Daemon* start_daemon(std::string* ready_line = nullptr, const DaemonOptions& options = {});
    // make_node(options), then start_daemon(); null (with a failure) when
    // either fails.
    Daemon* start_with_node(const FakeNodeOptions& options = {});
    // Ends the daemon with SIGTERM; it must exit 0.
    static void expect_sigterm_ends(Daemon& d);
    // A root STOP releases the hold, ends the daemon with 0 and leaves the
    // node as the system left it.
    void expect_stop_releases(Daemon& d);

    // ---- the lease, as the system-side client keeps it ----

    // Writes the lease as the system user, by rename, with a deadline
    // ttl_ms ahead; the fixture keeps rewriting it while it waits, unless
    // renewing is switched off. Returns the deadline written.
    int64_t write_lease(const Lease& lease);
    int64_t rewrite_lease();
    void stop_renewing() { renew_ = false; }
    void renew_if_due() {
        if (renew_ && have_lease_ && monotonic_ms() - last_lease_ms_ >= kRenewEveryMs) rewrite_lease();
    }
    // wait_until that keeps the lease fresh meanwhile.
    bool wait_renewing(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
    // Lets time pass (for checks that something does NOT happen) while
    // keeping the lease fresh.
    void pass_time(std::chrono::milliseconds span) { wait_renewing([] { return false; }, span); }
    std::optional<std::string> wait_line(Daemon& d, const std::string& prefix, std::chrono::milliseconds timeout,
                                         size_t from = 0);
    // Waits for the daemon to end, keeping the lease fresh so that only
    // the cause under test can end it; -1 when it is still running.
    int wait_exit_renewing(Daemon& d, std::chrono::milliseconds timeout);

    // ---- the control socket ----

    std::optional<std::string> request(const std::string& line, uid_t uid = 0);
    std::string arm_line(const std::string& session = kSession, pid_t pid = 0) {
        return "ARM " + session + " " + std::to_string(pid > 0 ? pid : getpid());
    }
    // Writes the lease and arms the hold with it; the reply (checked to be
    // "armed") is returned.
    std::optional<std::string> arm(const Lease& lease);
    // A hold whose value the daemon itself wrote through SET: the node
    // already reads lease.target (so the hold loop has nothing to correct
    // before the SET), then SET writes it, which arms the write guard.
    bool hold(const Lease& lease);

    // ---- output lines and the guard's traces ----

    static std::vector<std::string> lines_starting(Daemon& d, const std::string& prefix);
    // The node is back as the system left it and no permission record
    // remains.
    void expect_node_released();
    void expect_node_guarded();

  private:
    Lease lease_;
    bool have_lease_ = false;
    bool renew_ = true;
    int64_t last_lease_ms_ = 0;
};

}  // namespace sandbox::main_panel
