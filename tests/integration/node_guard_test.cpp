// The write guard and the recovery of permissions, in-process: arming
// records the node's bits whole before taking them away, releasing gives
// them back, and a leftover record is applied, kept or refused.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "tests/integration/node_fixture.h"

namespace sandbox::node_access {
namespace {

// From here on, in this process, every openat asking for an unnamed file
// fails with err, as on a file system without them (EOPNOTSUPP) or on a
// kernel that predates them and took the flag for O_DIRECTORY (EISDIR).
bool refuse_unnamed_files(int err) {
    const unsigned unnamed = O_TMPFILE & ~O_DIRECTORY;
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, unnamed, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

bool drop_proc() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           umount2("/proc", MNT_DETACH) == 0 && access("/proc/self/fd", F_OK) != 0;
}

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

// Arming and releasing in a child without unnamed files or without /proc:
// the record then goes through a temporary name (a leftover of a crash
// there is replaced, a directory passed by), or is linked into place
// through its descriptor.
TEST_F(NodeAccessTest, RecordWithoutUnnamedFilesOrWithoutProc) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    const std::string second_name = std::string(kPermissionRecordTmp) + ".1";
    struct Case {
        const char* what;
        int unnamed_err;  // 0: unnamed files work
        bool without_proc;
        std::function<bool()> leftover;
    };
    const std::vector<Case> cases = {
        {"no unnamed files, a half-written leftover", EOPNOTSUPP, false,
         [] { return write_file(kPermissionRecordTmp, "v2\n66", 0600); }},
        {"flag taken for O_DIRECTORY, a leftover link", EISDIR, false,
         [] { return symlink("/data/nowhere", kPermissionRecordTmp) == 0; }},
        {"no unnamed files, a directory in the way", EOPNOTSUPP, false,
         [] { return mkdir(kPermissionRecordTmp, 0700) == 0; }},
        {"no /proc", 0, true, [] { return true; }},
        {"no /proc and no unnamed files", EOPNOTSUPP, true, [] { return true; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.leftover());
        auto left = lstat_path(kPermissionRecordTmp);
        const bool dir_left = left && S_ISDIR(left->st_mode);
        int rc = guarded([&] {
            if (c.without_proc && !drop_proc()) return 100;
            if (c.unnamed_err != 0 && !refuse_unnamed_files(c.unnamed_err)) return 101;
            if (arm() != 0) return 102;
            permission_record rec;
            auto text = read_file(kPermissionRecord);
            if (node->mode() != 0444u || !text || parse_permission_record(text->c_str(), &rec) != 0 ||
                rec.mode != 0664u) {
                return 103;
            }
            // The leftover went, unless it could not be removed; no name
            // of this arming stays behind.
            if (path_exists(kPermissionRecordTmp) != dir_left || path_exists(second_name)) return 104;
            if (release() != 0) return 105;
            return node->mode() == 0664u && !path_exists(kPermissionRecord) ? 0 : 106;
        });
        EXPECT_EQ(rc, 0);
        if (dir_left) rmdir(kPermissionRecordTmp);
        unlink(kPermissionRecordTmp);
    }
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

// The node replaced at each walk of its path in turn: whichever walk meets
// the new inode, nothing is opened for writing on it. The walk of the open
// itself is only caught by the check through the descriptor after it.
TEST_F(NodeAccessTest, NodeReplacedAtAnyWalkBeforeTheOpenIsNotOpened) {
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    int caught_after_open = 0;
    for (int skip = 0; skip < 6; ++skip) {
        ASSERT_EQ(capture(node->brightness_path()), 0);
        node->replace_inode_on_next(FakeNode::Event::lookup, skip);
        int fd = open_for_write();
        int err = errno;
        if (fd >= 0) close(fd);
        if (!node->fired()) {
            EXPECT_GE(fd, 0) << "skip " << skip;
            node->replace_inode_on_next(FakeNode::Event::none);
            break;
        }
        EXPECT_EQ(fd, -1) << "skip " << skip;
        EXPECT_EQ(err, ESTALE) << "skip " << skip;
        // Not the first walk: the identity check before the open passed.
        if (skip > 0) ++caught_after_open;
    }
    EXPECT_GE(caught_after_open, 1);
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

// The same for putting the bits back: a node replaced at any walk of its
// path gets no chmod, and its record is either dropped (the walk that
// judged the record met the new inode) or kept.
TEST_F(NodeAccessTest, RestoreNeverChmodsANodeReplacedAtAnyWalk) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    int kept = 0;
    for (int skip = 0; skip < 8; ++skip) {
        node->set_mode(0444);
        ASSERT_TRUE(write_file(kPermissionRecord, record_for(node->brightness_path(), 0664, boot_), 0600));
        node->reset_counters();
        node->replace_inode_on_next(FakeNode::Event::lookup, skip);
        errno = 0;
        int rc = restore();
        int err = errno;
        if (!node->fired()) {
            EXPECT_EQ(rc, 0) << "skip " << skip;
            EXPECT_EQ(node->mode(), 0664u);
            node->replace_inode_on_next(FakeNode::Event::none);
            break;
        }
        EXPECT_EQ(node->chmods_received(), 0) << "skip " << skip;
        if (rc == 0) {
            EXPECT_FALSE(path_exists(kPermissionRecord)) << "skip " << skip;
        } else {
            EXPECT_EQ(err, ESTALE) << "skip " << skip;
            EXPECT_TRUE(path_exists(kPermissionRecord)) << "skip " << skip;
            ++kept;
        }
        unlink(kPermissionRecord);
    }
    EXPECT_GE(kept, 1);
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

// A record of this boot whose inode is gone (the driver made the node
// afresh, or took it away) can never be applied: it is deleted. One whose
// inode may still be about is kept.
// A record is dropped only when its node was made afresh on the file
// system it was taken on with nothing mounted in the way. Wherever the
// recorded inode may live on (hidden by a mount, under another name, in
// another namespace's sysfs), or the mount table cannot be asked, the
// record stays and the restore fails with ESTALE.
TEST_F(NodeAccessTest, RestoreDropsARecordOnlyWhenItsInodeIsCertainlyGone) {
    FakeNode* node = add_node({.name = "panel0-backlight", .mode = 0444});
    FakeNode* other = add_node({.name = "lcd-backlight", .mode = 0444});
    ASSERT_NE(node, nullptr);
    ASSERT_NE(other, nullptr);
    const std::string path = node->brightness_path();
    const std::string real = node->real_brightness_path();
    auto st = stat_path(path);
    auto other_st = stat_path(other->brightness_path());
    ASSERT_TRUE(st && other_st);
    // A node on the sandbox's own /sys, and a device directory of the same
    // file system to bind over a directory on its way.
    const std::string hand = kHandDevices + "/hand0";
    const std::string hand_path = "/sys/class/backlight/hand0/brightness";
    const std::string hand_parent = kHandDevices.substr(0, kHandDevices.rfind('/'));
    const std::string beside = "/sys/devices/platform/beside";
    ASSERT_TRUE(make_device_dir(hand) && make_device_dir(beside + "/backlight/hand0") &&
                point_class_link("backlight", "hand0", hand));
    const std::string gone_path = "/sys/class/backlight/gone/brightness";
    const std::string gone_real = "/sys/devices/platform/veltaris-panel/backlight/gone/brightness";
    auto mounted = [](const std::string& source, const std::string& target, const char* type, unsigned long flags) {
        return [=] { return mount(source.c_str(), target.c_str(), type, flags, nullptr) == 0; };
    };
    auto unmount = [](const std::string& target) { return [=] { umount2(target.c_str(), MNT_DETACH); }; };
    auto made_afresh = [&] { return unlink((hand + "/brightness").c_str()) == 0 && make_device_dir(hand); };
    auto nothing = [] { return true; };
    struct Case {
        const char* what;
        std::string text;
        std::function<bool()> change;
        std::function<void()> undo;
        bool without_proc;
        bool dropped;
    };
    const std::vector<Case> cases = {
        {"the device renamed: nothing at either path, the inode lives on",
         v2_record(0664, st->st_dev, st->st_ino, boot_, gone_path, gone_real), nothing, [] {}, false, false},
        {"only the node path gone, the real path still leads to the inode",
         v2_record(0664, st->st_dev, st->st_ino, boot_, gone_path, real), nothing, [] {}, false, false},
        {"same inode, another canonical path", v2_record(0664, st->st_dev, st->st_ino, boot_, path, gone_real),
         nothing, [] {}, false, false},
        {"the path leads elsewhere, the recorded inode is still there",
         v2_record(0664, other_st->st_dev, other_st->st_ino, boot_, path, other->real_brightness_path()), nothing,
         [] {}, false, false},
        {"another device number, as another namespace's sysfs shows the same inode",
         v2_record(0664, st->st_dev + 1, st->st_ino, boot_, path, real), nothing, [] {}, false, false},
        {"a file system mounted over the device directory, a file at the node's name",
         record_for(path, 0664, boot_),
         [&] {
             return mount("none", node->device_dir().c_str(), "tmpfs", 0, nullptr) == 0 &&
                    write_file(real, "100\n", 0664);
         },
         unmount(node->device_dir()), false, false},
        {"a file system mounted over the device directory, nothing in it", record_for(path, 0664, boot_),
         mounted("none", node->device_dir(), "tmpfs", 0), unmount(node->device_dir()), false, false},
        {"a file of the same file system bound over the node", record_for(path, 0664, boot_),
         mounted(node->max_brightness_path(), real, nullptr, MS_BIND), unmount(real), false, false},
        {"a directory of the same file system bound over one on its way", record_for(hand_path, 0664, boot_),
         mounted(beside, hand_parent, nullptr, MS_BIND), unmount(hand_parent), false, false},
        {"the class entry points at another device of the same file system", record_for(hand_path, 0664, boot_),
         [&] { return point_class_link("backlight", "hand0", beside + "/backlight/hand0"); },
         [&] { point_class_link("backlight", "hand0", hand); }, false, false},
        {"made afresh, but no mount table to ask", record_for(hand_path, 0664, boot_), made_afresh, [] {}, true,
         false},
        {"made afresh on the same file system", record_for(hand_path, 0664, boot_), made_afresh, [] {}, false, true},
        // Last: it leaves the node with another inode.
        {"made afresh by the driver", record_for(path, 0664, boot_),
         [&] { return node->replace_inode() != 0; }, [] {}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(write_file(kPermissionRecord, c.text, 0600));
        ASSERT_TRUE(c.change()) << strerror(errno);
        int result = guarded([&] {
            if (c.without_proc && !drop_proc()) return 100;
            return restore() == 0 ? 0 : errno;
        });
        c.undo();
        if (c.dropped) {
            EXPECT_EQ(result, 0) << strerror(result);
            EXPECT_FALSE(path_exists(kPermissionRecord));
        } else {
            EXPECT_EQ(result, ESTALE) << strerror(result);
            EXPECT_EQ(read_file(kPermissionRecord), c.text);
        }
    }
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(node->chmods_received(), 0);
    EXPECT_EQ(other->chmods_received(), 0);
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

    for (mode_t mode : {0640, 0604}) {
        SCOPED_TRACE("mode 0" + std::to_string(mode >> 6) + std::to_string((mode >> 3) & 7) +
                     std::to_string(mode & 7));
        ASSERT_TRUE(write_file(kPermissionRecord, good, mode));
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

}  // namespace
}  // namespace sandbox::node_access
