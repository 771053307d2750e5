// The node code (path policy and identity, value read and verified write,
// write guard and permission recovery) and the main-panel lease reader,
// called in-process against the fake sysfs and the sandbox's /data. These
// are the places where the daemon touches real files, so the pure unit
// tests beside the modules cannot show that they hold.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mainpanel/lease.h"
#include "mainpanel/verified_write.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "node/permission_record.h"
#include "node/write_guard.h"
#include "process/state.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

// Hand-built device directories (plain tmpfs files) live under here; the
// capture only needs stat and realpath, so no FUSE server is needed.
const std::string kHandDevices = "/sys/devices/platform/hand-built/backlight";
// A boot identity of the right form that is not the sandbox's.
const std::string kOtherBoot = "ffffffff-eeee-dddd-cccc-bbbbbbbbbbbb";

// errno cleared, then call must return -1 with errno err; a macro, so that
// a failure names the test's own line.
#define EXPECT_FAILS_WITH(call, err) \
    do {                             \
        errno = 0;                   \
        EXPECT_EQ((call), -1);       \
        EXPECT_EQ(errno, (err));     \
    } while (0)

bool mkdir_p(const std::string& path) {
    size_t pos = 1;
    for (;;) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (pos == std::string::npos) return true;
        ++pos;
    }
}

// A device directory with regular brightness and max_brightness files.
bool make_device_dir(const std::string& dir) {
    return mkdir_p(dir) && write_file(dir + "/brightness", "100\n", 0664) &&
           write_file(dir + "/max_brightness", "255\n", 0444);
}

// /sys/class/<cls>/<name> -> target, replacing whatever is there in one
// step (a temporary link renamed over it), the way a class entry would be
// swapped under a running daemon.
bool point_class_link(const std::string& cls, const std::string& name, const std::string& target) {
    std::string dir = "/sys/class/" + cls;
    std::string link = dir + "/" + name;
    std::string tmp = dir + "/.relink-" + name;
    unlink(tmp.c_str());
    return mkdir_p(dir) && symlink(target.c_str(), tmp.c_str()) == 0 &&
           rename(tmp.c_str(), link.c_str()) == 0;
}

// 0 when uid/gid could open path for writing, else the open's errno.
int open_for_write_as(uid_t uid, const std::string& path) {
    return run_as(uid, uid, [&]() -> int {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return errno;
        close(fd);
        return 0;
    });
}

// Runs fn in a forked root child and returns its exit status, or -1 when
// it has not finished within a generous limit: a read that would block
// then fails the test instead of hanging it.
int guarded(const std::function<int()>& fn) { return run_as(0, 0, fn, std::chrono::seconds(10)); }

// Watches the permission record from another process while the test
// arms and releases the guard: every time the record is there, it must be
// complete. The child exits 1 at the first empty or unparseable record,
// 0 when told to stop.
class RecordWatcher {
  public:
    bool start() {
        int stop_pipe[2];
        if (pipe2(stop_pipe, O_CLOEXEC) != 0) return false;
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) {
            close(stop_pipe[0]);
            close(stop_pipe[1]);
            return false;
        }
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(126);
            close(stop_pipe[1]);
            _exit(watch(stop_pipe[0]));
        }
        close(stop_pipe[0]);
        stop_fd_ = stop_pipe[1];
        return true;
    }

    // The child's exit status, or -1 when it did not end.
    int stop() {
        if (pid_ <= 0) return -1;
        close(stop_fd_);
        stop_fd_ = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        for (;;) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    ~RecordWatcher() {
        if (pid_ > 0) stop();
    }

  private:
    static int watch(int stop_fd) {
        for (;;) {
            pollfd p = {stop_fd, POLLIN, 0};
            if (poll(&p, 1, 0) != 0) return 0;  // parent closed the pipe (or died)
            int fd = open(kPermissionRecord, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) continue;
            char text[PERMISSION_RECORD_SIZE] = {};
            ssize_t n = read(fd, text, sizeof text - 1);
            close(fd);
            if (n < 1) return 1;
            permission_record rec;
            if (parse_permission_record(text, &rec) != 0) return 1;
        }
    }

    pid_t pid_ = -1;
    int stop_fd_ = -1;
};

class NodeAccessTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        reset_daemon_state(&s_);
        boot_ = boot_id();
        while (!boot_.empty() && (boot_.back() == '\n' || boot_.back() == '\r')) boot_.pop_back();
        ASSERT_EQ(boot_.size(), (size_t)BOOT_ID_LENGTH);
        snprintf(s_.process.boot_id, sizeof s_.process.boot_id, "%s", boot_.c_str());
        s_.node.maximum = 255;
    }

    void TearDown() override {
        // A held descriptor on a fake node would keep its FUSE mount busy.
        if (s_.guard.held_fd >= 0) release();
        if (s_.guard.held_fd >= 0) close(s_.guard.held_fd);
        reset_daemon_state(&s_);
        SandboxTest::TearDown();
    }

    // A default fake node (0664, value 100, max 255), captured.
    FakeNode* captured_node(const FakeNodeOptions& options = {}) {
        FakeNode* node = add_node(options);
        if (node == nullptr) return nullptr;
        if (capture(node->brightness_path().c_str()) != 0) {
            ADD_FAILURE() << "capture_node: " << strerror(errno);
            return nullptr;
        }
        return node;
    }

    // The version 2 record that arming would write for path as it is now.
    std::string record_for(const std::string& path, unsigned mode, const std::string& boot) {
        struct stat st;
        char real[PATH_MAX];
        if (stat(path.c_str(), &st) != 0 || realpath(path.c_str(), real) == nullptr) {
            ADD_FAILURE() << "cannot resolve " << path;
            return "";
        }
        return v2_record(mode, st.st_dev, st.st_ino, boot, path, real);
    }

    // The daemon holds session "S" for kLeasePid; the lease the system user
    // writes names lease_session and lease_pid. True when the lease was
    // written.
    bool hold_with_lease(const std::string& lease_session, int lease_pid, int active, int target) {
        snprintf(s_.hold.session, sizeof s_.hold.session, "%s", "S");
        s_.hold.lease_pid = kLeasePid;
        s_.hold.armed = 1;
        return write_lease(lease_session, lease_pid, active, target) == 0;
    }

    // A captured default node, with the daemon holding a lease as
    // hold_with_lease() writes it. Null (with a failure) otherwise.
    FakeNode* held_node(const std::string& lease_session, int lease_pid, int active, int target) {
        FakeNode* node = captured_node();
        if (node != nullptr && !hold_with_lease(lease_session, lease_pid, active, target)) {
            ADD_FAILURE() << "could not write the lease";
            return nullptr;
        }
        return node;
    }

    int write_lease(const std::string& session, int pid, int active, int target, mode_t mode = 0600) {
        return write_main_panel_lease(session, pid, monotonic_ms() + 5000, active, target, mode);
    }

    // The node code, on the fixture's own state record.
    int capture(const std::string& path) { return capture_node(&s_.node, path.c_str()); }
    int identity_ok() { return node_identity_ok(&s_.node); }
    int open_for_write() { return open_node_for_write(&s_.node); }
    int arm() { return arm_write_guard(&s_.guard, &s_.node, s_.process.boot_id); }
    int release() { return release_write_guard(&s_.guard, s_.process.boot_id); }
    int restore() { return restore_permissions(s_.process.boot_id); }
    int vwrite(int value) { return verified_write(&s_, value); }

    // Nothing was written, no record made, and last_error is err.
    void expect_nothing_written(FakeNode& node, int err) {
        EXPECT_EQ(s_.counters.last_error, err);
        EXPECT_EQ(s_.counters.write_attempts, 0);
        EXPECT_EQ(node.writes_received(), 0);
        EXPECT_FALSE(path_exists(kPermissionRecord));
    }

    static constexpr int kLeasePid = 4242;
    std::string boot_;
    daemon_state s_;
};

// ---------------------------------------------------------------- capture

