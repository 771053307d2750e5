// The daemon's start-up spine through the real binary: the command-line
// table, the root and private-directory checks, the main-panel lock, the
// boot identity and the escape from the app freezer.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox {
namespace {

// The main-panel fixture's starts (run, start_daemon), without its lease.
class SpineTest : public main_panel::MainPanelTest {
  protected:
    Outcome run_as_system(const std::vector<std::string>& args) {
        return run(args, {.uid = kSystemUid, .gid = kSystemUid});
    }

    // SIGTERM ends the hold loop at its next turn with exit 0. (An idle
    // daemon also ends by itself with 0 after ten seconds; a very slow
    // machine may get there first, which is just as clean.)
    void expect_clean_stop(Daemon& d) {
        d.signal(SIGTERM);
        EXPECT_EQ(d.wait_exit(20s), 0) << d.stderr_text();
    }
};

// ---- the command-line table ----

TEST_F(SpineTest, NoArgumentsExitTwoSilentlyAfterTheCommonSteps) {
    Outcome o = run({});
    EXPECT_OUTCOME(o, 2, "");
    // The common steps ran: the main-panel lock was created, root-only.
    auto lock = lstat_path(kMainPanelLock);
    ASSERT_TRUE(lock) << "the main-panel lock was not taken";
    EXPECT_TRUE(S_ISREG(lock->st_mode));
    EXPECT_EQ(lock->st_mode & 077, 0u);
    EXPECT_EQ(lock->st_uid, 0u);
    EXPECT_EQ(lock->st_size, 0);
}

TEST_F(SpineTest, RecoverExitsZeroSilently) {
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 0, "");
    EXPECT_TRUE(path_exists(kMainPanelLock));
    EXPECT_FALSE(path_exists(kOutdoorLock));
}

// The version is answered before any check: as any user, with no private
// directory, and without creating a lock.
TEST_F(SpineTest, VersionAloneIsAnsweredBeforeAnyCheck) {
    ASSERT_TRUE(remove_private_dir());
    for (uid_t uid : {0u, kSystemUid}) {
        SCOPED_TRACE(uid);
        Daemon d;
        DaemonOptions options;
        options.uid = uid;
        options.gid = uid;
        options.capture_stdout = true;
        ASSERT_TRUE(d.start({"--version"}, options));
        EXPECT_EQ(d.wait_exit(20s), 0) << d.stderr_text();
        EXPECT_EQ(d.stderr_text(), "");
        EXPECT_TRUE(d.stdout_text().rfind("veltarisd ", 0) == 0) << d.stdout_text();
        EXPECT_NE(d.stdout_text().find(" (build raw07-mirelodge)\n"), std::string::npos) << d.stdout_text();
    }
    EXPECT_FALSE(path_exists(kPrivateDir));
}

TEST_F(SpineTest, RecoverWithExtraArgumentExitsTwoSilently) {
    Outcome o = run({"--recover", "x"});
    EXPECT_OUTCOME(o, 2, "");
}

TEST_F(SpineTest, MalformedCommandLinesExitTwoSilently) {
    const std::vector<std::vector<std::string>> lines = {
        {"--Recover"},
        {"recover"},
        {"--recover "},
        {""},
        {"--daemon"},
        {"--daemon", "--node"},
        {"--daemon", "--nodes", kNodePath},
        {"--node", "--daemon", kNodePath},
        {"--DAEMON", "--node", kNodePath},
        {"--daemon", "--node", kNodePath, "extra"},
        {"--recover", "--daemon", "--node", kNodePath},
        {"--version", "x"},
        {"--Version"},
    };
    for (const auto& args : lines) {
        std::string shown;
        for (const auto& a : args) shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        Outcome o = run(args);
        EXPECT_OUTCOME(o, 2, "");
    }
}

TEST_F(SpineTest, OutdoorWordsWithoutAPathTakeTheMainPanelPath) {
    Outcome o = run({"--outdoor", "--node"});
    EXPECT_OUTCOME(o, 2, "");
    EXPECT_TRUE(path_exists(kMainPanelLock)) << "the main-panel lock shows the main-panel path";
    EXPECT_FALSE(path_exists(kOutdoorLock));
}

