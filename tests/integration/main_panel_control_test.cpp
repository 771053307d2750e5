// The control socket of a running main-panel daemon, spoken to by each
// kind of peer: STATUS, ARM, SET and STOP with their refusals and replies.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

constexpr uid_t kShellUid = 2000;

class MainPanelControlTest : public MainPanelTest {};

TEST_F(MainPanelControlTest, StatusReplyIsExactForRootAndSystemAndNothingForOthers) {
    Daemon* d = start_with_node();
    ASSERT_NE(d, nullptr);

    const std::string expected = status_json({});
    EXPECT_EQ(expected,
              "{\"ok\":true,\"reason\":\"status\",\"backend\":\"raw_main_node\",\"native_build\":\"raw07-mirelodge\","
              "\"path\":\"/sys/class/backlight/panel0-backlight/brightness\",\"canonical_path\":\"/sys/devices/"
              "platform/veltaris-panel/backlight/panel0-backlight/brightness\",\"target\":-1,\"actual\":100,"
              "\"maximum\":255,\"armed\":false,\"paused\":false,\"session\":\"\",\"write_attempts\":0,"
              "\"write_successes\":0,\"corrections\":0,\"errno\":0}\n");
    EXPECT_EQ(request("STATUS", 0), expected);
    EXPECT_EQ(request("STATUS", kSystemUid), expected);
    // The reply reads the node afresh.
    node_->set_value(77);
    StatusExpect now{.actual = 77};
    EXPECT_EQ(request("STATUS", kSystemUid), status_json(now));

    // Any other user is not answered at all, whatever it asks.
    EXPECT_EQ(request("STATUS", kShellUid), std::nullopt);
    EXPECT_EQ(request("STOP", kShellUid), std::nullopt);
    EXPECT_EQ(request("STOP ", kShellUid), std::nullopt);
    EXPECT_TRUE(d->running()) << "a stranger's STOP does nothing";
    EXPECT_EQ(request("STATUS"), status_json(now)) << "and changes nothing";
    EXPECT_EQ(node_->writes_received(), 0);

    expect_sigterm_ends(*d);
}

TEST_F(MainPanelControlTest, MalformedRequestsAreStale) {
    Daemon* d = start_with_node();
    ASSERT_NE(d, nullptr);

    StatusExpect stale{.ok = false, .reason = "stale_or_invalid_request"};
    const std::vector<std::string> requests = {
        "status",
        "Status",
        "STATUS x",
        "STATUS 1 2",
        "",
        "   ",
        "STOPX",
        // The scan takes at most 15 characters as the command word; longer
        // words are cut and the rest read as the session, so they never
        // match a command.
        "STATUSSTATUSSTATUS",
        "XXXXXXXXXXXXXXXSTOP",
        "XXXXXXXXXXXXXXXSTATUS",
        "ARM",
        "SET",
        "STOP a b",
        "STOP some-session",  // nothing is armed, so no session matches
    };
    for (const std::string& line : requests) {
        SCOPED_TRACE(testing::PrintToString(line));
        EXPECT_EQ(request(line, 0), status_json(stale));
        EXPECT_EQ(request(line, kSystemUid), status_json(stale));
    }
    EXPECT_TRUE(d->running());

    // A request is judged once 239 bytes have come, newline or not.
    int fd = connect_control(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, "STATUS" + std::string(233, ' '), std::chrono::seconds(5)), status_json({}));
    close(fd);
    // A shorter request without its newline is never answered.
    fd = connect_control(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, "STATUS", std::chrono::seconds(2)), std::nullopt);
    close(fd);

    EXPECT_EQ(request("STATUS"), status_json({})) << "nothing changed";
    expect_sigterm_ends(*d);
}

TEST_F(MainPanelControlTest, ArmNeedsRootAndAMatchingActiveLease) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);

    StatusExpect stale{.ok = false, .reason = "stale_or_invalid_request", .actual = 150};

    // No lease at all.
    EXPECT_EQ(request(arm_line()), status_json(stale));

    Lease paused;
    paused.active = 0;
    write_lease(paused);
    EXPECT_EQ(request(arm_line()), status_json(stale)) << "a paused lease cannot be armed";

    write_lease(Lease{});
    EXPECT_EQ(request(arm_line(), kSystemUid), status_json(stale)) << "only root may arm";
    EXPECT_EQ(request(arm_line() + " extra"), status_json(stale));
    EXPECT_EQ(request(arm_line() + " 1"), status_json(stale));
    EXPECT_EQ(request(arm_line("other-session")), status_json(stale));
    EXPECT_EQ(request(arm_line(kSession, getppid())), status_json(stale)) << "another pid than the lease's";
    EXPECT_EQ(request("ARM " + std::string(kSession)), status_json(stale));
    EXPECT_EQ(request("arm " + std::string(kSession) + " " + std::to_string(getpid())), status_json(stale));
    StatusExpect idle{.actual = 150};
    EXPECT_EQ(request("STATUS"), status_json(idle)) << "refusals change nothing";

    // Accepted: the reply shows the hold, with no target yet.
    StatusExpect armed{.reason = "armed", .actual = 150, .armed = true, .session = kSession};
    EXPECT_EQ(request(arm_line()), status_json(armed));
    // The hold loop then takes the target from the lease.
    ASSERT_TRUE(wait_renewing([&] { return int_of(request("STATUS"), "target") == 150; }, std::chrono::seconds(5)));
    armed.reason = "status";
    armed.target = 150;
    EXPECT_EQ(request("STATUS", kSystemUid), status_json(armed));
    EXPECT_EQ(node_->writes_received(), 0) << "a node already at the target is not written";

    // Arming again under the same lease is accepted and keeps the target.
    armed.reason = "armed";
    EXPECT_EQ(request(arm_line()), status_json(armed));

    EXPECT_EQ(reason_of(request("STOP")), "released");
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
}