TEST_F(NodeAccessTest, CaptureRecordsPathIdentityAndSibling) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(capture(node->brightness_path().c_str()), 0) << strerror(errno);
    EXPECT_STREQ(s_.node.node_path, kNodePath);
    EXPECT_STREQ(s_.node.canonical_path, node->real_brightness_path().c_str());
    EXPECT_EQ(std::string(s_.node.canonical_path).rfind("/sys/devices/", 0), 0u);
    auto st = stat_path(node->brightness_path());
    ASSERT_TRUE(st);
    EXPECT_EQ(s_.node.node_dev, (uint64_t)st->st_dev);
    EXPECT_EQ(s_.node.node_ino, (uint64_t)st->st_ino);
    EXPECT_EQ(s_.node.node_ino, node->current_inode());
    EXPECT_STREQ(s_.node.max_path, "/sys/class/backlight/panel0-backlight/max_brightness");
    EXPECT_EQ(read_sysfs_value(s_.node.max_path), 255);
}

TEST_F(NodeAccessTest, CaptureRefusesRealPathsItCannotTrust) {
    // All look like panels. The first two do not resolve under
    // /sys/devices/ (the second only shares a prefix without the slash);
    // the others hold bytes that would split the record's field or break
    // the JSON reply they are printed into.
    const std::vector<std::string> refused = {
        "/data/evil-panel",
        "/sys/devices-evil/panel",
        "/sys/devices/platform/hand built/panel",
        "/sys/devices/platform/hand\"quoted/panel",
        "/sys/devices/platform/hand\\slashed/panel",
        "/sys/devices/platform/hand\ttab/panel",
    };
    for (const std::string& dir : refused) {
        SCOPED_TRACE(dir);
        ASSERT_TRUE(make_device_dir(dir));
        ASSERT_TRUE(point_class_link("backlight", "evil", dir));
        EXPECT_FAILS_WITH(capture("/sys/class/backlight/evil/brightness"), EINVAL);
    }
}

TEST_F(NodeAccessTest, CaptureAcceptsHandBuiltDevice) {
    // The control for the refusals below: the same kind of tree, sound.
    const std::string dev = kHandDevices + "/handpanel";
    ASSERT_TRUE(make_device_dir(dev));
    ASSERT_TRUE(point_class_link("backlight", "handpanel", dev));
    ASSERT_EQ(capture("/sys/class/backlight/handpanel/brightness"), 0) << strerror(errno);
    EXPECT_EQ(std::string(s_.node.canonical_path), dev + "/brightness");
    EXPECT_STREQ(s_.node.max_path, "/sys/class/backlight/handpanel/max_brightness");
    EXPECT_TRUE(identity_ok());
}

TEST_F(NodeAccessTest, CaptureRefusesMaxBrightnessFromAnotherDirectory) {
    const std::string dev = kHandDevices + "/handpanel";
    const std::string other = kHandDevices + "/handother";
    ASSERT_TRUE(make_device_dir(dev));
    ASSERT_TRUE(make_device_dir(other));
    ASSERT_EQ(unlink((dev + "/max_brightness").c_str()), 0);
    ASSERT_EQ(symlink((other + "/max_brightness").c_str(), (dev + "/max_brightness").c_str()), 0);
    ASSERT_TRUE(point_class_link("backlight", "handpanel", dev));
    EXPECT_FAILS_WITH(capture("/sys/class/backlight/handpanel/brightness"), EINVAL);
}

TEST_F(NodeAccessTest, CaptureRefusesNodeResolvingIntoAnotherDirectoryThanItsSibling) {
    // The mirror case: max_brightness is the device's own, the brightness
    // file is a link into another device.
    const std::string dev = kHandDevices + "/handpanel";
    const std::string other = kHandDevices + "/handother";
    ASSERT_TRUE(make_device_dir(dev));
    ASSERT_TRUE(make_device_dir(other));
    ASSERT_EQ(unlink((dev + "/brightness").c_str()), 0);
    ASSERT_EQ(symlink("../handother/brightness", (dev + "/brightness").c_str()), 0);
    ASSERT_TRUE(point_class_link("backlight", "handpanel", dev));
    EXPECT_FAILS_WITH(capture("/sys/class/backlight/handpanel/brightness"), EINVAL);
}