TEST_F(SpineTest, OutdoorWordsWithoutAPathReadTheBootIdentity) {
    // Only the main-panel path reads the boot identity, and only it reports
    // failures on standard error.
    ASSERT_TRUE(set_boot_id("not-a-boot-identity\n"));
    Outcome o = run({"--outdoor", "--node"});
    EXPECT_OUTCOME(o, 3, fail_line("boot_identity", 3, EINVAL));
}

TEST_F(SpineTest, OutdoorThenDaemonWordsTakeTheMainPanelPath) {
    ASSERT_TRUE(set_boot_id("not-a-boot-identity\n"));
    Outcome o = run({"--outdoor", "--daemon", kNodePath});
    EXPECT_OUTCOME(o, 3, fail_line("boot_identity", 3, EINVAL));

    ASSERT_TRUE(set_boot_id(kDefaultBootId));
    o = run({"--outdoor", "--daemon", kNodePath});
    EXPECT_OUTCOME(o, 2, "");
    EXPECT_FALSE(path_exists(kOutdoorLock));
}

TEST_F(SpineTest, OutdoorFormAsNonRootExitsTwoWithoutALine) {
    ASSERT_NE(add_node(), nullptr);
    Outcome o = run_as_system({"--outdoor", "--node", kNodePath});
    EXPECT_OUTCOME(o, 2, "");
    EXPECT_FALSE(path_exists(kOutdoorLock));
}

TEST_F(SpineTest, RecoverAsNonRootFailsAtTheRootStep) {
    Outcome o = run_as_system({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
    EXPECT_FALSE(path_exists(kMainPanelLock));
}

TEST_F(SpineTest, DaemonFormAsNonRootFailsAtTheRootStep) {
    ASSERT_NE(add_node(), nullptr);
    Outcome o = run_as_system({"--daemon", "--node", kNodePath});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
}

TEST_F(SpineTest, EveryMainPanelCommandLineRestoresPermissionsBeforeBeingJudged) {
    // A leftover permission record that cannot be applied stops every
    // main-panel start, whatever follows on the command line.
    ASSERT_TRUE(write_file(kPermissionRecord, "not a record\n", 0600));
    const std::vector<std::vector<std::string>> lines = {
        {}, {"--recover"}, {"--recover", "x"}, {"--outdoor", "--node"}, {"--daemon", "--node", kNodePath}};
    for (const auto& args : lines) {
        SCOPED_TRACE(testing::PrintToString(args));
        Outcome o = run(args);
        EXPECT_OUTCOME(o, 3, fail_line("restore_permissions", 3, EINVAL));
    }
    EXPECT_EQ(read_file(kPermissionRecord), "not a record\n") << "a record that cannot be applied stays";
}

// ---- the private directory ----

struct DirCase {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    bool passes;
};

TEST_F(SpineTest, PrivateDirectoryPolicy) {
    const DirCase cases[] = {
        {0700, 0, 0, true},
        {01700, 0, 0, true},
        {02700, 0, 0, true},
        {0500, 0, 0, true},
        {0700, 0, 1000, true},  // the group owner is not looked at
        {0750, 0, 0, false},
        {0770, 0, 0, false},
        {0701, 0, 0, false},
        {0704, 0, 0, false},
        {0710, 0, 0, false},
        {0700, 1000, 0, false},
        {0700, 1000, 1000, false},
    };
    for (const DirCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode 0" << std::oct << c.mode << std::dec << " owner " << c.uid << ":"
                                        << c.gid);
        ASSERT_TRUE(make_private_dir(c.mode, c.uid, c.gid));
        Outcome o = run({"--recover"});
        if (c.passes) {
            EXPECT_OUTCOME(o, 0, "");
        } else {
            EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
        }
    }
}

TEST_F(SpineTest, MissingPrivateDirectoryFails) {
    ASSERT_TRUE(remove_private_dir());
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 2, fail_line("root_private_lock", 2, ENOENT));
    EXPECT_FALSE(path_exists(kPrivateDir)) << "the daemon never creates the private directory";
}

TEST_F(SpineTest, PrivateDirectoryThatIsAFileFails) {
    ASSERT_TRUE(remove_private_dir());
    ASSERT_TRUE(write_file(kPrivateDir, "", 0600));
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
}

TEST_F(SpineTest, SymlinkToASoundDirectoryPasses) {
    ASSERT_TRUE(remove_private_dir());
    ASSERT_EQ(mkdir("/data/adb/workspace-elsewhere", 0700), 0);
    ASSERT_EQ(symlink("/data/adb/workspace-elsewhere", kPrivateDir), 0);
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 0, "");
    EXPECT_TRUE(path_exists("/data/adb/workspace-elsewhere/main-panel.lock"));
}

