// Value reads through the fake node, the verified write that arms the
// guard, writes and reads back, and the rules for the lease file it reads
// first, in-process.
#include <stdio.h>

#include "outdoor/outdoor_write.h"
#include "process/environment.h"

#include "tests/integration/node_fixture.h"

namespace sandbox::node_access {
namespace {

// ------------------------------------------------------------ value reads

TEST_F(NodeAccessTest, ReadSysfsValueThroughTheFakeNode) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    EXPECT_EQ(read_sysfs_value(path.c_str()), 100);
    node->fail_reads();
    EXPECT_EQ(read_sysfs_value(path.c_str()), -1);
    node->fail_reads(0);
    node->force_zero(true);
    EXPECT_EQ(read_sysfs_value(path.c_str()), 0);
    node->force_zero(false);
    node->set_value(200);
    EXPECT_EQ(read_sysfs_value(path.c_str()), 200);
    EXPECT_EQ(read_sysfs_value(node->max_brightness_path().c_str()), 255);
    EXPECT_EQ(read_sysfs_value("/sys/class/backlight/panel0-backlight/missing"), -1);
}

// ---------------------------------------------------------- verified write

TEST_F(NodeAccessTest, VerifiedWriteArmsWritesAndReadsBack) {
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    s_.counters.last_error = 99;
    EXPECT_EQ(vwrite(150), 0);
    EXPECT_EQ(node->value(), 150);
    ASSERT_FALSE(node->last_writes().empty());
    EXPECT_EQ(node->last_writes().back(), "150");
    EXPECT_EQ(read_sysfs_value(s_.node.node_path), 150);
    EXPECT_EQ(s_.counters.write_attempts, 1);
    EXPECT_EQ(s_.counters.write_successes, 1);
    EXPECT_EQ(s_.counters.last_error, 0);
    EXPECT_GE(s_.guard.held_fd, 0);
    EXPECT_EQ(node->mode(), 0444u);
    auto text = read_file(kPermissionRecord);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, record_for(node->brightness_path(), 0664, boot_));
    EXPECT_EQ(open_for_write_as(kSystemUid, node->brightness_path()), EACCES);

    // Once armed, the next write goes through the same descriptor.
    const int held = s_.guard.held_fd;
    ASSERT_TRUE(hold_with_lease("S", kLeasePid, 1, 160));
    EXPECT_EQ(vwrite(160), 0);
    EXPECT_EQ(node->value(), 160);
    EXPECT_EQ(s_.guard.held_fd, held);
    EXPECT_EQ(s_.counters.write_attempts, 2);
    EXPECT_EQ(s_.counters.write_successes, 2);
    EXPECT_EQ(read_file(kPermissionRecord), text);
}

// verified_write gave up before writing: err in last_error, no attempt, no
// write reached the node and no permission record was made.
TEST_F(NodeAccessTest, VerifiedWriteDeclinesWhilePanelReadsZero) {
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    node->force_zero(true);
    EXPECT_EQ(vwrite(150), 1);
    expect_nothing_written(*node, 0);
    EXPECT_EQ(s_.counters.write_successes, 0);
    EXPECT_EQ(node->mode(), 0664u);
}

// A node that refuses to be opened but is still the captured file has not
// been replaced: the read fails with EIO, not ESTALE, and the verified write
// only declines (SET answers "screen_not_writable" and the daemon goes on).
TEST_F(NodeAccessTest, UnopenableNodeIsNotAReplacedOne) {
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    for (int err : {EACCES, EIO}) {
        SCOPED_TRACE(err);
        node->fail_opens(err);
        EXPECT_TRUE(identity_ok());
        EXPECT_FAILS_WITH(read_node_checked(&s_.node), EIO);
        EXPECT_EQ(vwrite(150), 1);
        expect_nothing_written(*node, 0);
    }
    node->replace_inode();
    EXPECT_FAILS_WITH(read_node_checked(&s_.node), ESTALE);
}