TEST_F(NodeAccessTest, CaptureRefusesNamesThePolicyRefuses) {
    // Real, resolvable devices: only the name is wrong.
    struct Case {
        std::string cls, name;
    };
    const std::vector<Case> cases = {
        {"backlight", "panel1-backlight"},  // a second panel
        {"backlight", "secondary_panel"},   // deny word
        {"leds", "white"},                  // not a listed LED panel name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cls + "/" + c.name);
        const std::string dev = "/sys/devices/platform/hand-built/" + c.cls + "/" + c.name;
        ASSERT_TRUE(make_device_dir(dev));
        ASSERT_TRUE(point_class_link(c.cls, c.name, dev));
        const std::string path = "/sys/class/" + c.cls + "/" + c.name + "/brightness";
        ASSERT_TRUE(stat_path(path));
        EXPECT_FAILS_WITH(capture(path.c_str()), EINVAL);
        EXPECT_STREQ(s_.node.node_path, "") << "a refused path is never stored";
    }
}

TEST_F(NodeAccessTest, CaptureRefusesMissingNode) {
    errno = 0;
    EXPECT_EQ(capture(kNodePath), -1);
    EXPECT_EQ(errno, EINVAL) << "a failed realpath is reported as EINVAL, not ENOENT";
}

// The policy allows one device name of at most 96 bytes between a fixed
// prefix and "/brightness", so an accepted node path is at most 128 bytes
// and its max_brightness sibling at most 132: the 255-byte limit of the
// sibling path (ENAMETOOLONG) cannot be reached through capture_node.
// This pins the longest accepted case and the first refused one.
TEST_F(NodeAccessTest, LongestAcceptedNameFitsTheSiblingPath) {
    const std::string longest(NODE_NAME_MAX, 'x');
    const std::string dev = kHandDevices + "/" + longest;
    ASSERT_TRUE(make_device_dir(dev));
    ASSERT_TRUE(point_class_link("backlight", longest, dev));
    const std::string path = "/sys/class/backlight/" + longest + "/brightness";
    ASSERT_EQ(path.size(), 128u);
    ASSERT_EQ(capture(path.c_str()), 0) << strerror(errno);
    EXPECT_EQ(std::string(s_.node.max_path), "/sys/class/backlight/" + longest + "/max_brightness");
    EXPECT_EQ(strlen(s_.node.max_path), 132u);

    const std::string too_long(NODE_NAME_MAX + 1, 'x');
    const std::string dev2 = kHandDevices + "/" + too_long;
    ASSERT_TRUE(make_device_dir(dev2));
    ASSERT_TRUE(point_class_link("backlight", too_long, dev2));
    const std::string path2 = "/sys/class/backlight/" + too_long + "/brightness";
    EXPECT_FAILS_WITH(capture(path2.c_str()), EINVAL);
}

// ------------------------------------------------------ identity and open

TEST_F(NodeAccessTest, IdentityHoldsAfterCaptureAndOpenGivesTheNode) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(identity_ok());
    int fd = open_for_write();
    ASSERT_GE(fd, 0) << strerror(errno);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ((uint64_t)st.st_ino, s_.node.node_ino);
    EXPECT_EQ(write(fd, "42", 2), 2);
    close(fd);
    EXPECT_EQ(node->value(), 42);
}

TEST_F(NodeAccessTest, ReplacedInodeBreaksIdentity) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    node->replace_inode();
    EXPECT_FALSE(identity_ok());
    EXPECT_FAILS_WITH(open_for_write(), ESTALE);
    EXPECT_EQ(node->writes_received(), 0);
}

TEST_F(NodeAccessTest, ClassLinkRepointedToAnotherDeviceBreaksIdentity) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    FakeNodeOptions twin;
    twin.class_link = false;
    twin.device_parent = "/sys/devices/platform/veltaris-twin";
    FakeNode* other = add_node(twin);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(point_class_link("backlight", "panel0-backlight", other->device_dir()));
    ASSERT_EQ(read_file(kNodePath), "100\n") << "the path works, on the other device";

    EXPECT_FALSE(identity_ok());
    EXPECT_FAILS_WITH(open_for_write(), ESTALE);
    EXPECT_EQ(node->writes_received(), 0);
    EXPECT_EQ(other->writes_received(), 0);
}

