// Outdoor mode's start through the real binary: the refusals that end it
// silently, the first record and the lock, and a daemon that stays idle
// without a lease or with one from a writer that is not system_server, but
// takes a turn at every change in /data/system.
#include <fcntl.h>

#include "tests/integration/outdoor_fixture.h"

namespace sandbox::outdoor {
namespace {

// ---- start-up ----

TEST_F(OutdoorTest, OutdoorNonRootExitsTwoSilently) {
    ASSERT_NE(add_panel(), nullptr);
    expect_silent_exit({"--outdoor", "--node", kNodePath}, 2, {.uid = 2000, .gid = 2000});
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
    expect_silent_exit({"--outdoor", "--node", kNodePath}, 6, {.group_leader = true});
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

    // Moves and deletions in /data/system wake the daemon, whichever file
    // they concern; with no lease each of those turns must leave
    // everything as it was.
    for (int i = 0; i < 3; ++i) {
        int reads = node_->reads_served();
        ASSERT_TRUE(poke_system_dir());
        EXPECT_TRUE(wait_for_turn(reads)) << "the daemon did not wake for a move into /data/system";
    }
    int reads = node_->reads_served();
    ASSERT_EQ(unlink((std::string(kSystemDir) + "/unrelated-file").c_str()), 0);
    EXPECT_TRUE(wait_for_turn(reads)) << "the daemon did not wake for a deletion in /data/system";
    std::this_thread::sleep_for(1s);

    EXPECT_EQ(health_text(), record) << "no record may follow \"waiting\" while nothing changes";
    EXPECT_EQ(node_->value(), 100);
    EXPECT_EQ(node_->writes_received(), 0);
    EXPECT_TRUE(d->running());

    stop_cleanly(*d);
    EXPECT_EQ(node_->writes_received(), 0);
}

// Every move or deletion in /data/system is a turn, whichever file it
// concerns: an idle daemon finds a changed node then, and a lease written
// in place (which wakes nothing by itself) is taken up.
TEST_F(OutdoorTest, OutdoorIdleDaemonLooksAtEverythingAtAnyEventInTheFolder) {
    ASSERT_NE(add_panel(), nullptr);
    const std::vector<std::pair<const char*, std::function<void(bool)>>> changes = {
        {"changed maximum", [this](bool on) { node_->set_maximum(on ? 200 : 255); }},
        {"unreadable node", [this](bool on) { node_->fail_reads(on ? EIO : 0); }},
    };
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        int reads = node_->reads_served();
        Daemon* d = start_outdoor();
        ASSERT_NE(d, nullptr);
        ASSERT_TRUE(wait_for_turn(reads)) << "no first turn";
        // Past the rest of that turn (its maximum is read after the node).
        std::this_thread::sleep_for(300ms);
        change(true);
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(d->running()) << "nothing woke the daemon yet";
        ASSERT_TRUE(poke_system_dir());
        EXPECT_EQ(d->wait_exit(kSettle), 0) << "record " << health_text();
        if (d->running()) stop_cleanly(*d);
        auto h = read_health();
        ASSERT_TRUE(h) << health_text();
        EXPECT_EQ(h->reason, "node_changed");
        change(false);
    }

    pid_t server = start_system_server();
    ASSERT_GT(server, 0);
    int reads = node_->reads_served();
    Daemon* d = start_outdoor();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(wait_for_turn(reads)) << "no first turn";
    std::string waiting = health_text();
    auto write_in_place = [&] {
        const std::string line = outdoor_lease_line("v1", server, monotonic_ms() + kLeaseAheadMs, 500, 1);
        return run_as(kSystemUid, kSystemUid, [&]() -> int {
            int fd = open(kOutdoorLease, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) return errno;
            int rc = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : EIO;
            close(fd);
            return rc;
        });
    };
    ASSERT_EQ(write_in_place(), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(health_text(), waiting) << "a write in place wakes nothing";
    // Fresh again, then the next event of another file: the turn takes the
    // lease up and starts timing the node for it.
    ASSERT_EQ(write_in_place(), 0);
    ASSERT_TRUE(poke_system_dir());
    auto h = wait_health([](const Health& r) { return r.reason == "released"; });
    EXPECT_TRUE(h) << health_text();
    stop_cleanly(*d);
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

}  // namespace
}  // namespace sandbox::outdoor
