// Outdoor mode through the real binary: its silent start-up, the boost that
// follows a lease written by system_server, and every way a boost ends
// (the lease lets go or expires, another writer or a main-panel daemon takes
// the node, a stop, a changed node, a restarted system_server).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/run_outcome.h"
#include "tests/sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kNodePath = "/sys/class/backlight/panel0-backlight/brightness";

// The daemon accepts a lease whose deadline lies at most this far ahead.
constexpr int64_t kLeaseAheadMs = 1500;
// How often the renewing writer replaces the lease: well inside the lease's
// lifetime, so that a late renewal on a busy machine does not let it lapse.
constexpr auto kRenewPeriod = std::chrono::milliseconds(300);
// The daemon boosts only a value that stayed the same this long.
constexpr int64_t kStableMs = 500;
// Generous upper bounds for things that normally take a few hundred
// milliseconds; the machine may be small and busy.
constexpr auto kSettle = std::chrono::seconds(10);

// ---- the outdoor health record ----

struct Health {
    long long pid = -1;
    bool held = false;
    bool inhibited = false;
    long long base = -1;
    long long target = -1;
    std::string reason;
    long long uptime_ms = -1;
    std::string raw;
};

std::optional<long long> parse_number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

std::optional<bool> parse_bool(const std::string& text) {
    if (text == "true") return true;
    if (text == "false") return false;
    return std::nullopt;
}

// The text after "key": up to the next ',' or '}'.
std::optional<std::string> json_field(const std::string& text, const char* key) {
    std::string k = std::string("\"") + key + "\":";
    size_t p = text.find(k);
    if (p == std::string::npos) return std::nullopt;
    p += k.size();
    size_t e = text.find_first_of(",}", p);
    if (e == std::string::npos) return std::nullopt;
    return text.substr(p, e - p);
}

// Reads the record with plain string searches, then insists that the line
// is exactly what the fixed format would make of those values, so that key
// order, blanks and the single trailing newline are checked too.
std::optional<Health> parse_health(const std::string& text) {
    Health h;
    h.raw = text;
    auto pid = json_field(text, "pid");
    auto held = json_field(text, "held");
    auto inhibited = json_field(text, "inhibited");
    auto base = json_field(text, "base");
    auto target = json_field(text, "target");
    auto reason = json_field(text, "reason");
    auto uptime = json_field(text, "uptime_ms");
    if (!pid || !held || !inhibited || !base || !target || !reason || !uptime) return std::nullopt;
    auto pid_v = parse_number(*pid);
    auto held_v = parse_bool(*held);
    auto inhibited_v = parse_bool(*inhibited);
    auto base_v = parse_number(*base);
    auto target_v = parse_number(*target);
    auto uptime_v = parse_number(*uptime);
    if (!pid_v || !held_v || !inhibited_v || !base_v || !target_v || !uptime_v) return std::nullopt;
    if (reason->size() < 2 || reason->front() != '"' || reason->back() != '"') return std::nullopt;
    h.pid = *pid_v;
    h.held = *held_v;
    h.inhibited = *inhibited_v;
    h.base = *base_v;
    h.target = *target_v;
    h.reason = reason->substr(1, reason->size() - 2);
    h.uptime_ms = *uptime_v;
    std::string expected = "{\"pid\":" + std::to_string(h.pid) + ",\"held\":" + (h.held ? "true" : "false") +
                           ",\"inhibited\":" + (h.inhibited ? "true" : "false") +
                           ",\"base\":" + std::to_string(h.base) + ",\"target\":" + std::to_string(h.target) +
                           ",\"reason\":\"" + h.reason + "\",\"uptime_ms\":" + std::to_string(h.uptime_ms) + "}\n";
    if (text != expected) return std::nullopt;
    return h;
}

std::optional<Health> read_health() {
    auto text = read_file(kOutdoorHealth);
    if (!text) return std::nullopt;
    return parse_health(*text);
}

std::string health_text() { return read_file(kOutdoorHealth).value_or("(no record)"); }

// Waits until the record satisfies pred; returns it, or nullopt on timeout.
std::optional<Health> wait_health(const std::function<bool(const Health&)>& pred,
                                  std::chrono::milliseconds timeout = kSettle) {
    std::optional<Health> seen;
    bool ok = wait_until(
        [&] {
            seen = read_health();
            return seen && pred(*seen);
        },
        timeout, std::chrono::milliseconds(5));
    if (!ok) return std::nullopt;
    return seen;
}