TEST_F(NodeAccessTest, SameInodeReachedThroughAnotherRealPathBreaksIdentity) {
    // A bind mount shows the very same device and inode under another real
    // path: only the canonical-path comparison can tell.
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    const std::string alias = "/sys/devices/platform/veltaris-alias/backlight/panel0-backlight";
    ASSERT_TRUE(mkdir_p(alias));
    ASSERT_EQ(mount(node->device_dir().c_str(), alias.c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    ASSERT_TRUE(point_class_link("backlight", "panel0-backlight", alias));
    auto st = stat_path(kNodePath);
    ASSERT_TRUE(st);
    EXPECT_EQ((uint64_t)st->st_dev, s_.node.node_dev);
    EXPECT_EQ((uint64_t)st->st_ino, s_.node.node_ino);

    EXPECT_FALSE(identity_ok());
    EXPECT_FAILS_WITH(open_for_write(), ESTALE);
    EXPECT_EQ(node->writes_received(), 0);
    umount2(alias.c_str(), MNT_DETACH);
}

TEST_F(NodeAccessTest, SymlinkAsLastComponentIsNotOpened) {
    // Captured as it is (the identity follows the link), but the open never
    // follows a final link.
    const std::string dev = kHandDevices + "/looppanel";
    ASSERT_TRUE(make_device_dir(dev));
    ASSERT_EQ(rename((dev + "/brightness").c_str(), (dev + "/real-brightness").c_str()), 0);
    ASSERT_EQ(symlink("real-brightness", (dev + "/brightness").c_str()), 0);
    ASSERT_TRUE(point_class_link("backlight", "looppanel", dev));
    ASSERT_EQ(capture("/sys/class/backlight/looppanel/brightness"), 0) << strerror(errno);
    EXPECT_EQ(std::string(s_.node.canonical_path), dev + "/real-brightness");
    EXPECT_TRUE(identity_ok());
    EXPECT_FAILS_WITH(open_for_write(), ELOOP);
    EXPECT_EQ(read_file(dev + "/real-brightness"), "100\n");
}

// ------------------------------------------------------------ write guard

TEST_F(NodeAccessTest, ArmingRecordsBitsAndBindsOtherWriters) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    ASSERT_EQ(open_for_write_as(kSystemUid, path), 0) << "the system user may write at 0664";
    const std::string expected = record_for(path, 0664, boot_);

    ASSERT_EQ(arm(), 0) << strerror(errno);
    EXPECT_GE(s_.guard.held_fd, 0);
    EXPECT_EQ(s_.guard.saved_mode, 0664);
    EXPECT_EQ(node->mode(), 0444u);
    auto rec_st = lstat_path(kPermissionRecord);
    ASSERT_TRUE(rec_st);
    EXPECT_TRUE(S_ISREG(rec_st->st_mode));
    EXPECT_EQ(rec_st->st_mode & 07777, 0600u);
    EXPECT_EQ(rec_st->st_uid, 0u);
    EXPECT_EQ(read_file(kPermissionRecord), expected);
    EXPECT_EQ(expected, "v2\n664\n" + std::to_string(s_.node.node_dev) + " " +
                            std::to_string(node->current_inode()) + "\n" + boot_ + "\n" +
                            kNodePath + "\n" + node->real_brightness_path() + "\n");
    EXPECT_FALSE(path_exists(kPermissionRecordTmp)) << "the temporary name is gone once linked";

    EXPECT_EQ(open_for_write_as(kSystemUid, path), EACCES);
    // The guard's own descriptor still writes.
    ASSERT_EQ(lseek(s_.guard.held_fd, 0, SEEK_SET), 0);
    EXPECT_EQ(write(s_.guard.held_fd, "77", 2), 2);
    EXPECT_EQ(node->value(), 77);

    // Arming again changes nothing.
    const int held = s_.guard.held_fd;
    const int chmods = node->chmods_received();
    EXPECT_EQ(arm(), 0);
    EXPECT_EQ(s_.guard.held_fd, held);
    EXPECT_EQ(s_.guard.saved_mode, 0664);
    EXPECT_EQ(node->chmods_received(), chmods);
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(read_file(kPermissionRecord), expected);

    EXPECT_EQ(release(), 0) << strerror(errno);
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_EQ(s_.guard.held_fd, -1);
    EXPECT_EQ(s_.guard.saved_mode, -1);
    EXPECT_NE(fcntl(held, F_GETFD), 0) << "the held descriptor is closed";
    EXPECT_EQ(open_for_write_as(kSystemUid, path), 0);
}

TEST_F(NodeAccessTest, ArmedRecordParsesAndMatchesTheNode) {
    FakeNode* node = captured_node({.name = "panel0-backlight", .mode = 0644});
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(arm(), 0) << strerror(errno);
    auto text = read_file(kPermissionRecord);
    ASSERT_TRUE(text);
    permission_record rec;
    ASSERT_EQ(parse_permission_record(text->c_str(), &rec), 0);
    EXPECT_EQ(rec.mode, 0644u);
    EXPECT_EQ(rec.legacy, 0);
    EXPECT_STREQ(rec.boot_id, boot_.c_str());
    EXPECT_STREQ(rec.node_path, s_.node.node_path);
    EXPECT_STREQ(rec.canonical_path, s_.node.canonical_path);
    EXPECT_EQ(rec.dev, s_.node.node_dev);
    EXPECT_EQ(rec.ino, s_.node.node_ino);
    EXPECT_TRUE(record_matches_node(&rec, s_.node.canonical_path, s_.node.node_dev, s_.node.node_ino));
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(release(), 0);
    EXPECT_EQ(node->mode(), 0644u);
}

TEST_F(NodeAccessTest, RecordIsNeverSeenIncompleteWhileArmingAndReleasing) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    RecordWatcher watcher;
    ASSERT_TRUE(watcher.start());
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(arm(), 0) << "round " << i << ": " << strerror(errno);
        ASSERT_EQ(release(), 0) << "round " << i << ": " << strerror(errno);
    }
    EXPECT_EQ(watcher.stop(), 0) << "another process saw an empty or unparseable record";
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_FALSE(path_exists(kPermissionRecordTmp));
}

