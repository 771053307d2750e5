// The node's capture, in-process: which paths the policy and the real
// path checks accept, what identity is recorded, and how a replaced,
// repointed or aliased node breaks that identity before any open.
#include <sys/mount.h>

#include "tests/integration/node_fixture.h"

namespace sandbox::node_access {
namespace {

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
    expect_identity(kNodeIntact);
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
    expect_identity(kNodeReplaced);
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

    expect_identity(kNodeReplaced);
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

    expect_identity(kNodeReplaced);
    EXPECT_FAILS_WITH(open_for_write(), ESTALE);
    EXPECT_EQ(node->writes_received(), 0);
    umount2(alias.c_str(), MNT_DETACH);
}

TEST_F(NodeAccessTest, FileSystemMountedOverTheDeviceBreaksIdentity) {
    // The same path and the same real path, but another file system's file.
    FakeNode* node = captured_node();
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(mount("tmpfs", node->device_dir().c_str(), "tmpfs", 0, nullptr), 0) << strerror(errno);
    ASSERT_TRUE(write_file(node->device_dir() + "/brightness", "100\n", 0664));
    expect_identity(kNodeReplaced);
    EXPECT_FAILS_WITH(open_for_write(), ESTALE);
    umount2(node->device_dir().c_str(), MNT_DETACH);
    expect_identity(kNodeIntact);
}

TEST_F(NodeAccessTest, NodeGoneBreaksIdentity) {
    const std::string dev = kHandDevices + "/gonepanel";
    ASSERT_TRUE(make_device_dir(dev));
    ASSERT_TRUE(point_class_link("backlight", "gonepanel", dev));
    ASSERT_EQ(capture("/sys/class/backlight/gonepanel/brightness"), 0) << strerror(errno);
    expect_identity(kNodeIntact);
    ASSERT_EQ(unlink((dev + "/brightness").c_str()), 0);
    expect_identity(kNodeReplaced);
    // A FIFO in its place is not the node either, and its open must not
    // wait for a writer.
    ASSERT_EQ(mkfifo((dev + "/brightness").c_str(), 0644), 0);
    expect_identity(kNodeReplaced);
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

}  // namespace
}  // namespace sandbox::node_access
