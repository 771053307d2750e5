// Main-panel start-up through the real binary: the range and node checks,
// the write probe, the control socket, the permission record left by an
// earlier run, and the readiness line.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

class MainPanelStartupTest : public MainPanelTest {
  protected:
    Outcome run_daemon() { return run({"--daemon", "--node", kNodePath}); }

    // A daemon that reached its loop is ended the clean way.
    void expect_ready_then_stop() {
        Daemon* d = start_daemon();
        ASSERT_NE(d, nullptr);
        d->signal(SIGTERM);
        EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0) << d->stderr_text();
    }

    std::string record_for_node(unsigned mode, const std::string& boot_id, long ino_offset = 0) {
        auto st = stat_path(kNodePath);
        EXPECT_TRUE(st.has_value());
        if (!st) return "";
        return v2_record(mode, st->st_dev, st->st_ino + ino_offset, boot_id, kNodePath, kRealNodePath);
    }
};

TEST_F(MainPanelStartupTest, MaximumBelowElevenFailsTheRangeStageAndElevenPasses) {
    FakeNodeOptions options;
    options.maximum = 10;
    options.value = 10;
    FakeNode* node = make_node(options);
    ASSERT_NE(node, nullptr);

    Outcome o = run_daemon();
    EXPECT_FAIL_PREFIX(o, "main_panel_range", 4);
    EXPECT_FALSE(control_socket_listening());

    node->set_maximum(11);
    std::string ready;
    Daemon* d = start_daemon(&ready);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(ready.find(" maximum=11 "), std::string::npos) << ready;
    expect_sigterm_ends(*d);
    EXPECT_EQ(node->writes_received(), 0);
}

TEST_F(MainPanelStartupTest, UnreadableMaximumFailsTheRangeStage) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    node->fail_max_reads(EIO);
    Outcome o = run_daemon();
    EXPECT_OUTCOME(o, 4, fail_line("main_panel_range", 4, EIO));
}

TEST_F(MainPanelStartupTest, CurrentValueAtMaximumPassesAndAboveFails) {
    FakeNode* node = make_node(node_at(255));
    ASSERT_NE(node, nullptr);
    expect_ready_then_stop();

    node->set_value(256);
    Outcome o = run_daemon();
    EXPECT_FAIL_PREFIX(o, "main_panel_range", 4);

    // A node that cannot be read counts like a value out of range.
    node->set_value(100);
    node->fail_reads(EIO);
    o = run_daemon();
    EXPECT_OUTCOME(o, 4, fail_line("main_panel_range", 4, EIO));
    EXPECT_EQ(node->writes_received(), 0);
}

TEST_F(MainPanelStartupTest, RefusedOrMissingNodePathFailsTheIdentityStage) {
    FakeNodeOptions second;
    second.name = "panel1";
    FakeNode* node = make_node(second);
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(path_exists("/sys/class/backlight/panel1/brightness"));

    // It exists and is a fine node, but its name says it is a second panel.
    Outcome o = run({"--daemon", "--node", "/sys/class/backlight/panel1/brightness"});
    EXPECT_OUTCOME(o, 4, fail_line("primary_node_identity", 4, EINVAL));

    // An allowed name that does not exist.
    o = run_daemon();
    EXPECT_OUTCOME(o, 4, fail_line("primary_node_identity", 4, EINVAL));
    EXPECT_EQ(node->writes_received(), 0);
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(MainPanelStartupTest, NodeThatCannotBeOpenedForWritingFailsTheOpenProbe) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    // A read-only bind of the node over itself: same device and inode, it
    // still reads, but no one, root included, can open it for writing.
    const std::string real = node->real_brightness_path();
    if (mount(real.c_str(), real.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, real.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        GTEST_SKIP() << "cannot make a read-only bind of the fake node: " << strerror(errno);
    }
    Outcome o = run_daemon();
    umount2(real.c_str(), MNT_DETACH);
    EXPECT_OUTCOME(o, 4, fail_line("primary_node_open", 4, EROFS));
    EXPECT_FALSE(control_socket_listening()) << "the probe comes before the socket";
    EXPECT_EQ(node->writes_received(), 0);
}

TEST_F(MainPanelStartupTest, ControlSocketNameAlreadyBoundFailsWithExitFive) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    // Someone else holds the abstract name in the daemon's network
    // namespace.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, kControlSocketName, strlen(kControlSocketName));
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strlen(kControlSocketName));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0) << strerror(errno);

    Outcome o = run_daemon();
    EXPECT_OUTCOME(o, 5, fail_line("control_socket", 5, EADDRINUSE));
    EXPECT_EQ(node->writes_received(), 0);
    close(fd);

    // With the name free again the same node starts.
    expect_ready_then_stop();
}