// ---- the lease ----

struct LeaseTerms {
    std::string version = "v1";
    pid_t pid = 0;
    int value = 500;
    int held = 1;
};

std::string lease_line(const LeaseTerms& t, int64_t deadline_ms) {
    return t.version + " " + std::to_string(t.pid) + " " + std::to_string(deadline_ms) + " " +
           std::to_string(t.value) + " " + std::to_string(t.held) + "\n";
}

LeaseTerms release_terms(pid_t owner) {
    LeaseTerms t;
    t.pid = owner;
    t.held = 0;
    return t;
}

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
    bool write(const LeaseTerms& terms) {
        std::lock_guard<std::mutex> lock(mutex_);
        terms_ = terms;
        return write_locked();
    }

    // Writes at once and then every period until stop().
    bool start(const LeaseTerms& terms, std::chrono::milliseconds period = kRenewPeriod) {
        stop();
        bool ok = write(terms);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_requested_ = false;
        }
        thread_ = std::thread([this, period] { run(period); });
        return ok;
    }

    // Rewrites the lease at once with the current terms; every rename wakes
    // the daemon for one turn.
    bool renew_now() {
        std::lock_guard<std::mutex> lock(mutex_);
        return write_locked();
    }

    // Ends the renewals; the lease on disk is left to expire at its
    // deadline.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_requested_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    int64_t first_write_ms() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return first_write_ms_;
    }
    int64_t last_deadline_ms() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_deadline_ms_;
    }
    int writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    // Failed writes, with the errno of the last one.
    int failures() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }
    int last_error() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_error_;
    }

  private:
    void run(std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!cv_.wait_for(lock, period, [this] { return stop_requested_; })) write_locked();
    }

    bool write_locked() {
        int64_t now = monotonic_ms();
        int64_t deadline = now + kLeaseAheadMs;
        int rc = write_file_as(kSystemUid, kSystemUid, kOutdoorLease, lease_line(terms_, deadline), 0600);
        if (rc != 0) {
            ++failures_;
            last_error_ = rc;
            return false;
        }
        if (first_write_ms_ == 0) first_write_ms_ = now;
        last_deadline_ms_ = deadline;
        ++writes_;
        return true;
    }

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
bool poke_system_dir() {
    return write_file_as(kSystemUid, kSystemUid, std::string(kSystemDir) + "/unrelated-file", "x\n") == 0;
}

// The main-panel lock as a main-panel daemon would hold it, taken from the
// test process. Released when destroyed.
class MainPanelLockHolder {
  public:
    bool take() {
        fd_ = open(kMainPanelLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) return false;
        // A lock file the daemon trusts: root's, no group or other bits.
        if (fchmod(fd_, 0600) != 0) return false;
        // Blocking: the outdoor daemon holds it only for an instant.
        return flock(fd_, LOCK_EX) == 0;
    }
    void release() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    ~MainPanelLockHolder() { release(); }

  private:
    int fd_ = -1;
};

// ---- the fixture ----

class OutdoorTest : public SandboxTest {
  protected:
    void TearDown() override {
        // The sandbox can only be left by a single-threaded process.
        lease_.stop();
        EXPECT_EQ(lease_.failures(), 0) << "a lease write failed with errno " << lease_.last_error();
        SandboxTest::TearDown();
    }

    FakeNode* add_panel(int value = 100, int maximum = 255) {
        FakeNodeOptions o;
        o.value = value;
        o.maximum = maximum;
        node_ = add_node(o);
        return node_;
    }

    // An outdoor daemon that has written its first record and installed its
    // stop handlers. Null (with a failure) when it did not get there.
    Daemon* start_outdoor(const std::string& path = kNodePath) {
        Daemon& d = spawn_daemon({"--outdoor", "--node", path});
        if (!d.started()) return nullptr;
        pid_t pid = d.pid();
        auto first = wait_health([&](const Health& h) { return h.pid == pid; });
        if (!first) {
            ADD_FAILURE() << "no health record from the daemon; exit " << d.wait_exit(1s)
                          << ", stderr \"" << d.stderr_text() << "\", record " << health_text();
            return nullptr;
        }
        if (!wait_signal_caught(pid, SIGTERM, 10s)) {
            ADD_FAILURE() << "the daemon never installed its SIGTERM handler";
            return nullptr;
        }
        return &d;
    }

