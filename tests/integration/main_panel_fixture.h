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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"
#include "tests/integration/run_outcome.h"

namespace sandbox {
namespace main_panel {

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

inline std::string status_json(const StatusExpect& e) {
    auto b = [](bool v) { return v ? "true" : "false"; };
    std::ostringstream s;
    s << "{\"ok\":" << b(e.ok) << ",\"reason\":\"" << e.reason
      << "\",\"backend\":\"raw_main_node\",\"native_build\":\"raw07-mirelodge\",\"path\":\"" << kNodePath
      << "\",\"canonical_path\":\"" << kRealNodePath << "\",\"target\":" << e.target << ",\"actual\":" << e.actual
      << ",\"maximum\":" << e.maximum << ",\"armed\":" << b(e.armed) << ",\"paused\":" << b(e.paused)
      << ",\"session\":\"" << e.session << "\",\"write_attempts\":" << e.write_attempts
      << ",\"write_successes\":" << e.write_successes << ",\"corrections\":" << e.corrections
      << ",\"errno\":" << e.err << "}\n";
    return s.str();
}

inline int int_of(const std::optional<std::string>& reply, const std::string& key) {
    if (!reply) return INT32_MIN;
    auto v = json_field(*reply, key);
    if (!v) return INT32_MIN;
    return std::stoi(*v);
}

inline std::string text_of(const std::optional<std::string>& reply, const std::string& key) {
    if (!reply) return "<no reply>";
    return json_field(*reply, key).value_or("<missing>");
}

// ---- the health record ----

struct Health {
    std::string session{};
    int holding = -1;
    int err = -1;
    int64_t time = -1;
};

inline std::ostream& operator<<(std::ostream& os, const Health& h) {
    return os << "{session \"" << h.session << "\", holding " << h.holding << ", errno " << h.err << ", time "
              << h.time << "}";
}

// Exactly "<session> <holding> <errno> <time>\n" with single blanks.
inline std::optional<Health> parse_health(const std::string& text) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    std::string body = text.substr(0, text.size() - 1);
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t blank = body.find(' ', from);
        parts.push_back(body.substr(from, blank == std::string::npos ? std::string::npos : blank - from));
        if (blank == std::string::npos) break;
        from = blank + 1;
    }
    if (parts.size() != 4) return std::nullopt;
    auto is_number = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    for (size_t i = 1; i < 4; ++i) {
        if (!is_number(parts[i])) return std::nullopt;
    }
    Health h;
    h.session = parts[0];
    h.holding = std::stoi(parts[1]);
    h.err = std::stoi(parts[2]);
    h.time = std::stoll(parts[3]);
    return h;
}

inline std::optional<Health> read_health() {
    auto text = read_file(kMainPanelHealth);
    if (!text) return std::nullopt;
    return parse_health(*text);
}

// ---- the permission record ----