TEST_F(SpineTest, SymlinkToAnOpenDirectoryFails) {
    ASSERT_TRUE(remove_private_dir());
    ASSERT_EQ(mkdir("/data/adb/workspace-elsewhere", 0700), 0);
    ASSERT_EQ(chmod("/data/adb/workspace-elsewhere", 0755), 0);
    ASSERT_EQ(symlink("/data/adb/workspace-elsewhere", kPrivateDir), 0);
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
}

// ---- the main-panel lock ----

TEST_F(SpineTest, PreexistingRootOnlyLockFileIsReused) {
    ASSERT_TRUE(write_file(kMainPanelLock, "", 0600));
    auto before = lstat_path(kMainPanelLock);
    Outcome o = run({"--recover"});
    EXPECT_EQ(o.code, 0) << o;
    auto after = lstat_path(kMainPanelLock);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->st_ino, before->st_ino);
}

TEST_F(SpineTest, LockFileWithGroupOrOtherBitsFails) {
    ASSERT_TRUE(write_file(kMainPanelLock, "", 0644));
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
    EXPECT_EQ(file_mode(kMainPanelLock), 0644) << "the daemon does not repair the lock file";
}

TEST_F(SpineTest, LockFileOwnedByAnotherUserFails) {
    ASSERT_TRUE(write_file(kMainPanelLock, "", 0600));
    ASSERT_EQ(chown(kMainPanelLock, 1000, 1000), 0);
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
}

TEST_F(SpineTest, SymlinkInPlaceOfTheLockFails) {
    const std::string target = std::string(kPrivateDir) + "/elsewhere.lock";
    ASSERT_TRUE(write_file(target, "", 0600));
    ASSERT_EQ(symlink(target.c_str(), kMainPanelLock), 0);
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 2, fail_line("root_private_lock", 2, ELOOP));
}

TEST_F(SpineTest, DirectoryInPlaceOfTheLockFails) {
    ASSERT_EQ(mkdir(kMainPanelLock, 0700), 0);
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
}

// A lock that stays busy fails the start once the bounded wait is over.
TEST_F(SpineTest, LockHeldByAnotherProcessFailsAfterABriefWait) {
    int fd = open(kMainPanelLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    Outcome o = run({"--recover"});
    EXPECT_OUTCOME(o, 2, fail_line("root_private_lock", 2, EWOULDBLOCK));
    o = run({});
    EXPECT_EQ(o.code, 2) << o;
    EXPECT_EQ(o.err, fail_line("root_private_lock", 2, EWOULDBLOCK)) << "the lock comes before the judgment";

    ASSERT_EQ(flock(fd, LOCK_UN), 0);
    o = run({"--recover"});
    EXPECT_EQ(o.code, 0) << o;
    close(fd);
}

// Whether pid has path open (in the daemon, the lock file is opened just
// before it is locked).
bool has_open(pid_t pid, const std::string& path) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) return true;
    }
    return false;
}