    // A panel at 100, a running system_server (its pid in *server) and an
    // outdoor daemon; with `boosted`, also the node boosted to 177 by that
    // server's lease. Null (with a failure) when any step fails.
    Daemon* start_with_server(pid_t* server, bool boosted) {
        if (add_panel() == nullptr) {
            ADD_FAILURE() << "could not add the panel";
            return nullptr;
        }
        *server = start_system_server();
        if (*server <= 0) {
            ADD_FAILURE() << "could not start system_server";
            return nullptr;
        }
        Daemon* d = start_outdoor();
        if (d == nullptr || (boosted && !boost_to(*server, 177))) return nullptr;
        return d;
    }

    // Keeps a lease with these terms alive and waits until the node shows
    // `expected` and the record reports the boost. False (with a failure)
    // otherwise.
    bool boost_to(pid_t owner, int expected, LeaseTerms terms = {}) {
        terms.pid = owner;
        if (!lease_.start(terms)) {
            ADD_FAILURE() << "could not write the lease, errno " << lease_.last_error();
            return false;
        }
        bool reached = wait_until([&] { return node_->value() == expected; }, kSettle);
        if (!reached) {
            ADD_FAILURE() << "the node never reached " << expected << "; it shows " << node_->value()
                          << ", record " << health_text();
            return false;
        }
        auto h = wait_health([](const Health& r) { return r.reason == "boosted"; });
        if (!h) {
            ADD_FAILURE() << "no \"boosted\" record; record " << health_text();
            return false;
        }
        return true;
    }

    // Waits for the daemon to take at least one more turn, seen as a read
    // of the node.
    bool wait_for_turn(int reads_before) {
        return wait_until([&] { return node_->reads_served() > reads_before; }, kSettle);
    }

    // Waits until the lease writer has renewed `count` more times.
    bool wait_renewals(int count) {
        int renewals = lease_.writes();
        return wait_until([&] { return lease_.writes() >= renewals + count; }, kSettle);
    }

    void expect_last_write(const char* value) {
        ASSERT_FALSE(node_->last_writes().empty());
        EXPECT_EQ(node_->last_writes().back(), value);
    }

    // A record that holds nothing.
    static void expect_idle(const Health& h) {
        EXPECT_FALSE(h.held);
        EXPECT_FALSE(h.inhibited);
        EXPECT_EQ(h.base, 0);
        EXPECT_EQ(h.target, 0);
    }

    void stop_cleanly(Daemon& d, std::chrono::milliseconds within = 10s) {
        d.signal(SIGTERM);
        expect_stopped_cleanly(d, within);
    }

    void expect_stopped_cleanly(Daemon& d, std::chrono::milliseconds within = 10s) {
        pid_t pid = d.pid();
        EXPECT_EQ(d.wait_exit(within), 0) << "record " << health_text();
        EXPECT_EQ(d.stderr_text(), "");
        auto h = read_health();
        ASSERT_TRUE(h) << health_text();
        EXPECT_EQ(h->pid, pid);
        EXPECT_EQ(h->reason, "stopped");
        EXPECT_FALSE(h->held);
        EXPECT_FALSE(h->inhibited);
        EXPECT_EQ(h->base, 0);
        EXPECT_EQ(h->target, 0);
    }

    FakeNode* node_ = nullptr;
    LeaseRenewer lease_;
};

// Runs a daemon that must end during start-up with `code` and no output.
void expect_silent_exit(const std::vector<std::string>& args, int code, const DaemonOptions& options = {}) {
    Outcome o = run_to_end(args, options);
    EXPECT_OUTCOME(o, code, "");
}

// ---- start-up ----

TEST_F(OutdoorTest, OutdoorNonRootExitsTwoSilently) {
    ASSERT_NE(add_panel(), nullptr);
    DaemonOptions as_shell;
    as_shell.uid = 2000;
    as_shell.gid = 2000;
    expect_silent_exit({"--outdoor", "--node", kNodePath}, 2, as_shell);
    EXPECT_FALSE(path_exists(kOutdoorHealth));
    EXPECT_FALSE(path_exists(kOutdoorLock));
    EXPECT_EQ(node_->writes_received(), 0);
}

