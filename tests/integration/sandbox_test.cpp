// The sandbox's own abilities, checked once here so that a failure in a
// daemon test points at the daemon and not at its surroundings.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "node/node_identity.h"
#include "node/node_value.h"
#include "process/environment.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

class SandboxSelfTest : public SandboxTest {};

TEST_F(SandboxSelfTest, DataTreeLooksLikeADevice) {
    auto data = stat_path("/data");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->st_uid, 1000u);
    EXPECT_EQ(data->st_mode & 07777, 0771u);

    auto adb = stat_path("/data/adb");
    ASSERT_TRUE(adb);
    EXPECT_EQ(adb->st_uid, 0u);
    EXPECT_EQ(adb->st_mode & 07777, 0700u);

    auto priv = lstat_path(kPrivateDir);
    ASSERT_TRUE(priv);
    EXPECT_TRUE(S_ISDIR(priv->st_mode));
    EXPECT_EQ(priv->st_uid, 0u);
    EXPECT_EQ(priv->st_mode & 07777, 0700u);

    auto system = stat_path(kSystemDir);
    ASSERT_TRUE(system);
    EXPECT_EQ(system->st_uid, 1000u);
    EXPECT_EQ(system->st_gid, 1000u);
    EXPECT_EQ(system->st_mode & 07777, 0771u);

    // Nothing from the machine's own /sys or /dev shows through.
    EXPECT_FALSE(path_exists("/sys/kernel"));
    EXPECT_FALSE(path_exists("/sys/fs/cgroup/cgroup.procs"));
    EXPECT_FALSE(path_exists("/sys/fs/cgroup/freezer"));
    EXPECT_TRUE(path_exists("/dev/null"));
    EXPECT_FALSE(path_exists("/dev/freezer"));
}

TEST_F(SandboxSelfTest, BootIdentityIsControlled) {
    EXPECT_EQ(read_file(kBootIdPath), kDefaultBootId);
    ASSERT_TRUE(set_boot_id("fedcba98-7654-3210-fedc-ba9876543210\n"));
    EXPECT_EQ(read_file(kBootIdPath), "fedcba98-7654-3210-fedc-ba9876543210\n");
    ASSERT_TRUE(set_boot_id(""));
    EXPECT_EQ(read_file(kBootIdPath), "");
}

class SandboxWithoutPrivateDir : public SandboxTest {
  protected:
    SandboxOptions sandbox_options() const override {
        SandboxOptions o;
        o.private_dir = false;
        return o;
    }
};

TEST_F(SandboxWithoutPrivateDir, PrivateDirIsOptional) {
    EXPECT_FALSE(path_exists(kPrivateDir));
    ASSERT_TRUE(make_private_dir(01700, 0, 0));
    EXPECT_EQ(file_mode(kPrivateDir), 01700);
    ASSERT_TRUE(make_private_dir(0750, 1000, 1000));
    EXPECT_EQ(file_mode(kPrivateDir), 0750);
    EXPECT_EQ(stat_path(kPrivateDir)->st_uid, 1000u);
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/x", "x"));
    ASSERT_TRUE(remove_private_dir());
    EXPECT_FALSE(path_exists(kPrivateDir));
}

