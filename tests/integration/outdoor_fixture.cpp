// The outdoor tests' readers, lease writer and fixture (see
// outdoor_fixture.h).
#include "tests/integration/outdoor_fixture.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>

namespace sandbox::outdoor {
namespace {

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

}  // namespace

std::optional<Health> parse_health(const std::string& text) {
    Health h;
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
    h.pid = *pid_v;
    h.held = *held_v;
    h.inhibited = *inhibited_v;
    h.base = *base_v;
    h.target = *target_v;
    h.reason = *reason;
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

std::optional<Health> wait_health(const std::function<bool(const Health&)>& pred, std::chrono::milliseconds timeout) {
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

bool LeaseRenewer::write(const LeaseTerms& terms) {
    std::lock_guard<std::mutex> lock(mutex_);
    terms_ = terms;
    return write_locked();
}

bool LeaseRenewer::start(const LeaseTerms& terms, std::chrono::milliseconds period) {
    stop();
    bool ok = write(terms);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_requested_ = false;
    }
    thread_ = std::thread([this, period] { run(period); });
    return ok;
}

bool LeaseRenewer::renew_now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_locked();
}

void LeaseRenewer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_requested_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void LeaseRenewer::run(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cv_.wait_for(lock, period, [this] { return stop_requested_; })) write_locked();
}

bool LeaseRenewer::write_locked() {
    int64_t now = monotonic_ms();
    int64_t deadline = now + kLeaseAheadMs;
    int rc = write_file_as(kSystemUid, kSystemUid, kOutdoorLease,
                           outdoor_lease_line(terms_.version, terms_.pid, deadline, terms_.value, terms_.held));
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

bool poke_system_dir() {
    return write_file_as(kSystemUid, kSystemUid, std::string(kSystemDir) + "/unrelated-file", "x\n") == 0;
}

bool MainPanelLockHolder::take() {
    fd_ = open(kMainPanelLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    // A lock file the daemon trusts: root's, no group or other bits.
    if (fchmod(fd_, 0600) != 0) return false;
    // Blocking: the outdoor daemon holds it only for an instant.
    return flock(fd_, LOCK_EX) == 0;
}

void MainPanelLockHolder::release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void OutdoorTest::TearDown() {
    // The sandbox can only be left by a single-threaded process.
    lease_.stop();
    EXPECT_EQ(lease_.failures(), 0) << "a lease write failed with errno " << lease_.last_error();
    SandboxTest::TearDown();
}

Daemon* OutdoorTest::start_outdoor(const std::string& path) {
    Daemon& d = spawn_daemon({"--outdoor", "--node", path});
    std::string why;
    if (!wait_outdoor_ready(d, &why, kSettle)) {
        ADD_FAILURE() << why;
        return nullptr;
    }
    return &d;
}

Daemon* OutdoorTest::start_with_server(pid_t* server, bool boosted) {
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

bool OutdoorTest::boost_to(pid_t owner, int expected, LeaseTerms terms) {
    terms.pid = owner;
    if (!lease_.start(terms)) {
        ADD_FAILURE() << "could not write the lease, errno " << lease_.last_error();
        return false;
    }
    bool reached = wait_until([&] { return node_->value() == expected; }, kSettle);
    if (!reached) {
        ADD_FAILURE() << "the node never reached " << expected << "; it shows " << node_->value() << ", record "
                      << health_text();
        return false;
    }
    auto h = wait_health([](const Health& r) { return r.reason == "boosted"; });
    if (!h) {
        ADD_FAILURE() << "no \"boosted\" record; record " << health_text();
        return false;
    }
    return true;
}

bool OutdoorTest::wait_for_turn(int reads_before) {
    return wait_until([&] { return node_->reads_served() > reads_before; }, kSettle);
}

bool OutdoorTest::wait_renewals(int count) {
    int renewals = lease_.writes();
    return wait_until([&] { return lease_.writes() >= renewals + count; }, kSettle);
}

void OutdoorTest::expect_last_write(const char* value) {
    ASSERT_FALSE(node_->last_writes().empty());
    EXPECT_EQ(node_->last_writes().back(), value);
}

void OutdoorTest::expect_untouched(int value, int writes, const std::string& record) {
    EXPECT_EQ(node_->value(), value);
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(health_text(), record);
}

void OutdoorTest::expect_idle(const Health& h) {
    EXPECT_FALSE(h.held);
    EXPECT_FALSE(h.inhibited);
    EXPECT_EQ(h.base, 0);
    EXPECT_EQ(h.target, 0);
}

void OutdoorTest::stop_cleanly(Daemon& d, std::chrono::milliseconds within) {
    d.signal(SIGTERM);
    expect_stopped_cleanly(d, within);
}

void OutdoorTest::expect_stopped_cleanly(Daemon& d, std::chrono::milliseconds within) {
    pid_t pid = d.pid();
    EXPECT_EQ(d.wait_exit(within), 0) << "record " << health_text();
    EXPECT_EQ(d.stderr_text(), "");
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->pid, pid);
    EXPECT_EQ(h->reason, "stopped");
    expect_idle(*h);
}

void expect_silent_exit(const std::vector<std::string>& args, int code, const DaemonOptions& options) {
    Outcome o = run_to_end(args, options);
    EXPECT_OUTCOME(o, code, "");
}

}  // namespace sandbox::outdoor