TEST_F(OutdoorTest, OutdoorRefusedNodePathsExitFourSilently) {
    ASSERT_NE(add_panel(), nullptr);
    // A node that exists but whose name says it is not the main panel.
    FakeNodeOptions keyboard;
    keyboard.name = "kbd-backlight";
    FakeNode* kbd = add_node(keyboard);
    ASSERT_NE(kbd, nullptr);
    ASSERT_TRUE(path_exists(kbd->brightness_path()));

    const std::vector<std::string> refused = {
        kbd->brightness_path(),
        "/sys/class/backlight/panel1-backlight/brightness",
        "/sys/class/leds/white/brightness",
        "/sys/class/backlight/panel0-backlight/max_brightness",
        node_->real_brightness_path(),  // right file, but not under a class directory
        "/data/system/brightness",
        "/sys/class/backlight/absent0/brightness",  // allowed name, no such node
    };
    for (const auto& path : refused) {
        SCOPED_TRACE(path);
        expect_silent_exit({"--outdoor", "--node", path}, 4);
    }
    EXPECT_FALSE(path_exists(kOutdoorHealth));
    EXPECT_EQ(node_->writes_received(), 0);
    EXPECT_EQ(kbd->writes_received(), 0);
}

TEST_F(OutdoorTest, OutdoorMaximumTenExitsFourSilently) {
    ASSERT_NE(add_panel(5, 10), nullptr);
    expect_silent_exit({"--outdoor", "--node", kNodePath}, 4);
    EXPECT_FALSE(path_exists(kOutdoorHealth));
}

TEST_F(OutdoorTest, OutdoorRefusedSetsidExitsSixSilently) {
    // Unlike main-panel mode, outdoor mode needs its own session.
    ASSERT_NE(add_panel(), nullptr);
    DaemonOptions leader;
    leader.group_leader = true;
    expect_silent_exit({"--outdoor", "--node", kNodePath}, 6, leader);
}

TEST_F(OutdoorTest, OutdoorMaximumElevenStarts) {
    ASSERT_NE(add_panel(5, 11), nullptr);
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->running());
    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorFirstRecordIsWaiting) {
    ASSERT_NE(add_panel(), nullptr);
    int64_t before = monotonic_ms();
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);
    int64_t after = monotonic_ms();

    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->pid, d->pid());
    EXPECT_EQ(h->reason, "waiting");
    expect_idle(*h);
    // Stamped on the shared monotonic clock.
    EXPECT_GE(h->uptime_ms, before);
    EXPECT_LE(h->uptime_ms, after);

    auto st = lstat_path(kOutdoorHealth);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISREG(st->st_mode));
    EXPECT_EQ(st->st_uid, 0u);
    auto lock = lstat_path(kOutdoorLock);
    ASSERT_TRUE(lock) << "the outdoor lock was not created";
    EXPECT_TRUE(S_ISREG(lock->st_mode));
    EXPECT_EQ(lock->st_mode & 077, 0u);
    EXPECT_EQ(lock->st_uid, 0u);

    EXPECT_EQ(d->stderr_text(), "");
    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorSecondDaemonExitsTwoSilently) {
    ASSERT_NE(add_panel(), nullptr);
    Daemon* first = start_outdoor();
    ASSERT_NE(first, nullptr);
    std::string record = health_text();

    expect_silent_exit({"--outdoor", "--node", kNodePath}, 2);
    EXPECT_TRUE(first->running());
    EXPECT_EQ(health_text(), record) << "the second daemon must not have written a record";

    stop_cleanly(*first);
}

// ---- no lease, and leases from the wrong writer ----

TEST_F(OutdoorTest, OutdoorWithoutALeaseStaysIdle) {
    ASSERT_NE(add_panel(), nullptr);
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);
    std::string record = health_text();

    // Moves and deletions of other files in /data/system (a main-panel
    // hold's lease and heartbeat, say) are none of outdoor mode's business:
    // they cost no turn, and nothing follows "waiting".
    ASSERT_TRUE(wait_for_turn(0)) << "no first turn";
    int reads = node_->reads_served();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(poke_system_dir());
    ASSERT_EQ(unlink((std::string(kSystemDir) + "/unrelated-file").c_str()), 0);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(node_->reads_served(), reads) << "a turn for a file that is not the lease";

    EXPECT_EQ(health_text(), record) << "no record may follow \"waiting\" while nothing changes";
    EXPECT_EQ(node_->value(), 100);
    EXPECT_EQ(node_->writes_received(), 0);
    EXPECT_TRUE(d->running());

    stop_cleanly(*d);
    EXPECT_EQ(node_->writes_received(), 0);
}