// The second line of a version 2 record: the saved permission bits.
inline std::string record_mode_line(const std::string& record) {
    size_t first = record.find('\n');
    if (first == std::string::npos) return "";
    size_t second = record.find('\n', first + 1);
    if (second == std::string::npos) return "";
    return record.substr(first + 1, second - first - 1);
}

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
    FakeNode* make_node(const FakeNodeOptions& options = {}) {
        node_ = add_node(options);
        return node_;
    }

    static FakeNodeOptions node_at(int value) {
        FakeNodeOptions o;
        o.value = value;
        return o;
    }

    // A main-panel daemon on kNodePath that printed its readiness line and
    // installed its stop handlers; null (with a failure) otherwise.
    Daemon* start_daemon(std::string* ready_line = nullptr) {
        Daemon& d = spawn_daemon({"--daemon", "--node", kNodePath});
        std::string why;
        if (!wait_ready(d, &why, std::chrono::seconds(20), ready_line)) {
            ADD_FAILURE() << why;
            return nullptr;
        }
        return &d;
    }

    // make_node(options), then start_daemon(); null (with a failure) when
    // either fails.
    Daemon* start_with_node(const FakeNodeOptions& options = {}) {
        if (make_node(options) == nullptr) {
            ADD_FAILURE() << "could not add the node";
            return nullptr;
        }
        return start_daemon();
    }

    // Ends the daemon with SIGTERM; it must exit 0.
    static void expect_sigterm_ends(Daemon& d) {
        d.signal(SIGTERM);
        EXPECT_EQ(d.wait_exit(std::chrono::seconds(10)), 0);
    }

    // A root STOP releases the hold, ends the daemon with 0 and leaves the
    // node as the system left it.
    void expect_stop_releases(Daemon& d) {
        EXPECT_EQ(reason_of(request("STOP")), "released");
        EXPECT_EQ(d.wait_exit(std::chrono::seconds(10)), 0);
        expect_node_released();
    }

    // ---- the lease, as the system-side client keeps it ----

    // Writes the lease as the system user, by rename, with a deadline
    // ttl_ms ahead; the fixture keeps rewriting it while it waits, unless
    // renewing is switched off. Returns the deadline written.
    int64_t write_lease(const Lease& lease) {
        lease_ = lease;
        have_lease_ = true;
        return rewrite_lease();
    }

    int64_t rewrite_lease() {
        int64_t deadline = monotonic_ms() + lease_.ttl_ms;
        int rc = write_main_panel_lease(lease_.session, lease_.pid > 0 ? lease_.pid : getpid(), deadline,
                                        lease_.active, lease_.target);
        if (rc != 0) ADD_FAILURE() << "could not write the lease: " << strerror(rc);
        last_lease_ms_ = monotonic_ms();
        return deadline;
    }

    void stop_renewing() { renew_ = false; }

    void renew_if_due() {
        if (renew_ && have_lease_ && monotonic_ms() - last_lease_ms_ >= kRenewEveryMs) rewrite_lease();
    }

    // wait_until that keeps the lease fresh meanwhile.
    bool wait_renewing(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
        int64_t deadline = monotonic_ms() + timeout.count();
        for (;;) {
            renew_if_due();
            if (pred()) return true;
            if (monotonic_ms() >= deadline) return pred();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Lets time pass (for checks that something does NOT happen) while
    // keeping the lease fresh.
    void pass_time(std::chrono::milliseconds span) {
        wait_renewing([] { return false; }, span);
    }

    std::optional<std::string> wait_line(Daemon& d, const std::string& prefix, std::chrono::milliseconds timeout,
                                         size_t from = 0) {
        std::optional<std::string> line;
        wait_renewing(
            [&] {
                line = d.wait_for_line(prefix, std::chrono::milliseconds(50), from);
                return line.has_value();
            },
            timeout);
        return line;
    }

    // Waits for the daemon to end, keeping the lease fresh so that only
    // the cause under test can end it; -1 when it is still running.
    int wait_exit_renewing(Daemon& d, std::chrono::milliseconds timeout) {
        int code = -1;
        wait_renewing(
            [&] {
                code = d.wait_exit(std::chrono::milliseconds(20));
                return code != -1;
            },
            timeout);
        return code;
    }

    // ---- the control socket ----

    std::optional<std::string> request(const std::string& line, uid_t uid = 0) {
        renew_if_due();
        return send_request(line, uid, std::chrono::seconds(5));
    }

    std::string arm_line(const std::string& session = kSession, pid_t pid = 0) {
        return "ARM " + session + " " + std::to_string(pid > 0 ? pid : getpid());
    }

    // Writes the lease and arms the hold with it; the reply (checked to be
    // "armed") is returned.
    std::optional<std::string> arm(const Lease& lease) {
        write_lease(lease);
        auto reply = request(arm_line(lease.session, lease.pid));
        EXPECT_EQ(reason_of(reply), "armed") << reply.value_or("<no reply>");
        return reply;
    }

    // A hold whose value the daemon itself wrote through SET: the node
    // already reads lease.target (so the hold loop has nothing to correct
    // before the SET), then SET writes it, which arms the write guard.
    bool hold(const Lease& lease) {
        if (node_ == nullptr || node_->value() != lease.target) {
            ADD_FAILURE() << "hold() needs a node that already reads the lease's target";
            return false;
        }
        if (reason_of(arm(lease)) != "armed") return false;
        auto reply = request("SET " + lease.session + " " + std::to_string(lease.target));
        if (reason_of(reply) != "readback_ok") {
            ADD_FAILURE() << "SET was not accepted: " << reply.value_or("<no reply>");
            return false;
        }
        return true;
    }

    // ---- output lines ----

    static std::vector<std::string> lines_starting(Daemon& d, const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& line : d.line_texts()) {
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        }
        return out;
    }

    // ---- the guard's traces ----

    // The node is back as the system left it and no permission record
    // remains.
    void expect_node_released() {
        EXPECT_EQ(node_->mode(), 0664u) << "the node's write bits are restored";
        EXPECT_FALSE(path_exists(kPermissionRecord)) << "no permission record is left";
    }

    void expect_node_guarded() {
        EXPECT_EQ(node_->mode(), 0444u) << "the node's write bits are cleared while it is held";
        auto record = read_file(kPermissionRecord);
        ASSERT_TRUE(record) << "a permission record exists while the node is held";
        EXPECT_EQ(record_mode_line(*record), "664");
    }

  private:
    Lease lease_;
    bool have_lease_ = false;
    bool renew_ = true;
    int64_t last_lease_ms_ = 0;
};

}  // namespace main_panel
}  // namespace sandbox
