// The main-panel fixture and its readers (see main_panel_fixture.h).
#include "tests/integration/main_panel_fixture.h"

#include <sstream>

namespace sandbox::main_panel {

std::string status_json(const StatusExpect& e) {
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

int int_of(const std::optional<std::string>& reply, const std::string& key) {
    if (!reply) return INT32_MIN;
    auto v = json_field(*reply, key);
    if (!v) return INT32_MIN;
    return std::stoi(*v);
}

std::ostream& operator<<(std::ostream& os, const Health& h) {
    return os << "{session \"" << h.session << "\", holding " << h.holding << ", errno " << h.err << ", time "
              << h.time << "}";
}

std::optional<Health> parse_health(const std::string& text) {
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

std::optional<Health> read_health() {
    auto text = read_file(kMainPanelHealth);
    if (!text) return std::nullopt;
    return parse_health(*text);
}

std::string record_mode_line(const std::string& record) {
    size_t first = record.find('\n');
    if (first == std::string::npos) return "";
    size_t second = record.find('\n', first + 1);
    if (second == std::string::npos) return "";
    return record.substr(first + 1, second - first - 1);
}

Daemon* MainPanelTest::start_daemon(std::string* ready_line, const DaemonOptions& options) {
    Daemon& d = spawn_daemon({"--daemon", "--node", kNodePath}, options);
    std::string why;
    if (!wait_ready(d, &why, std::chrono::seconds(20), ready_line)) {
        ADD_FAILURE() << why;
        return nullptr;
    }
    return &d;
}

Daemon* MainPanelTest::start_with_node(const FakeNodeOptions& options) {
    if (make_node(options) == nullptr) {
        ADD_FAILURE() << "could not add the node";
        return nullptr;
    }
    return start_daemon();
}

void MainPanelTest::expect_sigterm_ends(Daemon& d) {
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(std::chrono::seconds(10)), 0);
}

void MainPanelTest::expect_stop_releases(Daemon& d) {
    EXPECT_EQ(reason_of(request("STOP")), "released");
    EXPECT_EQ(d.wait_exit(std::chrono::seconds(10)), 0);
    expect_node_released();
}

int64_t MainPanelTest::write_lease(const Lease& lease) {
    lease_ = lease;
    have_lease_ = true;
    return rewrite_lease();
}

int64_t MainPanelTest::rewrite_lease() {
    int64_t deadline = monotonic_ms() + lease_.ttl_ms;
    int rc = write_main_panel_lease(lease_.session, lease_.pid > 0 ? lease_.pid : getpid(), deadline, lease_.active,
                                    lease_.target);
    if (rc != 0) ADD_FAILURE() << "could not write the lease: " << strerror(rc);
    last_lease_ms_ = monotonic_ms();
    return deadline;
}

bool MainPanelTest::wait_renewing(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    int64_t deadline = monotonic_ms() + timeout.count();
    for (;;) {
        renew_if_due();
        if (pred()) return true;
        if (monotonic_ms() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<std::string> MainPanelTest::wait_line(Daemon& d, const std::string& prefix,
                                                    std::chrono::milliseconds timeout, size_t from) {
    std::optional<std::string> line;
    wait_renewing(
        [&] {
            line = d.wait_for_line(prefix, std::chrono::milliseconds(50), from);
            return line.has_value();
        },
        timeout);
    return line;
}

int MainPanelTest::wait_exit_renewing(Daemon& d, std::chrono::milliseconds timeout) {
    int code = -1;
    wait_renewing(
        [&] {
            code = d.wait_exit(std::chrono::milliseconds(20));
            return code != -1;
        },
        timeout);
    return code;
}

std::optional<std::string> MainPanelTest::request(const std::string& line, uid_t uid) {
    renew_if_due();
    return send_request(line, uid, std::chrono::seconds(5));
}

std::optional<std::string> MainPanelTest::arm(const Lease& lease) {
    write_lease(lease);
    auto reply = request(arm_line(lease.session, lease.pid));
    EXPECT_EQ(reason_of(reply), "armed") << reply.value_or("<no reply>");
    return reply;
}

bool MainPanelTest::hold(const Lease& lease) {
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

std::vector<std::string> MainPanelTest::lines_starting(Daemon& d, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& line : d.line_texts()) {
        if (line.rfind(prefix, 0) == 0) out.push_back(line);
    }
    return out;
}

void MainPanelTest::expect_node_released() {
    EXPECT_EQ(node_->mode(), 0664u) << "the node's write bits are restored";
    EXPECT_FALSE(path_exists(kPermissionRecord)) << "no permission record is left";
}

void MainPanelTest::expect_node_guarded() {
    EXPECT_EQ(node_->mode(), 0444u) << "the node's write bits are cleared while it is held";
    auto record = read_file(kPermissionRecord);
    ASSERT_TRUE(record) << "a permission record exists while the node is held";
    EXPECT_EQ(record_mode_line(*record), "664");
}

}  // namespace sandbox::main_panel