TEST_F(OutdoorTest, OutdoorLeaseFromAForeignWriterIsIgnored) {
    ASSERT_NE(add_panel(), nullptr);
    pid_t impostor = start_named_process("system_serverx");
    ASSERT_GT(impostor, 0);
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);
    std::string record = health_text();

    // Neither a process whose name merely begins with "system_server" nor
    // the test itself may start a boost, however long they keep asking.
    for (pid_t writer : {impostor, getpid()}) {
        SCOPED_TRACE("lease naming pid " + std::to_string(writer));
        LeaseTerms terms;
        terms.pid = writer;
        int reads = node_->reads_served();
        ASSERT_TRUE(lease_.start(terms));
        EXPECT_TRUE(wait_for_turn(reads));
        // Several renewals, well past the stability window.
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * kStableMs));
        lease_.stop();
        EXPECT_EQ(node_->value(), 100);
        EXPECT_EQ(node_->writes_received(), 0);
        EXPECT_EQ(health_text(), record);
    }

    // The same lease from the real system_server boosts, so the daemon was
    // listening all along.
    pid_t server = start_system_server();
    ASSERT_GT(server, 0);
    ASSERT_TRUE(boost_to(server, 177));

    stop_cleanly(*d);
}

// ---- the boost ----

TEST_F(OutdoorTest, OutdoorV1HalfRatioBoostsAfterStability) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, false);
    ASSERT_NE(d, nullptr);

    // 100 + (255 - 100) * 500 / 1000, truncated.
    ASSERT_TRUE(boost_to(server, 177));
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->pid, d->pid());
    EXPECT_EQ(h->reason, "boosted");
    EXPECT_TRUE(h->held);
    EXPECT_FALSE(h->inhibited);
    EXPECT_EQ(h->base, 100);
    EXPECT_EQ(h->target, 177);
    // The node had to stay put for the stability window, counted at the
    // earliest from the first lease.
    EXPECT_GE(h->uptime_ms, lease_.first_write_ms() + kStableMs);

    // One plain decimal write, no newline.
    EXPECT_EQ(node_->writes_received(), 1);
    auto writes = node_->last_writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), "177");

    // Renewals of the same terms hold the boost without writing again.
    std::string record = health_text();
    ASSERT_TRUE(wait_renewals(3));
    EXPECT_EQ(node_->value(), 177);
    EXPECT_EQ(node_->writes_received(), 1);
    EXPECT_EQ(health_text(), record);

    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorV2LevelZeroBoostsToTheMaximum) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, false);
    ASSERT_NE(d, nullptr);

    LeaseTerms terms;
    terms.version = "v2";
    terms.value = 0;
    ASSERT_TRUE(boost_to(server, 255, terms));
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_TRUE(h->held);
    EXPECT_FALSE(h->inhibited);
    EXPECT_EQ(h->base, 100);
    EXPECT_EQ(h->target, 255);
    EXPECT_GE(h->uptime_ms, lease_.first_write_ms() + kStableMs);
    expect_last_write("255");

    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 100);
}

// ---- how a boost ends ----

TEST_F(OutdoorTest, OutdoorHeldZeroEndsTheBoost) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);

    ASSERT_TRUE(lease_.write(release_terms(server)));
    EXPECT_TRUE(wait_until([&] { return node_->value() == 100; }, kSettle)) << "node " << node_->value();
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();
    expect_idle(*h);
    expect_last_write("100");
    EXPECT_EQ(node_->writes_received(), 2);

    stop_cleanly(*d);
    EXPECT_EQ(node_->writes_received(), 2) << "nothing to restore at the stop";
}

