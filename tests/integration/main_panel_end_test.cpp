// Every way a hold ends: each ends the process with 0, hands the node back
// as it was found and leaves a last health record that tells why. A release
// that could not give the bits back ends it with 3, a line and the error
// in the last record.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

class MainPanelEndTest : public MainPanelTest {
  protected:
    // A daemon holding the node at 150 (written by SET, guard armed).
    Daemon* start_holding(const Lease& lease = Lease{}) {
        if (make_node(node_at(lease.target)) == nullptr) return nullptr;
        Daemon* d = start_daemon();
        if (d == nullptr) return nullptr;
        if (!hold(lease)) return nullptr;
        expect_node_guarded();
        return d;
    }

    // The last record: "<session> 0 <err> <time>\n", written after `since`.
    void expect_last_record(const std::string& session, int err, int64_t since) {
        auto text = read_file(kMainPanelHealth);
        ASSERT_TRUE(text) << "no health record";
        auto h = parse_health(*text);
        ASSERT_TRUE(h) << *text;
        EXPECT_EQ(*text, session + " 0 " + std::to_string(err) + " " + std::to_string(h->time) + "\n");
        EXPECT_GE(h->time, since);
        EXPECT_LE(h->time, monotonic_ms());
    }
};

TEST_F(MainPanelEndTest, Stop) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    // A number too large for the request's third field makes a request of
    // three fields, which no command takes: it must not shrink to STOP.
    for (const char* number : {"99999999999", "4294967297", "-99999999999"}) {
        for (uid_t uid : {uid_t{0}, kSystemUid}) {
            EXPECT_EQ(reason_of(request(std::string("STOP ") + kSession + " " + number, uid)),
                      "stale_or_invalid_request")
                << number << " from uid " << uid;
        }
    }
    EXPECT_TRUE(d->running());
    int64_t since = monotonic_ms();
    expect_stop_releases(*d);
    expect_last_record("", 0, since);
}

TEST_F(MainPanelEndTest, Sigterm) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    // The node's bits go back before the last record says the hold is
    // over: a client that reads "not holding" may rely on them.
    const std::string at_restore = std::string(kSystemDir) + "/health-at-restore";
    node_->on_next(FakeNode::Event::chmod, kMainPanelHealth, at_restore, true);
    int64_t since = monotonic_ms();
    expect_sigterm_ends(*d);
    expect_node_released();
    expect_last_record(kSession, 0, since);
    ASSERT_TRUE(node_->fired());
    auto before = read_file(at_restore);
    ASSERT_TRUE(before);
    auto h = parse_health(*before);
    ASSERT_TRUE(h) << *before;
    EXPECT_EQ(h->holding, 1) << "the last record was written before the bits were restored";
}

TEST_F(MainPanelEndTest, IdleLimitWithoutArm) {
    Daemon* d = start_with_node();
    ASSERT_NE(d, nullptr);
    const int64_t ready_at = d->lines().front().at_ms;
    // STATUS does not count as arming.
    EXPECT_EQ(reason_of(request("STATUS")), "status");
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(30)), 0);
    const int64_t ended_at = monotonic_ms();
    EXPECT_GE(ended_at - ready_at, 9000) << "not before the idle limit";
    EXPECT_LE(ended_at - ready_at, 20000);
    expect_node_released();
    EXPECT_EQ(node_->writes_received(), 0);
    EXPECT_EQ(node_->chmods_received(), 0);
    expect_last_record("", 0, ready_at);
}

// The lease deleted, or moved away under another name: either change itself
// must wake the loop.
class MainPanelLeaseGoneTest : public MainPanelEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(MainPanelLeaseGoneTest, WakesTheLoopAtOnce) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    // Paused, the loop has no correction turns; its next timer is the
    // heartbeat, up to two seconds away.
    Lease paused;
    paused.active = 0;
    write_lease(paused);
    ASSERT_TRUE(wait_line(*d, "NATIVE_PAUSED ", std::chrono::seconds(5)));
    auto beat = read_health();
    ASSERT_TRUE(beat);
    ASSERT_TRUE(wait_renewing(
        [&] {
            auto h = read_health();
            return h && h->time != beat->time;
        },
        std::chrono::seconds(6)));

    stop_renewing();
    const int64_t ended_at = monotonic_ms();
    const std::string moved = std::string(kMainPanelLease) + ".old";
    ASSERT_EQ(GetParam() ? rename(kMainPanelLease, moved.c_str()) : unlink(kMainPanelLease), 0);
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    EXPECT_LT(monotonic_ms() - ended_at, 1500) << "the change itself wakes the loop";
    expect_node_released();
    expect_last_record(kSession, 0, ended_at);
}