TEST_F(NodeAccessTest, LeftoverRecordBlocksArming) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    const std::string leftover = record_for(node->brightness_path(), 0640, boot_);
    ASSERT_TRUE(write_file(kPermissionRecord, leftover, 0600));
    // The record is looked for before any temporary file is made, so what
    // lies at a temporary name does not change the answer.
    ASSERT_EQ(mkdir(kPermissionRecordTmp, 0700), 0);
    EXPECT_FAILS_WITH(arm(), EEXIST);
    ASSERT_EQ(rmdir(kPermissionRecordTmp), 0);
    EXPECT_EQ(read_file(kPermissionRecord), leftover);
    EXPECT_EQ(s_.guard.held_fd, -1);
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_EQ(node->chmods_received(), 0);
    EXPECT_FALSE(path_exists(kPermissionRecordTmp));
}

TEST_F(NodeAccessTest, SymlinkAtRecordPathBlocksArmingAndIsNotFollowed) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    const std::string target = std::string(kPrivateDir) + "/planted-target";
    ASSERT_EQ(symlink(target.c_str(), kPermissionRecord), 0);
    EXPECT_FAILS_WITH(arm(), EEXIST);
    EXPECT_FALSE(path_exists(target)) << "nothing was written through the link";
    auto st = lstat_path(kPermissionRecord);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISLNK(st->st_mode));
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_EQ(s_.guard.held_fd, -1);
}

TEST_F(NodeAccessTest, LeftoverTemporaryFileDoesNotBlockArming) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    const std::string victim = std::string(kPrivateDir) + "/victim";
    ASSERT_TRUE(write_file(victim, "keep me\n", 0600));
    // A half-written record from a crash, a whole one, a planted link, and
    // a directory that cannot be removed.
    const std::vector<std::function<bool()>> leftovers = {
        [] { return write_file(kPermissionRecordTmp, "v2\n66", 0600); },
        [] { return write_file(kPermissionRecordTmp, "garbage \x01\x02 that parses as nothing", 0644); },
        [&] { return unlink(kPermissionRecordTmp) == 0 && symlink(victim.c_str(), kPermissionRecordTmp) == 0; },
        [] { return unlink(kPermissionRecordTmp) == 0 && mkdir(kPermissionRecordTmp, 0700) == 0; },
    };
    for (size_t i = 0; i < leftovers.size(); ++i) {
        SCOPED_TRACE("leftover " + std::to_string(i));
        ASSERT_TRUE(leftovers[i]());
        ASSERT_EQ(arm(), 0) << strerror(errno);
        EXPECT_EQ(node->mode(), 0444u);
        auto text = read_file(kPermissionRecord);
        ASSERT_TRUE(text);
        permission_record rec;
        EXPECT_EQ(parse_permission_record(text->c_str(), &rec), 0) << *text;
        EXPECT_EQ(rec.mode, 0664u);
        ASSERT_EQ(release(), 0) << strerror(errno);
        EXPECT_EQ(node->mode(), 0664u);
        EXPECT_FALSE(path_exists(kPermissionRecord));
    }
    EXPECT_EQ(read_file(victim), "keep me\n") << "the link's target is never written";
}