// The driver made the node afresh (another inode, a mode of the kernel's):
// the record can never be applied, so it is deleted with a line, and the
// start goes on. A node that is only gone from its path may live on under
// another name: its record stays and every start fails. The line comes
// only once the record is really gone.
TEST_F(MainPanelStartupTest, RecordOfANodeMadeAfreshIsDeletedAndTheStartGoesOn) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    auto st = stat_path(kNodePath);
    ASSERT_TRUE(st);
    const std::string afresh = record_for_node(0644, kBootId, 1);
    const std::string dropped = "NATIVE_RECORD_DROPPED reason=node_replaced path=" + std::string(kNodePath) +
                                " dev=" + std::to_string(st->st_dev) + " ino=" + std::to_string(st->st_ino + 1);
    ASSERT_TRUE(write_file(kPermissionRecord, afresh, 0600));
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 0, dropped + "\n");
    EXPECT_FALSE(path_exists(kPermissionRecord));

    ASSERT_TRUE(write_file(kPermissionRecord, afresh, 0600));
    std::string ready;
    Daemon* d = start_daemon(&ready);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->line_texts(), (std::vector<std::string>{dropped, ready}));
    EXPECT_FALSE(path_exists(kPermissionRecord));
    expect_sigterm_ends(*d);

    // A record that cannot be deleted (a mount on its name) is not dropped,
    // nor is one of another boot: the start does not go on past it.
    const std::string other_boot = record_for_node(0644, "fedcba98-7654-3210-fedc-ba9876543210");
    for (const std::string& record : {afresh, other_boot}) {
        ASSERT_TRUE(write_file(kPermissionRecord, record, 0600));
        ASSERT_EQ(mount(kPermissionRecord, kPermissionRecord, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
        o = run({"--daemon", "--node", kNodePath});
        umount2(kPermissionRecord, MNT_DETACH);
        EXPECT_OUTCOME(o, 3, fail_line("restore_permissions", 3, EBUSY));
        EXPECT_EQ(read_file(kPermissionRecord), record);
    }

    // Gone from its path, perhaps renamed: the record stays.
    const std::string gone = v2_record(0644, st->st_dev, st->st_ino, kBootId, "/sys/class/backlight/gone/brightness",
                                       "/sys/devices/platform/veltaris-panel/backlight/gone/brightness");
    ASSERT_TRUE(write_file(kPermissionRecord, gone, 0600));
    for (const auto& args : std::vector<std::vector<std::string>>{{"--daemon", "--node", kNodePath}, {"--recover"}}) {
        SCOPED_TRACE(args[0]);
        o = run(args);
        EXPECT_OUTCOME(o, 3, fail_line("restore_permissions", 3, ESTALE));
    }
    EXPECT_EQ(read_file(kPermissionRecord), gone);
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_EQ(node->chmods_received(), 0);
}

// Mounts elsewhere never stop the judgement: a network namespace kept by a
// file (its root in the table is "net:[...]"), a table several times the
// reader's buffer, and a line longer than that buffer.
TEST_F(MainPanelStartupTest, RecordOfANodeMadeAfreshIsDroppedWhateverIsMountedElsewhere) {
    ASSERT_NE(make_node(), nullptr);
    auto st = stat_path(kNodePath);
    ASSERT_TRUE(st);
    const std::string afresh = record_for_node(0644, kBootId, 1);
    const std::string dropped = "NATIVE_RECORD_DROPPED reason=node_replaced path=" + std::string(kNodePath) +
                                " dev=" + std::to_string(st->st_dev) + " ino=" + std::to_string(st->st_ino + 1);
    std::vector<std::string> mounted;
    auto mount_ok = [&](const char* source, const std::string& target, const char* type, unsigned long flags) {
        bool ok = mount(source, target.c_str(), type, flags, nullptr) == 0;
        EXPECT_TRUE(ok) << target.substr(0, 80) << ": " << strerror(errno);
        if (ok) mounted.push_back(target);
        return ok;
    };

    ASSERT_TRUE(write_file("/sandbox/netns", "", 0600));
    ASSERT_TRUE(mount_ok("/proc/self/ns/net", "/sandbox/netns", nullptr, MS_BIND));
    ASSERT_TRUE(mkdir_p("/sandbox/many"));
    for (int i = 0; i < 300; ++i) {
        std::string dir = "/sandbox/many/" + std::to_string(i);
        ASSERT_TRUE(mkdir_p(dir));
        ASSERT_TRUE(mount_ok("/sandbox/many", dir, nullptr, MS_BIND));
    }
    // Root, mount point and source of one line, some 11 KiB together.
    const std::string source(4000, 's');
    ASSERT_TRUE(mkdir_p("/sandbox/long"));
    ASSERT_TRUE(mount_ok(source.c_str(), "/sandbox/long", "tmpfs", 0));
    std::string deep = "/sandbox/long";
    for (int i = 0; i < 16; ++i) deep += "/" + std::string(200, 'd');
    ASSERT_TRUE(mkdir_p(deep));
    ASSERT_TRUE(mkdir_p(deep + "/to"));
    ASSERT_TRUE(mount_ok(deep.c_str(), deep + "/to", nullptr, MS_BIND));
    const std::string table = read_file("/proc/self/mountinfo").value_or("");
    ASSERT_GT(table.size(), 3u * 8192);
    ASSERT_NE(table.find(" net:["), std::string::npos);

    ASSERT_TRUE(write_file(kPermissionRecord, afresh, 0600));
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 0, dropped + "\n");
    EXPECT_FALSE(path_exists(kPermissionRecord));
    for (auto it = mounted.rbegin(); it != mounted.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

TEST_F(MainPanelStartupTest, RecordWithGroupBitsStopsEveryStart) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    const std::string record = record_for_node(0644, kBootId);
    ASSERT_FALSE(record.empty());
    ASSERT_TRUE(write_file(kPermissionRecord, record, 0640));

    for (const auto& args : std::vector<std::vector<std::string>>{{"--daemon", "--node", kNodePath}, {"--recover"}}) {
        SCOPED_TRACE(args[0]);
        Outcome o = run(args);
        EXPECT_FAIL_PREFIX(o, "restore_permissions", 3);
    }
    EXPECT_EQ(read_file(kPermissionRecord), record);
    EXPECT_EQ(file_mode(kPermissionRecord), 0640);
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(MainPanelStartupTest, RecoverAppliesARecordOfThisBootAndDeletesIt) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    // As a crashed holder would have left things.
    node->set_mode(0444);
    ASSERT_TRUE(write_file(kPermissionRecord, record_for_node(0664, kBootId), 0600));

    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 0, "");
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_EQ(node->writes_received(), 0);

    // A daemon start does the same and then carries on to its loop.
    node->set_mode(0444);
    ASSERT_TRUE(write_file(kPermissionRecord, record_for_node(0664, kBootId), 0600));
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    expect_sigterm_ends(*d);
}