// Every write bit is cleared at arming, and again when the device manager
// gives any of them back on the write's change event, before the read-back:
// all three, or only the owner's, the group's or the other users'.
class GuardBitsTest : public NodeAccessTest, public ::testing::WithParamInterface<mode_t> {};

TEST_P(GuardBitsTest, EveryWriteBitIsClearedAtArmingAndAfterTheWrite) {
    const mode_t mode = GetParam();
    FakeNode* node = captured_node({.mode = mode});
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(hold_with_lease("S", kLeasePid, 1, 150));
    ASSERT_EQ(arm(), 0);
    EXPECT_EQ(node->mode(), 0444u);
    node->set_mode_on_next(FakeNode::Event::write, mode);
    EXPECT_EQ(vwrite(150), 0);
    ASSERT_TRUE(node->fired());
    EXPECT_EQ(node->mode_at_next_read(), 0444) << "the bits were back at the read-back";
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(release(), 0);
    EXPECT_EQ(node->mode(), mode);
}

INSTANTIATE_TEST_SUITE_P(Bits, GuardBitsTest, ::testing::Values(0666, 0644, 0464, 0446),
                         [](const ::testing::TestParamInfo<mode_t>& p) {
                             char name[8];
                             snprintf(name, sizeof name, "Mode%o", static_cast<unsigned>(p.param));
                             return std::string(name);
                         });

TEST_F(NodeAccessTest, VerifiedWriteFailsWhenLeaseNamesAnotherSession) {
    FakeNode* node = held_node("T", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(vwrite(150), -1);
    expect_nothing_written(*node, ECANCELED);
    EXPECT_EQ(s_.counters.last_error, 125);
    EXPECT_EQ(node->mode(), 0664u);
}

TEST_F(NodeAccessTest, VerifiedWriteFailsWhenLeaseNamesAnotherPidOrIsGone) {
    FakeNode* node = held_node("S", kLeasePid + 1, 1, 150);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(vwrite(150), -1);
    EXPECT_EQ(s_.counters.last_error, ECANCELED);
    s_.counters.last_error = 0;
    ASSERT_EQ(unlink(kMainPanelLease), 0);
    EXPECT_EQ(vwrite(150), -1);
    EXPECT_EQ(s_.counters.last_error, ECANCELED);
    EXPECT_EQ(node->writes_received(), 0);
    EXPECT_EQ(s_.counters.write_attempts, 0);
}

TEST_F(NodeAccessTest, VerifiedWriteReportsAClampingDriver) {
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    node->clamp_to(120);
    EXPECT_EQ(vwrite(150), -1);
    EXPECT_EQ(s_.counters.last_error, ERANGE);
    EXPECT_EQ(s_.counters.last_error, 34);
    EXPECT_EQ(s_.counters.write_attempts, 1);
    EXPECT_EQ(s_.counters.write_successes, 0);
    EXPECT_EQ(node->writes_received(), 1);
    EXPECT_EQ(node->value(), 120);
    // A failed write leaves the guard as it was, for the caller to end.
    EXPECT_GE(s_.guard.held_fd, 0);
    EXPECT_TRUE(path_exists(kPermissionRecord));
}

TEST_F(NodeAccessTest, VerifiedWriteDeclinesPausedLease) {
    FakeNode* node = held_node("S", kLeasePid, 0, 150);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(vwrite(150), 1);
    expect_nothing_written(*node, 0);
    EXPECT_EQ(node->mode(), 0664u);
}

TEST_F(NodeAccessTest, VerifiedWriteDeclinesALeaseChangedWhileArming) {
    // Arming has just recorded the bits and changed the node's mode when
    // the client pauses the hold, names another target, session or pid, or
    // withdraws the lease: the node must get its bits back and not be
    // written.
    const std::string next = std::string(kSystemDir) + "/next-lease";
    const std::vector<std::pair<const char*, std::string>> changes = {
        {"paused", main_panel_lease_line("S", kLeasePid, sandbox::monotonic_ms() + 5000, 0, 150)},
        {"another target", main_panel_lease_line("S", kLeasePid, sandbox::monotonic_ms() + 5000, 1, 140)},
        {"another session", main_panel_lease_line("T", kLeasePid, sandbox::monotonic_ms() + 5000, 1, 150)},
        {"another pid", main_panel_lease_line("S", kLeasePid + 1, sandbox::monotonic_ms() + 5000, 1, 150)},
        {"withdrawn", ""},
    };
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    for (const auto& [what, lease] : changes) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(hold_with_lease("S", kLeasePid, 1, 150));
        if (lease.empty()) {
            node->on_next(FakeNode::Event::chmod, kMainPanelLease, std::string(kSystemDir) + "/gone");
        } else {
            ASSERT_EQ(write_file_as(kSystemUid, kSystemUid, next, lease, 0600), 0);
            node->on_next(FakeNode::Event::chmod, next, kMainPanelLease);
        }
        const int attempts = s_.counters.write_attempts;
        EXPECT_EQ(vwrite(150), 1);
        EXPECT_TRUE(node->fired()) << "arming changed the node's mode";
        EXPECT_EQ(s_.counters.write_attempts, attempts + 1);
        EXPECT_EQ(node->writes_received(), 0);
        EXPECT_EQ(node->mode(), 0664u);
        EXPECT_EQ(s_.guard.held_fd, -1);
        EXPECT_FALSE(path_exists(kPermissionRecord));
    }
}

