// A stand-in for one sysfs backlight (or LED) device directory, served by
// FUSE from a child process so that the daemon sees a real file system
// with kernel-enforced permission bits, inode numbers and error codes.
//
// The directory holds two files:
//   brightness      regular file, owner 1000:1000, mode 0664 by default.
//                   A read returns "%d\n" of the current value from the
//                   requested offset; a write replaces the value (decimal,
//                   optional '+', one trailing '\n' allowed; anything else
//                   EINVAL; above the maximum: EINVAL for the backlight
//                   class, capped to the maximum for the LED class, like
//                   the two kernel classes). chmod/chown are stored, a
//                   truncate is accepted and ignored.
//   max_brightness  read-only (0444, root): "%d\n" of the maximum. Opening
//                   it for writing fails with EACCES, as sysfs does for an
//                   attribute without a store method.
// Entry, attribute and negative lookups are never cached by the kernel and
// every open uses direct I/O, so each access reaches the server and sees
// the controls below at once.
//
// Replacing the node (replace_inode) bumps a generation: the next lookup
// of "brightness" yields a new inode number. The old inode behaves like a
// removed sysfs attribute: fstat on an old descriptor still works, but
// read, write and chmod through it fail with ENODEV.
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace sandbox {

// The default node's path, as the daemon is given it, and its real path.
inline constexpr const char* kNodePath = "/sys/class/backlight/panel0-backlight/brightness";
inline constexpr const char* kRealNodePath =
    "/sys/devices/platform/veltaris-panel/backlight/panel0-backlight/brightness";

struct FakeNodeOptions {
    std::string name = "panel0-backlight";
    std::string device_class = "backlight";  // "backlight" or "leds"
    int value = 100;
    int maximum = 255;
    mode_t mode = 0664;
    uid_t uid = 1000;
    gid_t gid = 1000;
    // Creates /sys/class/<device_class>/<name> pointing at the device
    // directory.
    bool class_link = true;
    // The device directory is <device_parent>/<device_class>/<name>.
    std::string device_parent = "/sys/devices/platform/veltaris-panel";
};

struct FakeNodeShared;

class FakeNode {
  public:
    // Mounts the device directory and starts its server. Returns null and
    // fills *error on failure. Needs a running sandbox.
    static std::unique_ptr<FakeNode> create(const FakeNodeOptions& options, std::string* error);
    ~FakeNode();
    FakeNode(const FakeNode&) = delete;
    FakeNode& operator=(const FakeNode&) = delete;

    const FakeNodeOptions& options() const { return options_; }
    // /sys/class/<class>/<name>/brightness: the path the daemon is given.
    std::string brightness_path() const;
    std::string class_dir() const;
    // /sys/devices/.../<name>: the real (canonical) directory.
    const std::string& device_dir() const { return device_dir_; }
    std::string real_brightness_path() const { return device_dir_ + "/brightness"; }
    std::string max_brightness_path() const { return device_dir_ + "/max_brightness"; }

    // As if another writer (or the driver) changed the value; not counted
    // as a write.
    void set_value(int value);
    // From now on, right after the first read that follows each accepted
    // write (a writer's read-back of it, answered with the written value),
    // the value becomes `value`, as another writer's would; -1 stops it.
    // Another writer that always comes back, and never between a write
    // and its read-back however slow the machine.
    void set_value_after_read_backs(int value);
    // The stored value (what a read shows unless reads fail or are forced
    // to 0).
    int value() const;
    void set_maximum(int maximum);
    int maximum() const;
    // Reads of brightness fail with err (0 = read normally again).
    void fail_reads(int err = 5 /* EIO */);
    // Reads of max_brightness fail with err (0 = normal again).
    void fail_max_reads(int err = 5 /* EIO */);
    // Writes to brightness fail with err (0 = normal again); still counted.
    void fail_writes(int err = 5 /* EIO */);
    // Opens of brightness (for reading or writing) fail with err, 0 = normal
    // again; the file itself stays as it is (stat and O_PATH still work).
    void fail_opens(int err = 13 /* EACCES */);
    // Written values are clamped to at most limit (-1 = no clamp).
    void clamp_to(int limit);
    // While on, brightness reads "0\n" (panel off); writes still store.
    void force_zero(bool on);
    // Another inode takes the path; returns the new inode number.
    unsigned long replace_inode();
    unsigned long current_inode() const;
    // The brightness file's permission bits as the server holds them.
    mode_t mode() const;
    // As if something outside the test (a device manager) changed them.
    void set_mode(mode_t mode);
    uid_t owner_uid() const;
    gid_t owner_gid() const;
    // Every write request that reached the brightness file, accepted or
    // not, and the ones that changed the value.
    int writes_received() const;
    int writes_accepted() const;
    int reads_served() const;
    int chmods_received() const;
    // Once, when the server receives a request of this kind (the next one,
    // or the one after `skip` more) and before it answers it, it renames
    // `from` over `to` (with link_only: it hard-links `from` as `to`, e.g.
    // to keep a copy of a file as it was at that moment). Lets a test
    // change or look at the world at an exact point of the daemon's work,
    // e.g. between arming the guard and the write. write_open is an open of
    // brightness for writing; lookup is the kernel's look-up of the name
    // "brightness", which every walk of the node's path makes (nothing is
    // cached). fired() tells whether it ran.
    enum class Event { none, chmod, max_read, write, write_open, lookup };
    void on_next(Event event, const std::string& from, const std::string& to, bool link_only = false,
                 int skip = 0);
    bool fired() const;
    // Once, at the next request of this kind (or the one after `skip`
    // more), the server sets the brightness file's bits to mode, as a
    // device manager does on the change event of a write. The bits that
    // the next read of brightness after that finds are kept:
    // mode_at_next_read() gives them, -1 until such a read came.
    void set_mode_on_next(Event event, mode_t mode, int skip = 0);
    // Once, at the next request of this kind, the value changes, as if
    // another writer had just written it.
    void set_value_on_next(Event event, int value, int skip = 0);
    int mode_at_next_read() const;
    // Once, at the next request of this kind, another inode takes the path
    // (as replace_inode), before the request is answered: at a lookup, the
    // walk that made it already lands on the new inode.
    void replace_inode_on_next(Event event, int skip = 0);

    // The texts of the last few (up to 8) writes, oldest first.
    std::vector<std::string> last_writes() const;
    void reset_counters();

    pid_t server_pid() const { return server_pid_; }
    // Kills the server and unmounts; idempotent. Called at teardown.
    void stop();

  private:
    FakeNode() = default;
    void arm_trigger(Event event, int skip, int mode, int value, bool replace);

    FakeNodeOptions options_;
    std::string device_dir_;
    FakeNodeShared* shared_ = nullptr;
    pid_t server_pid_ = -1;
    bool mounted_ = false;
};

}  // namespace sandbox