// Outdoor mode holds the main-panel lock for an instant at every turn: a
// start that meets such an instant waits it out instead of failing.
TEST_F(SpineTest, LockHeldForAMomentDoesNotRefuseTheStart) {
    ASSERT_NE(add_node(), nullptr);
    int fd = open(kMainPanelLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    Daemon d;
    ASSERT_TRUE(d.start({"--daemon", "--node", kNodePath}));
    // Released a moment after the start has reached the lock.
    EXPECT_TRUE(wait_until([&] { return has_open(d.pid(), kMainPanelLock) || !d.running(); }, 20s, 1ms));
    usleep(50000);
    ASSERT_EQ(flock(fd, LOCK_UN), 0);
    close(fd);
    std::string why;
    ASSERT_TRUE(wait_ready(d, &why)) << why;
    expect_clean_stop(d);
}

TEST_F(SpineTest, OutdoorLockDoesNotBlockTheMainPanelPath) {
    int fd = open(kOutdoorLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    Outcome o = run({"--recover"});
    EXPECT_EQ(o.code, 0) << o;
    close(fd);
}

TEST_F(SpineTest, SecondDaemonFailsWhileTheFirstHoldsTheLock) {
    ASSERT_NE(add_node(), nullptr);
    Daemon* first = start_daemon();
    ASSERT_NE(first, nullptr);

    Outcome second = run({"--daemon", "--node", kNodePath});
    EXPECT_OUTCOME(second, 2, fail_line("root_private_lock", 2, EWOULDBLOCK));
    Outcome recover = run({"--recover"});
    EXPECT_OUTCOME(recover, 2, fail_line("root_private_lock", 2, EWOULDBLOCK));
    EXPECT_TRUE(first->running()) << "the first daemon is unaffected";

    expect_clean_stop(*first);
    Outcome after = run({"--recover"});
    EXPECT_EQ(after.code, 0) << "the lock dies with its holder: " << after;
}

// ---- the boot identity ----

TEST_F(SpineTest, AcceptedBootIdentities) {
    const std::vector<std::string> accepted = {
        std::string(kBootId) + "\n",
        std::string(kBootId) + "\r\n",
        std::string(kBootId),
        std::string(kBootId) + "\n\r\n\r",
        "0123ABCD-4567-89AB-CDEF-0123456789AB\n",
        "0123AbCd-4567-89aB-cDeF-0123456789aB\n",
        // Only the first 39 bytes are read; line ends beyond them do not
        // matter.
        std::string(kBootId) + "\n\n\n\n\n\n\n\n\n\n",
    };
    for (const std::string& id : accepted) {
        SCOPED_TRACE(testing::PrintToString(id));
        ASSERT_TRUE(set_boot_id(id));
        Outcome o = run({"--recover"});
        EXPECT_OUTCOME(o, 0, "");
    }
}

TEST_F(SpineTest, MalformedBootIdentitiesFailWithInvalidArgument) {
    const std::string valid = kBootId;
    std::string dash_moved = valid;
    dash_moved[8] = 'a';
    dash_moved[9] = '-';
    std::string not_hex = valid;
    not_hex[0] = 'g';
    std::string dash_as_hex = valid;
    dash_as_hex[13] = '0';
    const std::vector<std::string> refused = {
        valid + "0\n",            // 37 characters
        valid.substr(0, 35) + "\n",  // 35 characters
        dash_moved + "\n",
        not_hex + "\n",
        dash_as_hex + "\n",
        " " + valid + "\n",       // leading blank
        valid + " \n",            // trailing blank is not a line end
        valid + "\n" + "ab",      // text after the line end, within 39 bytes
        "\n",
    };
    for (const std::string& id : refused) {
        SCOPED_TRACE(testing::PrintToString(id));
        ASSERT_TRUE(set_boot_id(id));
        Outcome o = run({"--recover"});
        EXPECT_OUTCOME(o, 3, fail_line("boot_identity", 3, EINVAL));
    }
}

TEST_F(SpineTest, EmptyBootIdentityFails) {
    ASSERT_TRUE(set_boot_id(""));
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "boot_identity", 3);
}

TEST_F(SpineTest, BootIdentityIsReadAfterTheLock) {
    ASSERT_TRUE(set_boot_id(""));
    ASSERT_TRUE(make_private_dir(0750));
    Outcome o = run({"--recover"});
    EXPECT_FAIL_PREFIX(o, "root_private_lock", 2);
}

// ---- the app-freezer escape (reached after the node capture) ----

TEST_F(SpineTest, NoFreezerTargetsStartUpReachesReadiness) {
    ASSERT_NE(add_node(), nullptr);
    std::string ready;
    Daemon* d = start_daemon(&ready);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ready, "NATIVE_READY build=raw07-mirelodge pid=" + std::to_string(d->pid()) +
                         " maximum=255 path=" + kNodePath + " real=" + kRealNodePath);
    EXPECT_EQ(d->line_texts(), std::vector<std::string>{ready}) << "the readiness line is the only line";
    EXPECT_TRUE(control_socket_listening()) << "the socket exists before the readiness line";
    for (auto t : {FreezerTarget::root_cgroup, FreezerTarget::uid0_cgroup, FreezerTarget::dev_freezer,
                   FreezerTarget::freezer_cgroup}) {
        EXPECT_FALSE(path_exists(freezer_target_path(t))) << "the escape creates nothing";
    }
    expect_clean_stop(*d);
}