TEST_F(MainPanelControlTest, SetWritesOnlyWhatTheLeaseNames) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);

    StatusExpect stale{.ok = false, .reason = "stale_or_invalid_request", .actual = 150};

    write_lease(Lease{});
    EXPECT_EQ(request("SET " + std::string(kSession) + " 150"), status_json(stale)) << "SET before ARM";
    ASSERT_EQ(reason_of(request(arm_line())), "armed");
    ASSERT_TRUE(wait_renewing([&] { return int_of(request("STATUS"), "target") == 150; }, std::chrono::seconds(5)));

    stale.armed = true;
    stale.session = kSession;
    stale.target = 150;
    const std::string session = kSession;
    EXPECT_EQ(request("SET " + session + " 140"), status_json(stale)) << "not the lease's target";
    EXPECT_EQ(request("SET other-session 150"), status_json(stale));
    EXPECT_EQ(request("SET " + session + " 150", kSystemUid), status_json(stale)) << "only root may set";
    EXPECT_EQ(request("SET " + session + " 150 x"), status_json(stale));
    EXPECT_EQ(node_->writes_received(), 0);
    EXPECT_FALSE(path_exists(kPermissionRecord)) << "nothing armed the guard yet";
    EXPECT_EQ(node_->mode(), 0664u);

    // Accepted: written, read back, and the guard is on.
    StatusExpect ok{.reason = "readback_ok", .target = 150, .actual = 150, .armed = true, .session = kSession,
        .write_attempts = 1, .write_successes = 1};
    EXPECT_EQ(request("SET " + session + " 150"), status_json(ok));
    EXPECT_EQ(node_->writes_accepted(), 1);
    EXPECT_EQ(node_->last_writes(), std::vector<std::string>{"150"});
    expect_node_guarded();

    // A new value: the client rewrites the lease, then asks for it.
    Lease next;
    next.target = 200;
    write_lease(next);
    auto reply = request("SET " + session + " 200");
    EXPECT_EQ(reason_of(reply), "readback_ok") << reply.value_or("");
    EXPECT_EQ(int_of(reply, "target"), 200);
    EXPECT_EQ(int_of(reply, "actual"), 200);
    EXPECT_EQ(node_->value(), 200);
    expect_node_guarded();

    // The system user may end the hold only by naming its session.
    EXPECT_EQ(reason_of(request("STOP", kSystemUid)), "stale_or_invalid_request");
    EXPECT_EQ(reason_of(request("STOP other-session", kSystemUid)), "stale_or_invalid_request");
    EXPECT_TRUE(d->running());

    reply = request("STOP " + session, kSystemUid);
    ASSERT_TRUE(reply);
    StatusExpect released{.reason = "released", .actual = 200, .write_attempts = int_of(reply, "write_attempts"),
        .write_successes = int_of(reply, "write_successes"), .corrections = int_of(reply, "corrections")};
    EXPECT_EQ(*reply, status_json(released)) << "the hold is cleared, the counters stay";
    EXPECT_GE(released.write_successes, 2);
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0) << "STOP ends the daemon";
    expect_node_released();
}

TEST_F(MainPanelControlTest, SetWhilePanelReadsZeroIsNotWritable) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(reason_of(arm(Lease{})), "armed");
    ASSERT_TRUE(wait_renewing([&] { return int_of(request("STATUS"), "target") == 150; }, std::chrono::seconds(5)));

    node_->force_zero(true);
    Lease next;
    next.target = 120;
    write_lease(next);
    StatusExpect off{.ok = false, .reason = "screen_not_writable", .target = 120, .actual = 0, .armed = true,
        .session = kSession};
    EXPECT_EQ(request("SET " + std::string(kSession) + " 120"), status_json(off));
    EXPECT_EQ(node_->writes_received(), 0) << "a panel that is off is not written";
    expect_node_released();
    EXPECT_TRUE(d->running()) << "a declined SET does not end the hold";

    // The hold loop leaves a node reading 0 alone as well.
    pass_time(std::chrono::milliseconds(800));
    EXPECT_EQ(node_->writes_received(), 0);

    StatusExpect released{.reason = "released", .actual = 0};
    EXPECT_EQ(request("STOP"), status_json(released));
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    expect_node_released();
}

TEST_F(MainPanelControlTest, RootStopWithoutAHoldReleasesAndEnds) {
    Daemon* d = start_with_node();
    ASSERT_NE(d, nullptr);
    StatusExpect released{.reason = "released"};
    EXPECT_EQ(request("STOP"), status_json(released));
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    expect_node_released();
    EXPECT_EQ(node_->writes_received(), 0);
    EXPECT_EQ(node_->chmods_received(), 0);
}

}  // namespace
}  // namespace sandbox::main_panel
