// Outdoor mode against a lease that is not a file and stops at awkward
// moments, through the real binary: the daemon neither blocks nor misses a
// stop.
#include "tests/integration/outdoor_fixture.h"

namespace sandbox::outdoor {
namespace {

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

}  // namespace
}  // namespace sandbox::outdoor