TEST_F(SandboxSelfTest, FreezerStandIns) {
    for (auto t : {FreezerTarget::root_cgroup, FreezerTarget::uid0_cgroup, FreezerTarget::dev_freezer,
                   FreezerTarget::freezer_cgroup}) {
        EXPECT_FALSE(path_exists(freezer_target_path(t)));
    }
    ASSERT_TRUE(make_freezer_target(FreezerTarget::root_cgroup, FreezerStandIn::refusing_write));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::uid0_cgroup, FreezerStandIn::accepting));
    ASSERT_TRUE(make_freezer_target(FreezerTarget::dev_freezer, FreezerStandIn::refusing_open));

    int fd = open(freezer_target_path(FreezerTarget::root_cgroup), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "1", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
    EXPECT_EQ(freezer_target_content(FreezerTarget::root_cgroup), std::nullopt);

    fd = open(freezer_target_path(FreezerTarget::uid0_cgroup), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "1234", 4), 4);
    close(fd);
    EXPECT_EQ(freezer_target_content(FreezerTarget::uid0_cgroup), "1234");

    EXPECT_EQ(access(freezer_target_path(FreezerTarget::dev_freezer), F_OK), 0);
    EXPECT_EQ(open(freezer_target_path(FreezerTarget::dev_freezer), O_WRONLY | O_CLOEXEC), -1);
    EXPECT_EQ(errno, EISDIR);
}

TEST_F(SandboxSelfTest, RunAsAndWriteFileAs) {
    EXPECT_EQ(run_as(1000, 1000, [] { return getuid() == 1000 && geteuid() == 1000 && getegid() == 1000 ? 7 : 1; }),
              7);
    // The system user cannot enter the root-only directory.
    EXPECT_EQ(run_as(1000, 1000, [] { return access(kPrivateDir, X_OK) == 0 ? 0 : errno; }), EACCES);

    ASSERT_EQ(write_file_as(1000, 1000, kMainPanelLease, "hello\n"), 0);
    auto st = lstat_path(kMainPanelLease);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISREG(st->st_mode));
    EXPECT_EQ(st->st_uid, 1000u);
    EXPECT_EQ(st->st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(kMainPanelLease), "hello\n");
    // A rewrite replaces the inode, as a rename does.
    ASSERT_EQ(write_file_as(1000, 1000, kMainPanelLease, "again\n", 0640), 0);
    auto st2 = lstat_path(kMainPanelLease);
    ASSERT_TRUE(st2);
    EXPECT_NE(st2->st_ino, st->st_ino);
    EXPECT_EQ(st2->st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(kMainPanelLease), "again\n");
    // Only the final file is left behind.
    DIR* dir = opendir(kSystemDir);
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.' || (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)) {
            names.push_back(e->d_name);
        }
    }
    closedir(dir);
    EXPECT_EQ(names, std::vector<std::string>{MAIN_PANEL_LEASE_NAME});
    // The user's own permissions apply.
    EXPECT_EQ(write_file_as(1000, 1000, "/data/adb/nope", "x"), EACCES);
}

// A build tree may sit below a directory only root can enter (a checkout
// in root's own 0700 home): programs and the daemon run as another user
// from there all the same. A program that cannot be started says what
// could not be done and why, apart from its exit status.
TEST_F(SandboxSelfTest, OtherUsersRunProgramsFromARootOnlyTree) {
    const std::string dir = "/sandbox/root-only/bin";
    ASSERT_TRUE(mkdir_p(dir, 0700));
    auto id = read_file("/usr/bin/id");
    auto daemon = read_file(daemon_binary());
    ASSERT_TRUE(id && daemon);
    ASSERT_TRUE(write_file(dir + "/id", *id, 0755) && write_file(dir + "/veltarisd", *daemon, 0755));
    ProgramOptions system;
    system.uid = kSystemUid;
    system.gid = kSystemUid;
    ProgramResult r = run_program({dir + "/id", "-u"}, system);
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, "1000\n") << r;

    std::string saved = getenv("VELTARISD") ? getenv("VELTARISD") : "";
    setenv("VELTARISD", (dir + "/veltarisd").c_str(), 1);
    Daemon d;
    ASSERT_TRUE(d.start({"--version"}, {.uid = kSystemUid, .gid = kSystemUid, .capture_stdout = true}));
    saved.empty() ? unsetenv("VELTARISD") : setenv("VELTARISD", saved.c_str(), 1);
    EXPECT_EQ(d.wait_exit(20s), 0) << d.stderr_text();
    EXPECT_EQ(d.stdout_text().rfind("veltarisd ", 0), 0u) << d.stdout_text();

    r = run_program({"/sandbox/missing", "x"}, system);
    EXPECT_EQ(r.code, 127);
    EXPECT_EQ(r.launch_error, "cannot run /sandbox/missing as uid 1000: No such file or directory");
    std::string why;
    EXPECT_EQ(start_program({"/sandbox/missing"}, system, &why), -1);
    EXPECT_EQ(why, r.launch_error);
    system.cwd = "/sandbox/nowhere";
    r = run_program({"true"}, system);
    EXPECT_EQ(r.code, 126);
    EXPECT_EQ(r.launch_error, "cannot enter /sandbox/nowhere to run true: No such file or directory");
    // A program that ran and failed is no launch failure.
    r = run_program({"false"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.launch_error, "");
}