TEST_F(OutdoorTest, OutdoorLeaseExpiryEndsTheBoost) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);

    // The writer goes quiet: nothing wakes the daemon but the last lease's
    // own deadline.
    lease_.stop();
    int64_t deadline = lease_.last_deadline_ms();
    EXPECT_TRUE(wait_until([&] { return node_->value() == 100; }, kSettle)) << "node " << node_->value();
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();
    expect_idle(*h);
    EXPECT_GE(h->uptime_ms, deadline) << "released before the lease had expired";
    expect_last_write("100");

    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorLeaseMovedAwayEndsTheBoostAtOnce) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);

    // Moving the lease out of the directory is a change there, not a wait
    // for its deadline.
    lease_.stop();
    int64_t deadline = lease_.last_deadline_ms();
    ASSERT_EQ(rename(kOutdoorLease, "/data/veltaris-outdoor-node-lease.old"), 0);
    EXPECT_TRUE(wait_until([&] { return node_->value() == 100; }, kSettle)) << "node " << node_->value();
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();
    EXPECT_LT(h->uptime_ms, deadline) << "released only when the lease expired";

    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorFailedWriteReportsTheBoostAsItWasBeforeTheTurn) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    lease_.stop();

    // A raise to the maximum fails at the node. The way out then tries to
    // put the base back, and fails too; at that moment the record must
    // still show the boost of before the turn, 100 to 177, as overridden.
    node_->fail_writes(EIO);
    const std::string at_restore = std::string(kSystemDir) + "/health-at-restore";
    node_->on_next(FakeNode::Event::write, kOutdoorHealth, at_restore, true, 1);
    LeaseTerms full;
    full.pid = server;
    full.value = 1000;
    ASSERT_TRUE(lease_.write(full));
    EXPECT_EQ(d->wait_exit(kSettle), 0);
    ASSERT_TRUE(node_->fired()) << "the base was not written back on the way out";
    auto text = read_file(at_restore);
    ASSERT_TRUE(text);
    auto failed = parse_health(*text);
    ASSERT_TRUE(failed) << *text;
    EXPECT_EQ(failed->reason, "write_failed");
    EXPECT_TRUE(failed->held);
    EXPECT_TRUE(failed->inhibited);
    EXPECT_EQ(failed->base, 100);
    EXPECT_EQ(failed->target, 177);
    auto last = read_health();
    ASSERT_TRUE(last) << health_text();
    EXPECT_EQ(last->reason, "write_failed");
    expect_idle(*last);
    EXPECT_EQ(node_->value(), 177);
}

TEST_F(OutdoorTest, OutdoorLeaseChangedBeforeARaiseCancelsIt) {
    ASSERT_NE(add_panel(), nullptr);
    pid_t server = start_system_server();
    ASSERT_GT(server, 0);
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);

    // The node is first seen at 100 ...
    LeaseTerms half;
    half.pid = server;
    int reads = node_->reads_served();
    ASSERT_TRUE(lease_.write(half));
    ASSERT_TRUE(wait_for_turn(reads));
    std::this_thread::sleep_for(std::chrono::milliseconds(kStableMs + 100));

    // ... and is stable when the next turn decides to raise it to 177. Just
    // before that decision, system_server asks for more under the same pid:
    // the raise must be dropped and the new lease's 193 written instead.
    // (The new lease waits outside /data/system, so that it wakes nothing.)
    LeaseTerms more = half;
    more.value = 600;
    const std::string next = "/data/next-lease";
    ASSERT_EQ(write_file_as(kSystemUid, kSystemUid, next, lease_line(more, monotonic_ms() + kLeaseAheadMs)), 0);
    node_->on_next(FakeNode::Event::max_read, next, kOutdoorLease);
    ASSERT_TRUE(lease_.renew_now());
    ASSERT_TRUE(wait_until([&] { return node_->writes_received() >= 1; }, kSettle)) << "record " << health_text();
    ASSERT_TRUE(node_->fired());
    EXPECT_EQ(node_->last_writes().front(), "193") << "the raise decided on the old lease was written";
    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorAnotherWriterOverridesTheBoost) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    int writes = node_->writes_received();

    // The rest of the system sets its own value; the next renewal brings a
    // turn that notices.
    node_->set_value(150);
    ASSERT_TRUE(lease_.renew_now());
    auto h = wait_health([](const Health& r) { return r.reason == "system_override"; });
    ASSERT_TRUE(h) << health_text();
    EXPECT_FALSE(h->held);
    EXPECT_TRUE(h->inhibited);
    EXPECT_EQ(h->base, 100);
    EXPECT_EQ(h->target, 177);

    // While the same owner keeps asking, the daemon keeps its hands off.
    std::string record = health_text();
    ASSERT_TRUE(wait_renewals(4));
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(node_->value(), 150);
    EXPECT_EQ(health_text(), record);

    // When the lease lets go, the state is forgotten and the other writer's
    // value stays.
    ASSERT_TRUE(lease_.write(release_terms(server)));
    auto released = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(released) << health_text();
    expect_idle(*released);
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(node_->value(), 150);

    stop_cleanly(*d);
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(node_->value(), 150);
}

