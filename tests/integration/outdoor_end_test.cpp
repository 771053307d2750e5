// Every way an outdoor boost ends, through the real binary: the lease lets
// go, expires or moves away, a write fails, another writer or a main-panel
// daemon takes the node, a stop, a changed node.
#include "tests/integration/outdoor_fixture.h"

namespace sandbox::outdoor {
namespace {

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
    const int64_t deadline = monotonic_ms() + kLeaseAheadMs;
    const std::string line = outdoor_lease_line(more.version, more.pid, deadline, more.value, more.held);
    ASSERT_EQ(write_file_as(kSystemUid, kSystemUid, next, line), 0);
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
    std::string record = health_text();

    // A holder of the lock that never touches the node (a recovery run, a
    // start that fails): nothing is written or restored meanwhile, and the
    // boost is kept.
    MainPanelLockHolder panel;
    ASSERT_TRUE(panel.take()) << strerror(errno);
    ASSERT_TRUE(wait_renewals(4));
    expect_untouched(177, writes, record);

    // Free again, the node still shows the boost: it is still ours, and it
    // ends with the first base, not with the boosted value.
    panel.release();
    ASSERT_TRUE(wait_renewals(4));
    expect_untouched(177, writes, record);

    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 100);
    expect_last_write("100");
}

TEST_F(OutdoorTest, OutdoorMainPanelDaemonTakesThePanelWithoutRestore) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    int writes = node_->writes_received();

    // A real main-panel daemon: its start waits out the outdoor daemon's
    // brief holds of the lock, so it is never refused by one.
    Daemon& panel = spawn_daemon({"--daemon", "--node", kNodePath});
    ASSERT_TRUE(panel.started());
    ASSERT_TRUE(wait_ready(panel)) << panel.stderr_text();

    // The node is the main panel's now: nothing is written, nothing put
    // back, and the boost is still reported as it was.
    std::string record = health_text();
    ASSERT_TRUE(wait_renewals(3));
    EXPECT_EQ(node_->value(), 177);
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(health_text(), record);

    stop_cleanly(*d);
    EXPECT_EQ(node_->value(), 177);
    EXPECT_EQ(node_->writes_received(), writes);

    panel.signal(SIGTERM);
    EXPECT_EQ(panel.wait_exit(20s), 0) << panel.stderr_text();
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

TEST_F(OutdoorTest, OutdoorReplacedNodeEndsWithNodeChangedUnwritten) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    pid_t pid = d->pid();
    int writes = node_->writes_received();

    // Another inode at the node's path is not the node that was boosted:
    // the daemon ends without writing to it, not even the base.
    node_->replace_inode();
    ASSERT_TRUE(lease_.renew_now());
    EXPECT_EQ(d->wait_exit(kSettle), 0) << "record " << health_text();
    EXPECT_EQ(d->stderr_text(), "");
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->pid, pid);
    EXPECT_EQ(h->reason, "node_changed");
    expect_idle(*h);
    EXPECT_EQ(node_->writes_received(), writes);
    EXPECT_EQ(node_->value(), 177);
}

// ---- beside a holder of the main-panel lock that never touches the node ----

// Arms a mark at the node's second maximum read from now: when it is set
// (FakeNode::fired), a turn has begun after this call, since one turn reads
// the maximum once and one turn may be under way already.
void mark_second_turn(FakeNode* node) {
    const std::string mark = "/data/turn-mark";
    ASSERT_TRUE(write_file(mark, "x"));
    node->on_next(FakeNode::Event::max_read, mark, mark + ".seen", false, 1);
}

TEST_F(OutdoorTest, OutdoorBusyPanelIsNotBoostedUntilFree) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, false);
    ASSERT_NE(d, nullptr);

    // A lease asks for a boost while the lock is taken, for longer than
    // the stability window: deciding as if the panel were free would raise
    // the node, and the write, which takes the lock, would fail.
    MainPanelLockHolder panel;
    ASSERT_TRUE(panel.take()) << strerror(errno);
    int reads = node_->reads_served();
    ASSERT_TRUE(lease_.start({.pid = server}));
    ASSERT_TRUE(wait_for_turn(reads));
    std::this_thread::sleep_for(std::chrono::milliseconds(kStableMs + 100));
    mark_second_turn(node_);
    ASSERT_TRUE(wait_until([&] { return node_->fired(); }, kSettle)) << "the daemon stopped; record " << health_text();
    EXPECT_TRUE(d->running());
    EXPECT_EQ(node_->writes_received(), 0);
    auto h = read_health();
    ASSERT_TRUE(h) << health_text();
    EXPECT_EQ(h->reason, "waiting");

    // Free, the same lease boosts after the node's own stability window.
    panel.release();
    EXPECT_TRUE(wait_until([&] { return node_->value() == 177; }, kSettle)) << "record " << health_text();
    EXPECT_EQ(node_->writes_received(), 1);
    stop_cleanly(*d);
}

TEST_F(OutdoorTest, OutdoorBoostEndedWhileThePanelIsBusyEndsOnceItIsFree) {
    pid_t server = 0;
    Daemon* d = start_with_server(&server, true);
    ASSERT_NE(d, nullptr);
    int writes = node_->writes_received();
    std::string record = health_text();

    // The lease lets go while the lock is taken: the boost is kept, since
    // the node is not ours to write now.
    MainPanelLockHolder panel;
    ASSERT_TRUE(panel.take()) << strerror(errno);
    lease_.stop();
    ASSERT_TRUE(lease_.write(release_terms(server)));
    mark_second_turn(node_);
    EXPECT_TRUE(wait_until([&] { return node_->fired(); }, kSettle)) << "no turn while the lock was taken";
    expect_untouched(177, writes, record);

    // The lock is freed and nothing else happens in /data/system: the base
    // goes back all the same, within about a second.
    panel.release();
    EXPECT_TRUE(wait_until([&] { return node_->value() == 100; }, 5s)) << "record " << health_text();
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    ASSERT_TRUE(h) << health_text();
    expect_idle(*h);
    expect_last_write("100");

    stop_cleanly(*d);
}

}  // namespace
}  // namespace sandbox::outdoor
