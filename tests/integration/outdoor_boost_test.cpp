// The boost that follows a lease written by system_server, through the
// real binary: its value, its timing and its renewals, and a new boost
// after system_server restarts.
#include "tests/integration/outdoor_fixture.h"

namespace sandbox::outdoor {
namespace {

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
}  // namespace sandbox::outdoor