TEST_F(OutdoorTest, OutdoorMainPanelLockTakesThePanelWithoutRestore) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    int writes = node_->writes_received();

    MainPanelLockHolder panel;
    ASSERT_TRUE(panel.take()) << strerror(errno);
    ASSERT_TRUE(lease_.renew_now());
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();
    expect_idle(*h);

    // The main panel's owner decides now: the boosted value is not taken
    // back, and no new boost starts while the lock is held.
    std::string record = health_text();
    ASSERT_TRUE(wait_renewals(4));
    EXPECT_EQ(node_->value(), 177);
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(health_text(), record);

    // Once the panel is free again, a boost starts afresh from the value the
    // node shows now: 177 + (255 - 177) * 500 / 1000.
    int64_t freed = monotonic_ms();
    panel.release();
    auto again = wait_health([](const Health& r) { return r.reason == "boosted"; });
    ASSERT_TRUE(again) << health_text();
    EXPECT_EQ(again->base, 177);
    EXPECT_EQ(again->target, 216);
    EXPECT_GE(again->uptime_ms, freed + kStableMs);
    EXPECT_EQ(node_->value(), 216);

    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 177);
}

TEST_F(OutdoorTest, OutdoorMainPanelDaemonTakesThePanelWithoutRestore) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    int writes = node_->writes_received();

    // A real main-panel daemon. Its lock step fails if it happens to start
    // during one of the outdoor daemon's brief holds of the lock; that is
    // the designed exclusion, so such a start is simply tried again.
    Daemon* panel = nullptr;
    for (int attempt = 0; attempt < 5 && panel == nullptr; ++attempt) {
        Daemon& m = spawn_daemon({"--daemon", "--node", kNodePath});
        ASSERT_TRUE(m.started());
        if (m.wait_for_line("NATIVE_READY ", 20s)) {
            panel = &m;
        } else {
            int code = m.wait_exit(5s);
            ASSERT_EQ(code, 2) << m.stderr_text();
            ASSERT_NE(m.stderr_text().find("stage=root_private_lock"), std::string::npos) << m.stderr_text();
        }
    }
    ASSERT_NE(panel, nullptr) << "the main-panel daemon never got its lock";

    ASSERT_TRUE(lease_.renew_now());
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();
    EXPECT_FALSE(h->held);
    EXPECT_EQ(h->base, 0);
    EXPECT_EQ(h->target, 0);
    ASSERT_TRUE(wait_renewals(3));
    EXPECT_EQ(node_->value(), 177);
    EXPECT_EQ(node_->writes_received(), writes);

    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 177);
    EXPECT_EQ(node_->writes_received(), writes);

    if (wait_signal_caught(panel->pid(), SIGTERM, 5s)) panel->signal(SIGTERM);
    EXPECT_EQ(panel->wait_exit(20s), 0) << panel->stderr_text();
}

TEST_F(OutdoorTest, OutdoorStopDuringABoostRestoresTheBase) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);

    // The lease keeps asking; the stop ends the boost regardless.
    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 100);
    expect_last_write("100");
    EXPECT_EQ(node_->writes_received(), 2);
}

TEST_F(OutdoorTest, OutdoorChangedMaximumEndsWithNodeChanged) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    pid_t pid = d->pid();

    node_->set_maximum(200);
    ASSERT_TRUE(lease_.renew_now());
    EXPECT_EQ(d->wait_exit(kSettle), 0) << "record " << health_text();
    EXPECT_EQ(d->stderr_text(), "");
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->pid, pid);
    EXPECT_EQ(h->reason, "node_changed");
    expect_idle(*h);
    // The node still showed the target and the base fits under the new
    // maximum, so the base went back.
    EXPECT_EQ(node_->value(), 100);
    expect_last_write("100");
}

// ---- a lease that is not a file, and stops at awkward moments ----

// Puts a FIFO owned by the system user at the lease's path, by rename, so
// that the daemon wakes and looks at it.
bool plant_lease_fifo() {
    std::string tmp = std::string(kSystemDir) + "/.lease-fifo";
    int rc = run_as(kSystemUid, kSystemUid, [&]() -> int {
        unlink(tmp.c_str());
        if (mkfifo(tmp.c_str(), 0600) != 0) return errno;
        if (chmod(tmp.c_str(), 0600) != 0) return errno;
        if (rename(tmp.c_str(), kOutdoorLease) != 0) return errno;
        return 0;
    });
    if (rc != 0) return false;
    auto st = lstat_path(kOutdoorLease);
    return st && S_ISFIFO(st->st_mode) && st->st_uid == kSystemUid;
}