TEST_F(SandboxSelfTest, SystemServerStandIn) {
    pid_t pid = start_system_server();
    ASSERT_GT(pid, 0);
    auto cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    ASSERT_TRUE(cmdline);
    EXPECT_EQ(cmdline->substr(0, 14), std::string("system_server\0", 14));
    auto status = read_file("/proc/" + std::to_string(pid) + "/status");
    ASSERT_TRUE(status);
    EXPECT_NE(status->find("\nUid:\t1000\t1000\t1000\t1000"), std::string::npos);
    EXPECT_EQ(stop_process(pid), 128 + 9);
    EXPECT_FALSE(path_exists("/proc/" + std::to_string(pid)));
}

TEST_F(SandboxSelfTest, ControlClientTalksToAListener) {
    EXPECT_FALSE(control_socket_listening());
    EXPECT_EQ(send_request("STATUS"), std::nullopt);

    // A stand-in listener that answers each connection with the peer's uid
    // and the line it received.
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, kControlSocketName, strlen(kControlSocketName));
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), 28), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    EXPECT_TRUE(control_socket_listening());

    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (int i = 0; i < 2; ++i) {
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) _exit(1);
            ucred cred{};
            socklen_t len = sizeof cred;
            getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len);
            char line[256] = {};
            ssize_t n = read(c, line, sizeof line - 1);
            char reply[320];
            int m = snprintf(reply, sizeof reply, "uid=%u got=%.*s", cred.uid, (int)(n > 0 ? n : 0), line);
            if (write(c, reply, (size_t)m) != m) _exit(1);
            close(c);
        }
        _exit(0);
    }
    close(listener);
    EXPECT_EQ(send_request("STATUS"), "uid=0 got=STATUS\n");
    EXPECT_EQ(send_request("STOP abc\n", 1000), "uid=1000 got=STOP abc\n");
    EXPECT_EQ(stop_process(server, 0, 10s), 0);
}

// The node code links into the tests too, and works on the fake node
// in-process.
TEST_F(SandboxSelfTest, NodeCodeRunsInProcess) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    node_identity captured = {};
    ASSERT_EQ(capture_node(&captured, node->brightness_path().c_str()), 0) << strerror(errno);
    EXPECT_STREQ(captured.canonical_path, node->real_brightness_path().c_str());
    EXPECT_EQ(captured.node_ino, node->current_inode());
    EXPECT_EQ(read_sysfs_value(captured.max_path), 255);
    EXPECT_EQ(read_sysfs_value(captured.node_path), 100);
    EXPECT_EQ(node_identity_ok(&captured), 1);
    node->replace_inode();
    EXPECT_EQ(node_identity_ok(&captured), 0);
    EXPECT_EQ(open_node_for_write(&captured), -1);
    EXPECT_EQ(errno, ESTALE);
    char boot_id[BOOT_ID_SIZE];
    EXPECT_EQ(read_boot_identity(boot_id), 0);
    EXPECT_STREQ(boot_id, "0123abcd-4567-89ab-cdef-0123456789ab");
}

}  // namespace
}  // namespace sandbox
