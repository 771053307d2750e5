// The node tests' helpers and fixture (see node_fixture.h).
#include "tests/integration/node_fixture.h"

#include <errno.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>

namespace sandbox::node_access {

bool make_device_dir(const std::string& dir) {
    return mkdir_p(dir) && write_file(dir + "/brightness", "100\n", 0664) &&
           write_file(dir + "/max_brightness", "255\n", 0444);
}

bool point_class_link(const std::string& cls, const std::string& name, const std::string& target) {
    std::string dir = "/sys/class/" + cls;
    std::string link = dir + "/" + name;
    std::string tmp = dir + "/.relink-" + name;
    unlink(tmp.c_str());
    return mkdir_p(dir) && symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), link.c_str()) == 0;
}

int guarded(const std::function<int()>& fn) { return run_as(0, 0, fn, std::chrono::seconds(10)); }

void NodeAccessTest::SetUp() {
    SandboxTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    reset_daemon_state(&s_);
    boot_ = boot_id();
    while (!boot_.empty() && (boot_.back() == '\n' || boot_.back() == '\r')) boot_.pop_back();
    ASSERT_EQ(boot_.size(), (size_t)BOOT_ID_LENGTH);
    snprintf(s_.process.boot_id, sizeof s_.process.boot_id, "%s", boot_.c_str());
    s_.node.maximum = 255;
}

void NodeAccessTest::TearDown() {
    // A held descriptor on a fake node would keep its FUSE mount busy.
    if (s_.guard.held_fd >= 0) release();
    if (s_.guard.held_fd >= 0) close(s_.guard.held_fd);
    reset_daemon_state(&s_);
    SandboxTest::TearDown();
}

FakeNode* NodeAccessTest::captured_node(const FakeNodeOptions& options) {
    FakeNode* node = add_node(options);
    if (node == nullptr) return nullptr;
    if (capture(node->brightness_path().c_str()) != 0) {
        ADD_FAILURE() << "capture_node: " << strerror(errno);
        return nullptr;
    }
    return node;
}

std::string NodeAccessTest::record_for(const std::string& path, unsigned mode, const std::string& boot) {
    struct stat st;
    char real[PATH_MAX];
    if (stat(path.c_str(), &st) != 0 || realpath(path.c_str(), real) == nullptr) {
        ADD_FAILURE() << "cannot resolve " << path;
        return "";
    }
    return v2_record(mode, st.st_dev, st.st_ino, boot, path, real);
}

bool NodeAccessTest::hold_with_lease(const std::string& lease_session, int lease_pid, int active, int target) {
    snprintf(s_.hold.session, sizeof s_.hold.session, "%s", "S");
    s_.hold.lease_pid = kLeasePid;
    s_.hold.armed = 1;
    return write_lease(lease_session, lease_pid, active, target) == 0;
}

FakeNode* NodeAccessTest::held_node(const std::string& lease_session, int lease_pid, int active, int target) {
    FakeNode* node = captured_node();
    if (node != nullptr && !hold_with_lease(lease_session, lease_pid, active, target)) {
        ADD_FAILURE() << "could not write the lease";
        return nullptr;
    }
    return node;
}

void NodeAccessTest::expect_nothing_written(FakeNode& node, int err) {
    EXPECT_EQ(s_.counters.last_error, err);
    EXPECT_EQ(s_.counters.write_attempts, 0);
    EXPECT_EQ(node.writes_received(), 0);
    EXPECT_FALSE(path_exists(kPermissionRecord));
}

int NodeAccessTest::identity_verdict() {
    int code = identity_ok() ? 1 : 0;
    errno = 0;
    if (read_node_checked(&s_.node) >= 0) {
        code |= 2;
    } else if (errno == ESTALE) {
        code |= 4;
    }
    return code;
}

int NodeAccessTest::identity_verdict_without_proc() {
    return guarded([this] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            umount2("/proc", MNT_DETACH) != 0 || access("/proc/self/fd", F_OK) == 0) {
            return 100;
        }
        return identity_verdict();
    });
}

void NodeAccessTest::expect_identity(int expected) {
    EXPECT_EQ(identity_verdict(), expected) << "through /proc/self/fd";
    EXPECT_EQ(identity_verdict_without_proc(), expected) << "with realpath(), without /proc";
}

}  // namespace sandbox::node_access