INSTANTIATE_TEST_SUITE_P(Lease, MainPanelLeaseGoneTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "MovedAway" : "Deleted"; });

TEST_F(MainPanelEndTest, LeaseExpires) {
    Lease short_lived;
    short_lived.ttl_ms = 3000;
    Daemon* d = start_holding(short_lived);
    ASSERT_NE(d, nullptr);
    stop_renewing();
    const int64_t deadline = rewrite_lease();
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(15)), 0);
    const int64_t ended_at = monotonic_ms();
    EXPECT_GE(ended_at, deadline - 50) << "not before the lease's deadline";
    EXPECT_LE(ended_at, deadline + 3000);
    expect_node_released();
    expect_last_record(kSession, 0, deadline - 50);
}

TEST_F(MainPanelEndTest, LeaseNamesAnotherPid) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    pid_t other = start_named_process("other-client");
    ASSERT_GT(other, 0);
    Lease moved;
    moved.pid = other;
    int64_t since = monotonic_ms();
    write_lease(moved);
    EXPECT_EQ(wait_exit_renewing(*d, std::chrono::seconds(5)), 0);
    expect_node_released();
    expect_last_record(kSession, 0, since);
}

TEST_F(MainPanelEndTest, LeasePidDies) {
    pid_t client = start_named_process("client");
    ASSERT_GT(client, 0);
    Lease lease;
    lease.pid = client;
    Daemon* d = start_holding(lease);
    ASSERT_NE(d, nullptr);
    int64_t since = monotonic_ms();
    stop_process(client);
    EXPECT_EQ(wait_exit_renewing(*d, std::chrono::seconds(5)), 0);
    expect_node_released();
    expect_last_record(kSession, 0, since);
}

TEST_F(MainPanelEndTest, NodeReplacedEndsWithStaleAndDropsTheRecord) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    auto st = stat_path(kNodePath);
    ASSERT_TRUE(st);
    int64_t since = monotonic_ms();
    node_->replace_inode();
    EXPECT_EQ(wait_exit_renewing(*d, std::chrono::seconds(5)), 3);
    EXPECT_EQ(lines_starting(*d, "NATIVE_RELEASE_FAILED "),
              std::vector<std::string>{"NATIVE_RELEASE_FAILED errno=116 (Stale file handle)"});
    expect_last_record(kSession, ESTALE, since);
    // The record names the old inode, which is gone: nothing can be put
    // back, so it is deleted on the way out, and the next start goes on.
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_EQ(lines_starting(*d, "NATIVE_RECORD_DROPPED "),
              std::vector<std::string>{"NATIVE_RECORD_DROPPED reason=node_replaced path=" + std::string(kNodePath) +
                                       " dev=" + std::to_string(st->st_dev) + " ino=" + std::to_string(st->st_ino)});
    Outcome recover = run({"--recover"});
    EXPECT_OUTCOME(recover, 0, "");
}

// The node still there but no longer opened: not a replaced node, so the
// hold ends with EIO. The release needs no open: it gives the bits back
// through the descriptor it holds.
TEST_F(MainPanelEndTest, UnopenableNodeEndsWithEio) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    int64_t since = monotonic_ms();
    node_->fail_opens(EACCES);
    EXPECT_EQ(wait_exit_renewing(*d, std::chrono::seconds(5)), 0);
    expect_last_record(kSession, EIO, since);
    expect_node_released();
    node_->fail_opens(0);
}