TEST_F(MainPanelStartupTest, RecoverDeletesARecordOfAnotherBootWithoutTouchingTheNode) {
    FakeNode* node = make_node();
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(write_file(kPermissionRecord, record_for_node(0600, "fedcba98-7654-3210-fedc-ba9876543210"), 0600));

    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 0, "");
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_EQ(node->mode(), 0664u) << "the other boot's bits are not applied";
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(MainPanelStartupTest, ReadinessLineIsExactAndTheLastBeforeTheLoopsOwnLines) {
    FakeNode* node = make_node(node_at(150));
    ASSERT_NE(node, nullptr);
    std::string ready;
    Daemon* d = start_daemon(&ready);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ready, "NATIVE_READY build=raw07-mirelodge pid=" + std::to_string(d->pid()) +
                         " maximum=255 path=" + kNodePath + " real=" + kRealNodePath);
    EXPECT_TRUE(control_socket_listening()) << "the socket listens once the line is out";
    EXPECT_EQ(d->line_texts(), std::vector<std::string>{ready});

    ASSERT_TRUE(hold(Lease{}));
    node->set_value(80);
    ASSERT_TRUE(wait_line(*d, "NATIVE_CORRECTION ", std::chrono::seconds(5)));
    EXPECT_EQ(d->line_texts(),
              (std::vector<std::string>{ready, "NATIVE_CORRECTION actual=80 target=150 count=1"}));
    EXPECT_EQ(reason_of(request("STOP")), "released");
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    EXPECT_EQ(d->stderr_text(), ready + "\nNATIVE_CORRECTION actual=80 target=150 count=1\n")
        << "nothing is printed at shutdown";
}

}  // namespace
}  // namespace sandbox::main_panel
