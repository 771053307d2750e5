// Shared ground for the outdoor tests that drive the real binary: the
// outdoor health record's reader, the lease as system_server's side keeps
// it, the main-panel lock as a main-panel daemon holds it, and a fixture
// with a panel, a system_server stand-in and an outdoor daemon.
#pragma once
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/integration/run_outcome.h"

namespace sandbox::outdoor {

// The daemon accepts a lease whose deadline lies at most this far ahead.
inline constexpr int64_t kLeaseAheadMs = 1500;
// How often the renewing writer replaces the lease: well inside the lease's
// lifetime, so that a late renewal on a busy machine does not let it lapse.
inline constexpr auto kRenewPeriod = std::chrono::milliseconds(300);
// The daemon boosts only a value that stayed the same this long.
inline constexpr int64_t kStableMs = 500;
// Generous upper bounds for things that normally take a few hundred
// milliseconds; the machine may be small and busy.
inline constexpr auto kSettle = std::chrono::seconds(10);

// ---- the outdoor health record ----

struct Health {
    long long pid = -1;
    bool held = false;
    bool inhibited = false;
    long long base = -1;
    long long target = -1;
    std::string reason;
    long long uptime_ms = -1;
};

// Reads the record with plain string searches, then insists that the line
// is exactly what the fixed format would make of those values, so that key
// order, quotes, blanks and the single trailing newline are checked too.
std::optional<Health> parse_health(const std::string& text);
std::optional<Health> read_health();
std::string health_text();
// Waits until the record satisfies pred; returns it, or nullopt on timeout.
std::optional<Health> wait_health(const std::function<bool(const Health&)>& pred,
                                  std::chrono::milliseconds timeout = kSettle);

// ---- the lease ----

struct LeaseTerms {
    std::string version = "v1";
    pid_t pid = 0;
    int value = 500;
    int held = 1;
};

inline LeaseTerms release_terms(pid_t owner) { return {.pid = owner, .held = 0}; }

// The writer of the outdoor lease, standing in for system_server's side:
// each write replaces the file by rename as the system user, with a fresh
// deadline as far ahead as the daemon accepts. Started, it keeps renewing
// from a thread of the test process until stopped, so that a boost can
// outlive a single lease. Every write of the lease file in a test goes
// through one object, because the sandbox's writer names its temporary file
// after the test process and two writers at once would trip over it.
class LeaseRenewer {
  public:
    ~LeaseRenewer() { stop(); }

    // One write now, with these terms; they also become the terms of any
    // later renewal.
    bool write(const LeaseTerms& terms);
    // Writes at once and then every period until stop().
    bool start(const LeaseTerms& terms, std::chrono::milliseconds period = kRenewPeriod);
    // Rewrites the lease at once with the current terms; every rename wakes
    // the daemon for one turn.
    bool renew_now();
    // Ends the renewals; the lease on disk is left to expire at its
    // deadline.
    void stop();

    int64_t first_write_ms() const { return locked(first_write_ms_); }
    int64_t last_deadline_ms() const { return locked(last_deadline_ms_); }
    int writes() const { return locked(writes_); }
    // Failed writes, with the errno of the last one.
    int failures() const { return locked(failures_); }
    int last_error() const { return locked(last_error_); }

  private:
    template <class T>
    T locked(const T& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    void run(std::chrono::milliseconds period);
    bool write_locked();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    bool stop_requested_ = false;
    LeaseTerms terms_;
    int64_t first_write_ms_ = 0;
    int64_t last_deadline_ms_ = 0;
    int writes_ = 0;
    int failures_ = 0;
    int last_error_ = 0;
};

// Moves a file into /data/system as the system user, without touching the
// lease.
bool poke_system_dir();

// The main-panel lock as a main-panel daemon would hold it, taken from the
// test process. Released when destroyed.
class MainPanelLockHolder {
  public:
    bool take();
    void release();
    ~MainPanelLockHolder() { release(); }

  private:
    int fd_ = -1;
};

// ---- the fixture ----

class OutdoorTest : public SandboxTest {
  protected:
    void TearDown() override;

    FakeNode* add_panel(int value = 100, int maximum = 255) {
        return node_ = add_node({.value = value, .maximum = maximum});
    }
    // An outdoor daemon that has written its first record and installed its
    // stop handlers. Null (with a failure) when it did not get there.
    Daemon* start_outdoor(const std::string& path = kNodePath);
    // A panel at 100, a running system_server (its pid in *server) and an
    // outdoor daemon; with `boosted`, also the node boosted to 177 by that
    // server's lease. Null (with a failure) when any step fails.
    Daemon* start_with_server(pid_t* server, bool boosted);
    // Keeps a lease with these terms alive and waits until the node shows
    // `expected` and the record reports the boost. False (with a failure)
    // otherwise.
    bool boost_to(pid_t owner, int expected, LeaseTerms terms = {});
    // Waits for the daemon to take at least one more turn, seen as a read
    // of the node.
    bool wait_for_turn(int reads_before);
    // Waits until the lease writer has renewed `count` more times.
    bool wait_renewals(int count);
    void expect_last_write(const char* value);
    // The node still shows value, has had no further write since `writes`
    // and the record is still `record`: the daemon kept its hands off.
    void expect_untouched(int value, int writes, const std::string& record);
    // A record that holds nothing.
    static void expect_idle(const Health& h);
    void stop_cleanly(Daemon& d, std::chrono::milliseconds within = std::chrono::seconds(10));
    void expect_stopped_cleanly(Daemon& d, std::chrono::milliseconds within = std::chrono::seconds(10));

    FakeNode* node_ = nullptr;
    LeaseRenewer lease_;
};

// Runs a daemon that must end during start-up with `code` and no output.
void expect_silent_exit(const std::vector<std::string>& args, int code, const DaemonOptions& options = {});

}  // namespace sandbox::outdoor