TEST_F(SpineTest, RefusedSetsidIsNoFailure) {
    // A process-group leader cannot start a session; main-panel mode goes
    // on without one.
    ASSERT_NE(add_node(), nullptr);
    Daemon* d = start_daemon(nullptr, {.group_leader = true});
    ASSERT_NE(d, nullptr);
    expect_clean_stop(*d);
}

TEST_F(SpineTest, FirstAcceptingTargetTakesThePidAndEndsTheEscape) {
    ASSERT_NE(add_node(), nullptr);
    ASSERT_TRUE(make_freezer_target(FreezerTarget::root_cgroup, FreezerStandIn::accepting));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::uid0_cgroup, FreezerStandIn::accepting));
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(freezer_target_content(FreezerTarget::root_cgroup), std::to_string(d->pid()));
    EXPECT_EQ(freezer_target_content(FreezerTarget::uid0_cgroup), "");
    expect_clean_stop(*d);
}

TEST_F(SpineTest, RefusingFirstTargetFallsThroughToTheSecond) {
    ASSERT_NE(add_node(), nullptr);
    ASSERT_TRUE(make_freezer_target(FreezerTarget::root_cgroup, FreezerStandIn::refusing_write));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::uid0_cgroup, FreezerStandIn::accepting));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::freezer_cgroup, FreezerStandIn::accepting));
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);
    // Decimal pid, no line feed.
    EXPECT_EQ(freezer_target_content(FreezerTarget::uid0_cgroup), std::to_string(d->pid()));
    EXPECT_EQ(freezer_target_content(FreezerTarget::freezer_cgroup), "");
    expect_clean_stop(*d);
}

TEST_F(SpineTest, MissingTargetsAreSkippedOnTheWayToAnAcceptingOne) {
    ASSERT_NE(add_node(), nullptr);
    ASSERT_TRUE(make_freezer_target(FreezerTarget::dev_freezer, FreezerStandIn::refusing_open));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::freezer_cgroup, FreezerStandIn::accepting));
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(freezer_target_content(FreezerTarget::freezer_cgroup), std::to_string(d->pid()));
    expect_clean_stop(*d);
}

TEST_F(SpineTest, FailuresReportTheLastErrno) {
    ASSERT_NE(add_node(), nullptr);
    ASSERT_TRUE(make_freezer_target(FreezerTarget::root_cgroup, FreezerStandIn::refusing_write));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::dev_freezer, FreezerStandIn::refusing_open));
    Outcome o = run({"--daemon", "--node", kNodePath});
    EXPECT_OUTCOME(o, 6, fail_line("escape_app_freezer", 6, EISDIR));
}

TEST_F(SpineTest, NodeIsCapturedBeforeTheFreezerEscape) {
    ASSERT_TRUE(make_freezer_target(FreezerTarget::root_cgroup, FreezerStandIn::refusing_write));
    Outcome o = run({"--daemon", "--node", kNodePath});  // no node exists
    EXPECT_OUTCOME(o, 4, fail_line("primary_node_identity", 4, EINVAL));
}

class FreezerRefusalTest : public SpineTest, public testing::WithParamInterface<FreezerTarget> {};

TEST_P(FreezerRefusalTest, OnlyTargetRefusingFailsTheStart) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(make_freezer_target(GetParam(), FreezerStandIn::refusing_write));
    Outcome o = run({"--daemon", "--node", kNodePath});
    EXPECT_OUTCOME(o, 6, fail_line("escape_app_freezer", 6, ENOSPC));
    EXPECT_EQ(node->writes_received(), 0) << "a failed start never writes the node";
    EXPECT_EQ(node->mode(), 0664u);
}

INSTANTIATE_TEST_SUITE_P(EachTarget, FreezerRefusalTest,
                         testing::Values(FreezerTarget::root_cgroup, FreezerTarget::uid0_cgroup,
                                         FreezerTarget::dev_freezer, FreezerTarget::freezer_cgroup),
                         [](const testing::TestParamInfo<FreezerTarget>& target) {
                             switch (target.param) {
                                 case FreezerTarget::root_cgroup: return "RootCgroup";
                                 case FreezerTarget::uid0_cgroup: return "Uid0Cgroup";
                                 case FreezerTarget::dev_freezer: return "DevFreezer";
                                 case FreezerTarget::freezer_cgroup: return "FreezerCgroup";
                             }
                             return "Unknown";
                         });

}  // namespace
}  // namespace sandbox