// Whatever covers the node's path when the hold ends (a file system over
// its device directory, a file bound over it), the bits go back through
// the descriptor the guard holds, and no record is dropped.
TEST_F(MainPanelEndTest, NodeCoveredByAMountGetsItsBitsBackThroughTheHeldDescriptor) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    const std::string dir = node_->device_dir();
    ASSERT_EQ(mount("none", dir.c_str(), "tmpfs", 0, nullptr), 0) << strerror(errno);
    ASSERT_TRUE(write_file(node_->real_brightness_path(), "150\n", 0664));
    int64_t since = monotonic_ms();
    EXPECT_EQ(wait_exit_renewing(*d, std::chrono::seconds(5)), 0);
    umount2(dir.c_str(), MNT_DETACH);
    expect_last_record(kSession, ESTALE, since);
    expect_node_released();
    EXPECT_TRUE(lines_starting(*d, "NATIVE_RECORD_DROPPED ").empty());
}

// A STOP whose release finds the node made afresh at that very moment:
// nothing went back, so the reply is not "released".
TEST_F(MainPanelEndTest, StopThatCannotGiveTheBitsBackIsNotReleased) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    node_->replace_inode_on_next(FakeNode::Event::chmod);
    int64_t since = monotonic_ms();
    EXPECT_EQ(reason_of(request("STOP")), "permission_restore_failed");
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 3);
    ASSERT_TRUE(node_->fired());
    expect_last_record("", ESTALE, since);
}

// However the hold ends, a release that leaves the node without its write
// bits is no clean end: the record stays for a later start or --recover,
// the last health record names the error, a line says so and the process
// ends as a failed restore does.
class MainPanelFailedReleaseTest : public MainPanelEndTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MainPanelFailedReleaseTest, IsVisibleHoweverTheHoldEnds) {
    const char kSpoilt[] = "v2\nnot a record\n";
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(write_file(kPermissionRecord, kSpoilt, 0600));
    int64_t since = monotonic_ms();
    if (std::string(GetParam()) == "Sigterm") {
        d->signal(SIGTERM);
    } else {
        stop_renewing();
        ASSERT_EQ(unlink(kMainPanelLease), 0);
    }
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 3);
    EXPECT_EQ(lines_starting(*d, "NATIVE_RELEASE_FAILED "),
              std::vector<std::string>{"NATIVE_RELEASE_FAILED errno=22 (Invalid argument)"});
    expect_last_record(kSession, EINVAL, since);
    EXPECT_EQ(read_file(kPermissionRecord), kSpoilt);
    EXPECT_EQ(node_->mode(), 0444u);
}

INSTANTIATE_TEST_SUITE_P(End, MainPanelFailedReleaseTest, ::testing::Values("Sigterm", "LeaseGone"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

// A record removed behind the daemon's back: the guard still knows the
// bits it took, and puts them back before it answers "released".
TEST_F(MainPanelEndTest, RecordRemovedBehindTheDaemonsBackStillGivesTheBitsBack) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(unlink(kPermissionRecord), 0);
    expect_stop_releases(*d);
}

TEST_F(MainPanelEndTest, FailedCorrectionWrite) {
    Daemon* d = start_holding();
    ASSERT_NE(d, nullptr);
    int64_t since = monotonic_ms();
    node_->fail_writes(EIO);
    node_->set_value(80);
    EXPECT_EQ(wait_exit_renewing(*d, std::chrono::seconds(5)), 0);
    expect_node_released();
    expect_last_record(kSession, EIO, since);
    EXPECT_TRUE(lines_starting(*d, "NATIVE_CORRECTION ").empty());
}

TEST_F(MainPanelEndTest, SetWhoseReadBackDiffers) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(reason_of(arm(Lease{})), "armed");
    // Once the loop has taken the target, a node already at it gives the
    // loop nothing to write; the SET below is the first write.
    ASSERT_TRUE(wait_renewing([&] { return int_of(request("STATUS"), "target") == 150; }, std::chrono::seconds(5)));
    // A driver that caps the value: the read-back differs from what was
    // written.
    node_->clamp_to(120);
    int64_t since = monotonic_ms();
    StatusExpect failed{.ok = false, .reason = "write_or_readback_failed", .actual = 120, .write_attempts = 1,
        .err = ERANGE};
    EXPECT_EQ(request("SET " + std::string(kSession) + " 150"), status_json(failed));
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    expect_node_released();
    expect_last_record("", ERANGE, since);
}

}  // namespace
}  // namespace sandbox::main_panel