TEST_F(NodeAccessTest, VerifiedWriteDeclinesOtherTarget) {
    FakeNode* node = held_node("S", kLeasePid, 1, 140);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(vwrite(150), 1);
    expect_nothing_written(*node, 0);
}

TEST_F(NodeAccessTest, VerifiedWriteFailsOnReplacedNode) {
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    node->replace_inode();
    EXPECT_EQ(vwrite(150), -1);
    expect_nothing_written(*node, ESTALE);
    EXPECT_EQ(s_.counters.last_error, 116);
}

TEST_F(NodeAccessTest, VerifiedWriteFailsWhileARecordIsLeftOver) {
    FakeNode* node = held_node("S", kLeasePid, 1, 150);
    ASSERT_NE(node, nullptr);
    const std::string leftover = record_for(node->brightness_path(), 0664, boot_);
    ASSERT_TRUE(write_file(kPermissionRecord, leftover, 0600));
    EXPECT_EQ(vwrite(150), -1);
    EXPECT_EQ(s_.counters.last_error, EEXIST);
    EXPECT_EQ(s_.counters.write_attempts, 1);
    EXPECT_EQ(s_.counters.write_successes, 0);
    EXPECT_EQ(node->writes_received(), 0);
    EXPECT_EQ(read_file(kPermissionRecord), leftover);
    EXPECT_EQ(node->mode(), 0664u);
}

// --------------------------------------------------------- lease file rules

// ------------------------------------------------------------ outdoor write

// The outdoor write looks at everything once more just before it writes;
// each look that fails leaves the node unwritten: 1 before the node was
// opened for writing, -1 after.
TEST_F(NodeAccessTest, OutdoorWriteLooksAgainBeforeItWrites) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    int lock = take_main_panel_lock();
    ASSERT_GE(lock, 0);
    EXPECT_EQ(write_outdoor_value(&s_.node, 100, 150), 1) << "a main-panel daemon holds the panel";
    close(lock);
    EXPECT_EQ(write_outdoor_value(&s_.node, 100, -1), 1);
    node->set_maximum(149);
    EXPECT_EQ(write_outdoor_value(&s_.node, 100, 150), 1) << "the maximum fell below the value";
    node->set_maximum(255);
    EXPECT_EQ(write_outdoor_value(&s_.node, 90, 150), 1) << "the node moved before the open";
    // Another writer between the open and the write.
    node->set_value_on_next(FakeNode::Event::write_open, 90);
    EXPECT_EQ(write_outdoor_value(&s_.node, 100, 150), -1);
    EXPECT_TRUE(node->fired());
    EXPECT_EQ(node->writes_received(), 0);
    EXPECT_EQ(node->value(), 90);

    EXPECT_EQ(write_outdoor_value(&s_.node, 90, 150), 0);
    EXPECT_EQ(node->value(), 150);
    node->replace_inode();
    EXPECT_EQ(write_outdoor_value(&s_.node, 150, 100), 1) << "no longer the captured node";
    EXPECT_EQ(node->writes_received(), 1);
}

