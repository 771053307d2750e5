// Shared ground for the tests that call the node code (path policy and
// identity, value read and verified write, write guard and permission
// recovery) and the main-panel lease reader in-process, against the fake
// sysfs and the sandbox's /data. These are the places where the daemon
// touches real files, so the pure unit tests beside the modules cannot
// show that they hold.
#pragma once
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
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

namespace sandbox::node_access {

// Hand-built device directories (plain tmpfs files) live under here; the
// capture only needs stat and realpath, so no FUSE server is needed.
inline const std::string kHandDevices = "/sys/devices/platform/hand-built/backlight";
// A boot identity of the right form that is not the sandbox's.
inline const std::string kOtherBoot = "ffffffff-eeee-dddd-cccc-bbbbbbbbbbbb";

// errno cleared, then call must return -1 with errno err; a macro, so that
// a failure names the test's own line.
#define EXPECT_FAILS_WITH(call, err) \
    do {                             \
        errno = 0;                   \
        EXPECT_EQ((call), -1);       \
        EXPECT_EQ(errno, (err));     \
    } while (0)

// A device directory with regular brightness and max_brightness files.
bool make_device_dir(const std::string& dir);
// /sys/class/<cls>/<name> -> target, replacing whatever is there in one
// step (a temporary link renamed over it), the way a class entry would be
// swapped under a running daemon.
bool point_class_link(const std::string& cls, const std::string& name, const std::string& target);
// Runs fn in a forked root child and returns its exit status, or -1 when
// it has not finished within a generous limit: a read that would block
// then fails the test instead of hanging it.
int guarded(const std::function<int()>& fn);

class NodeAccessTest : public SandboxTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A default fake node (0664, value 100, max 255), captured.
    FakeNode* captured_node(const FakeNodeOptions& options = {});
    // The version 2 record that arming would write for path as it is now.
    std::string record_for(const std::string& path, unsigned mode, const std::string& boot);
    // The daemon holds session "S" for kLeasePid; the lease the system user
    // writes names lease_session and lease_pid. True when the lease was
    // written.
    bool hold_with_lease(const std::string& lease_session, int lease_pid, int active, int target);
    // A captured default node, with the daemon holding a lease as
    // hold_with_lease() writes it. Null (with a failure) otherwise.
    FakeNode* held_node(const std::string& lease_session, int lease_pid, int active, int target);
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
    void expect_nothing_written(FakeNode& node, int err);

    // What the identity checks say of the node as it is now, as one code:
    // node_identity_ok, whether read_node_checked read a value, and
    // whether it failed with ESTALE. The identity is taken from the
    // kernel's name for the open descriptor (/proc/self/fd); without /proc
    // the daemon resolves the path again instead, and both must agree.
    int identity_verdict();
    // The same, in a child whose /proc is gone.
    int identity_verdict_without_proc();
    // Both ways give expected (kNodeIntact or kNodeReplaced).
    void expect_identity(int expected);
    static constexpr int kNodeIntact = 3;    // identity holds, value read
    static constexpr int kNodeReplaced = 4;  // no identity, read refused with ESTALE

    static constexpr int kLeasePid = 4242;
    std::string boot_;
    daemon_state s_;
};

}  // namespace sandbox::node_access