TEST_F(OutdoorTest, OutdoorFifoAsLeaseDoesNotBlockTheDaemon) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);

    // The FIFO replaces the lease. Looking at it is a turn with no lease,
    // which ends the boost: the release proves that the daemon got past it.
    lease_.stop();
    ASSERT_TRUE(plant_lease_fifo());
    EXPECT_TRUE(wait_until([&] { return node_->value() == 100; }, kSettle)) << "node " << node_->value();
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();

    // Woken again by another FIFO in the lease's place, it must not get
    // stuck either.
    int reads = node_->reads_served();
    ASSERT_TRUE(plant_lease_fifo());
    EXPECT_TRUE(wait_for_turn(reads));
    EXPECT_TRUE(d->running());

    stop_cleanly(*d, 5s);
    EXPECT_EQ(node_->value(), 100);
}

TEST_F(OutdoorTest, OutdoorFifoReplacedByALeaseStillBoosts) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, false);
    ASSERT_NE(d, nullptr);

    int reads = node_->reads_served();
    ASSERT_TRUE(plant_lease_fifo());
    ASSERT_TRUE(wait_for_turn(reads)) << "the daemon did not look at the FIFO";
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->reason, "waiting");

    // A valid lease renamed over the FIFO.
    ASSERT_TRUE(boost_to(server, 177));

    stop_cleanly(*d, 5s);
    EXPECT_EQ(node_->value(), 100);
}

TEST_F(OutdoorTest, OutdoorStopDuringAnIdleWaitEndsAtOnce) {
    ASSERT_NE(add_panel(), nullptr);
    // Stops at varied moments after start-up: before the first turn, during
    // it and once the daemon sleeps with no time limit. Each must end the
    // daemon at once, not at some later change in /data/system.
    const std::vector<std::pair<int, int>> cases = {
        {SIGTERM, 0}, {SIGTERM, 1}, {SIGINT, 3}, {SIGHUP, 10}, {SIGTERM, 30}, {SIGINT, 100}, {SIGTERM, 300},
    };
    for (const auto& [sig, delay_ms] : cases) {
        SCOPED_TRACE("signal " + std::to_string(sig) + " after " + std::to_string(delay_ms) + " ms");
        Daemon& d = spawn_daemon({"--outdoor", "--node", kNodePath});
        ASSERT_TRUE(d.started());
        // Only a caught signal is a stop; before the handler exists it would
        // simply kill the process.
        ASSERT_TRUE(wait_signal_caught(d.pid(), sig, 10s));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        ASSERT_TRUE(d.signal(sig));
        expect_stopped_cleanly(d, 3s);
    }
    EXPECT_EQ(node_->writes_received(), 0);
}

// ---- system_server restarts ----

TEST_F(OutdoorTest, OutdoorSystemServerRestartRestoresThenBoostsAgain) {
    ASSERT_NE(add_panel(), nullptr);
    pid_t old_server = start_system_server();
    ASSERT_GT(old_server, 0);
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(boost_to(old_server, 177));
    ASSERT_EQ(node_->writes_received(), 1);

    // The new system_server takes over the lease before the old one is
    // gone, so that the turn sees an owner change rather than a dead writer.
    pid_t new_server = start_system_server();
    ASSERT_GT(new_server, 0);
    ASSERT_NE(new_server, old_server);
    LeaseTerms terms;
    terms.pid = new_server;
    int64_t switched = monotonic_ms();
    ASSERT_TRUE(lease_.write(terms));
    stop_process(old_server);

    // The base goes back first...
    EXPECT_TRUE(wait_until([&] { return node_->writes_received() >= 2; }, kSettle));
    auto writes = node_->last_writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[1], "100");

    // ...then, after the node has been stable again, the new owner's boost.
    EXPECT_TRUE(wait_until([&] { return node_->writes_received() >= 3; }, kSettle)) << "record " << health_text();
    auto h = wait_health([](const Health& r) { return r.reason == "boosted"; });
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->reason, "boosted");
    EXPECT_EQ(h->base, 100);
    EXPECT_EQ(h->target, 177);
    EXPECT_GE(h->uptime_ms, switched + kStableMs);
    writes = node_->last_writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2], "177");

    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 100);
}

}  // namespace
}  // namespace sandbox