TEST_F(NodeAccessTest, LeaseFileOwnershipAndModeRules) {
    lease_record rec = {};
    ASSERT_EQ(write_lease("S", kLeasePid, 1, 150), 0);
    ASSERT_EQ(read_main_panel_lease(255, &rec), 1) << "control: a sound lease";
    EXPECT_STREQ(rec.session, "S");
    EXPECT_EQ(rec.pid, kLeasePid);
    EXPECT_EQ(rec.active, 1);
    EXPECT_EQ(rec.target, 150);

    ASSERT_EQ(write_lease("S", kLeasePid, 1, 150, 0400), 0);
    EXPECT_EQ(read_main_panel_lease(255, &rec), 1) << "mode 0400";

    ASSERT_EQ(write_lease("S", kLeasePid, 1, 150, 0640), 0);
    EXPECT_EQ(read_main_panel_lease(255, &rec), 0) << "mode 0640";

    ASSERT_EQ(unlink(kMainPanelLease), 0);
    ASSERT_TRUE(write_file(kMainPanelLease,
                           main_panel_lease_line("S", kLeasePid, sandbox::monotonic_ms() + 5000, 1, 150), 0600));
    EXPECT_EQ(read_main_panel_lease(255, &rec), 0) << "owned by root";

    ASSERT_EQ(write_lease("S", kLeasePid, 1, 150), 0);
    ASSERT_EQ(run_as(kSystemUid, kSystemUid, [] { return truncate(kMainPanelLease, 0) == 0 ? 0 : errno; }), 0);
    EXPECT_EQ(read_main_panel_lease(255, &rec), 0) << "empty";

    ASSERT_EQ(unlink(kMainPanelLease), 0);
    EXPECT_EQ(read_main_panel_lease(255, &rec), 0) << "missing";
}

TEST_F(NodeAccessTest, LeaseBehindASymlinkIsNoLease) {
    const std::string sound = std::string(kSystemDir) + "/sound-lease";
    ASSERT_EQ(write_file_as(kSystemUid, kSystemUid, sound,
                            main_panel_lease_line("S", kLeasePid, sandbox::monotonic_ms() + 5000, 1, 150)),
              0);
    ASSERT_EQ(run_as(kSystemUid, kSystemUid,
                     [&] { return symlink(sound.c_str(), kMainPanelLease) == 0 ? 0 : errno; }),
              0);
    lease_record rec = {};
    EXPECT_EQ(read_main_panel_lease(255, &rec), 0);
}

TEST_F(NodeAccessTest, LeaseThatIsAFifoIsNoLeaseAndDoesNotBlock) {
    ASSERT_EQ(run_as(kSystemUid, kSystemUid,
                     [] { return mkfifo(kMainPanelLease, 0600) == 0 ? 0 : errno; }),
              0);
    auto st = lstat_path(kMainPanelLease);
    ASSERT_TRUE(st);
    ASSERT_TRUE(S_ISFIFO(st->st_mode));
    ASSERT_EQ(st->st_uid, kSystemUid);
    ASSERT_EQ(st->st_mode & 07777, 0600u);
    // 0 or 1 is the reader's answer; -1 means it never came back.
    EXPECT_EQ(guarded([] {
                  lease_record rec = {};
                  return read_main_panel_lease(255, &rec);
              }),
              0);
    // verified_write reads the lease first; it must fail, not hang.
    EXPECT_EQ(guarded([this] {
                  snprintf(s_.hold.session, sizeof s_.hold.session, "S");
                  s_.hold.lease_pid = kLeasePid;
                  s_.hold.armed = 1;
                  return vwrite(150) == -1 && s_.counters.last_error == ECANCELED ? 0 : 1;
              }),
              0);
}

}  // namespace
}  // namespace sandbox::node_access