TEST_F(NodeAccessTest, ArmingAReplacedNodeFailsWithoutRecord) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    node->replace_inode();
    EXPECT_FAILS_WITH(arm(), ESTALE);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_EQ(node->chmods_received(), 0);
    EXPECT_EQ(s_.guard.held_fd, -1);
}

// ------------------------------------------------------- recovery outcomes

TEST_F(NodeAccessTest, RestoreWithoutRecordDoesNothing) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    errno = 0;
    EXPECT_EQ(restore(), 0);
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(NodeAccessTest, RestoreSameBootSameNodePutsBitsBack) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(write_file(kPermissionRecord, record_for(node->brightness_path(), 0664, boot_), 0600));
    EXPECT_EQ(restore(), 0) << strerror(errno);
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
}

TEST_F(NodeAccessTest, RestoreOtherBootDeletesRecordOnly) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(write_file(kPermissionRecord, record_for(node->brightness_path(), 0664, kOtherBoot), 0600));
    EXPECT_EQ(restore(), 0) << strerror(errno);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(NodeAccessTest, RestoreOtherInodeKeepsRecord) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    const std::string text = record_for(node->brightness_path(), 0664, boot_);
    ASSERT_TRUE(write_file(kPermissionRecord, text, 0600));
    node->replace_inode();
    EXPECT_FAILS_WITH(restore(), ESTALE);
    EXPECT_EQ(read_file(kPermissionRecord), text);
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(NodeAccessTest, RestoreLegacyRecordAppliesToTheFixedNode) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->brightness_path(), LEGACY_NODE_PATH);
    ASSERT_TRUE(write_file(kPermissionRecord, "644\n", 0600));
    EXPECT_EQ(restore(), 0) << strerror(errno);
    EXPECT_EQ(node->mode(), 0644u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
}

TEST_F(NodeAccessTest, RestoreLegacyRecordWithoutTheNodeKeepsRecord) {
    // Another panel exists, but not the one a legacy record names.
    FakeNode* node = add_node({.name = "lcd-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    ASSERT_TRUE(write_file(kPermissionRecord, "644\n", 0600));
    EXPECT_FAILS_WITH(restore(), ESTALE);
    EXPECT_EQ(read_file(kPermissionRecord), "644\n");
    EXPECT_EQ(node->chmods_received(), 0);
}

TEST_F(NodeAccessTest, RestoreRefusesMalformedRecordsAndKeepsThem) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    const std::string good = record_for(path, 0664, boot_);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const std::string real = node->real_brightness_path();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"legacy with trailing text", "644 x"},
        {"legacy not octal", "9\n"},
        {"v2 with text after the canonical path", good + "extra\n"},
        {"v2 missing the canonical path",
         "v2\n664\n" + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + "\n" + boot_ +
             "\n" + path + "\n"},
        {"v2 header only", "v2\n"},
        {"v2 boot identity of the wrong form", v2_record(0664, st.st_dev, st.st_ino, boot_.substr(1), path, real)},
        {"v2 node path the policy refuses",
         v2_record(0664, st.st_dev, st.st_ino, boot_, "/sys/class/backlight/panel1-backlight/brightness", real)},
        {"v2 canonical path outside /sys/devices/",
         v2_record(0664, st.st_dev, st.st_ino, boot_, path, "/data/panel/brightness")},
        {"v2 mode 1000", v2_record(01000, st.st_dev, st.st_ino, boot_, path, real)},
        {"legacy mode 1000", "1000\n"},
        {"empty", ""},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(write_file(kPermissionRecord, text, 0600));
        EXPECT_FAILS_WITH(restore(), EINVAL);
        EXPECT_EQ(read_file(kPermissionRecord), text);
        EXPECT_EQ(node->mode(), 0444u);
    }
    EXPECT_EQ(node->chmods_received(), 0);

    // The limit case of the mode: 777 is still a mode.
    ASSERT_TRUE(write_file(kPermissionRecord, record_for(path, 0777, boot_), 0600));
    EXPECT_EQ(restore(), 0) << strerror(errno);
    EXPECT_EQ(node->mode(), 0777u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
}

TEST_F(NodeAccessTest, RestoreRefusesRecordOf1199BytesOrMore) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    const std::string good = record_for(node->brightness_path(), 0664, boot_);
    ASSERT_LT(good.size(), 1198u);
    // Trailing blanks are allowed, so only the size can refuse these.
    for (size_t size : {size_t(1199), size_t(1200), size_t(4000)}) {
        SCOPED_TRACE(size);
        const std::string text = good + std::string(size - good.size(), ' ');
        ASSERT_TRUE(write_file(kPermissionRecord, text, 0600));
        EXPECT_FAILS_WITH(restore(), EINVAL);
        EXPECT_EQ(read_file(kPermissionRecord), text);
        EXPECT_EQ(node->mode(), 0444u);
    }
    const std::string fits = good + std::string(1198 - good.size(), ' ');
    ASSERT_TRUE(write_file(kPermissionRecord, fits, 0600));
    EXPECT_EQ(restore(), 0) << strerror(errno);
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
}

TEST_F(NodeAccessTest, RestoreRefusesUntrustedRecordFiles) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    const std::string good = record_for(node->brightness_path(), 0664, boot_);

    {
        SCOPED_TRACE("mode 0640");
        ASSERT_TRUE(write_file(kPermissionRecord, good, 0640));
        EXPECT_EQ(restore(), -1);
        EXPECT_EQ(read_file(kPermissionRecord), good);
        ASSERT_EQ(unlink(kPermissionRecord), 0);
    }
    {
        SCOPED_TRACE("owned by the system user");
        ASSERT_TRUE(write_file(kPermissionRecord, good, 0600));
        ASSERT_EQ(chown(kPermissionRecord, kSystemUid, kSystemUid), 0);
        EXPECT_EQ(restore(), -1);
        EXPECT_EQ(read_file(kPermissionRecord), good);
        ASSERT_EQ(unlink(kPermissionRecord), 0);
    }
    {
        SCOPED_TRACE("symbolic link to a sound record");
        const std::string target = std::string(kPrivateDir) + "/sound-record";
        ASSERT_TRUE(write_file(target, good, 0600));
        ASSERT_EQ(symlink(target.c_str(), kPermissionRecord), 0);
        EXPECT_FAILS_WITH(restore(), ELOOP);
        auto st = lstat_path(kPermissionRecord);
        ASSERT_TRUE(st);
        EXPECT_TRUE(S_ISLNK(st->st_mode));
        EXPECT_EQ(read_file(target), good);
        ASSERT_EQ(unlink(kPermissionRecord), 0);
    }
    {
        SCOPED_TRACE("a FIFO does not block the open");
        ASSERT_EQ(mkfifo(kPermissionRecord, 0600), 0);
        EXPECT_EQ(guarded([this] { return restore() == -1 ? 1 : 0; }), 1);
        auto st = lstat_path(kPermissionRecord);
        ASSERT_TRUE(st);
        EXPECT_TRUE(S_ISFIFO(st->st_mode));
        ASSERT_EQ(unlink(kPermissionRecord), 0);
    }
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(node->chmods_received(), 0);
}

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
    // the client pauses the hold, names another target or withdraws the
    // lease: the node must get its bits back and not be written.
    const std::string next = std::string(kSystemDir) + "/next-lease";
    const std::vector<std::pair<const char*, std::string>> changes = {
        {"paused", main_panel_lease_line("S", kLeasePid, sandbox::monotonic_ms() + 5000, 0, 150)},
        {"another target", main_panel_lease_line("S", kLeasePid, sandbox::monotonic_ms() + 5000, 1, 140)},
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
}  // namespace sandbox
