// The fake sysfs node must behave like a kernel backlight attribute, or
// every test built on it proves nothing. These tests pin its behaviour
// down without the daemon.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

// 0 when text was written whole through one write, else the errno of the
// failing open or write.
int write_node(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    ssize_t n = write(fd, text.data(), text.size());
    int e = n < 0 ? errno : (n == (ssize_t)text.size() ? 0 : EIO);
    close(fd);
    return e;
}

// The text of one read at offset, or "errno=N".
std::string pread_node(const std::string& path, off_t offset = 0) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "errno=" + std::to_string(errno);
    char buf[64];
    ssize_t n = pread(fd, buf, sizeof buf, offset);
    int e = errno;
    close(fd);
    if (n < 0) return "errno=" + std::to_string(e);
    return std::string(buf, (size_t)n);
}

class FakeSysfsTest : public SandboxTest {};

TEST_F(FakeSysfsTest, ReadsValueAndWriteReplacesIt) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    EXPECT_EQ(pread_node(path), "100\n");
    EXPECT_EQ(write_node(path, "50"), 0);
    EXPECT_EQ(pread_node(path), "50\n");
    EXPECT_EQ(node->value(), 50);
    // A trailing line feed is fine, as for the kernel's number parser.
    EXPECT_EQ(write_node(path, "60\n"), 0);
    EXPECT_EQ(pread_node(path), "60\n");
    // Reads honour the offset.
    EXPECT_EQ(pread_node(path, 1), "0\n");
    EXPECT_EQ(pread_node(path, 3), "");
    EXPECT_EQ(node->writes_received(), 2);
    EXPECT_EQ(node->writes_accepted(), 2);
    EXPECT_EQ(node->last_writes(), (std::vector<std::string>{"50", "60\n"}));
}

TEST_F(FakeSysfsTest, RefusesMalformedAndOverLargeValues) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    EXPECT_EQ(write_node(path, "abc"), EINVAL);
    EXPECT_EQ(write_node(path, "12x"), EINVAL);
    EXPECT_EQ(write_node(path, ""), 0) << "an empty write never reaches the file system";
    EXPECT_EQ(write_node(path, "256"), EINVAL) << "above max_brightness";
    EXPECT_EQ(write_node(path, "255"), 0);
    EXPECT_EQ(node->value(), 255);
    EXPECT_EQ(node->writes_received(), 4);
    EXPECT_EQ(node->writes_accepted(), 1);
}

TEST_F(FakeSysfsTest, ClassLinkResolvesIntoDevicesAndFilesLookLikeSysfs) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->brightness_path(), kNodePath);
    char real[PATH_MAX];
    ASSERT_NE(realpath(node->brightness_path().c_str(), real), nullptr);
    EXPECT_EQ(std::string(real), kRealNodePath);
    EXPECT_EQ(node->real_brightness_path(), real);

    auto b = lstat_path(node->real_brightness_path());
    ASSERT_TRUE(b);
    EXPECT_TRUE(S_ISREG(b->st_mode));
    EXPECT_EQ(b->st_mode & 07777, 0664u);
    EXPECT_EQ(b->st_uid, 1000u);
    EXPECT_EQ(b->st_gid, 1000u);
    EXPECT_EQ(b->st_ino, node->current_inode());

    auto m = lstat_path(node->max_brightness_path());
    ASSERT_TRUE(m);
    EXPECT_TRUE(S_ISREG(m->st_mode));
    EXPECT_EQ(m->st_mode & 07777, 0444u);
    EXPECT_EQ(m->st_uid, 0u);
    EXPECT_EQ(read_file(node->max_brightness_path()), "255\n");
    EXPECT_EQ(write_node(node->max_brightness_path(), "1"), EACCES);
}

TEST_F(FakeSysfsTest, ModeBitsBindOtherUsersButNotRoot) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    auto write_as_system = [&](const std::string& text) {
        return run_as(kSystemUid, kSystemUid, [&] { return write_node(path, text); });
    };
    EXPECT_EQ(write_as_system("70"), 0);
    EXPECT_EQ(node->value(), 70);

    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(file_mode(path), 0444);
    EXPECT_EQ(node->mode(), 0444u);
    EXPECT_EQ(node->chmods_received(), 1);
    EXPECT_EQ(write_as_system("80"), EACCES);
    EXPECT_EQ(node->value(), 70);
    // Root is not bound by the bits, as on a device.
    EXPECT_EQ(write_node(path, "90"), 0);
    EXPECT_EQ(node->value(), 90);

    // fchmod through a descriptor opened for writing, the way the write
    // guard does it; the descriptor keeps working after the bits are gone.
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0444), 0);
    EXPECT_EQ(node->mode(), 0444u);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(write(fd, "33", 2), 2);
    close(fd);
    EXPECT_EQ(node->value(), 33);

    // A mode change from outside the test (a device manager) shows at once.
    node->set_mode(0666);
    EXPECT_EQ(file_mode(path), 0666);
}

TEST_F(FakeSysfsTest, TruncateIsAcceptedAndIgnored) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    EXPECT_EQ(truncate(path.c_str(), 0), 0);
    EXPECT_EQ(pread_node(path), "100\n");
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "42\n", 3), 3);
    close(fd);
    EXPECT_EQ(pread_node(path), "42\n");
}

TEST_F(FakeSysfsTest, ControlsReachReadersAtOnce) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();

    node->set_value(77);
    EXPECT_EQ(pread_node(path), "77\n");
    EXPECT_EQ(node->writes_received(), 0) << "set_value is not a write";

    node->clamp_to(80);
    EXPECT_EQ(write_node(path, "200"), 0);
    EXPECT_EQ(pread_node(path), "80\n");
    node->clamp_to(-1);

    node->fail_reads();
    EXPECT_EQ(pread_node(path), "errno=" + std::to_string(EIO));
    node->fail_reads(0);
    EXPECT_EQ(pread_node(path), "80\n");

    node->force_zero(true);
    EXPECT_EQ(pread_node(path), "0\n");
    EXPECT_EQ(write_node(path, "120"), 0);
    EXPECT_EQ(pread_node(path), "0\n");
    node->force_zero(false);
    EXPECT_EQ(pread_node(path), "120\n");

    node->fail_writes(EIO);
    EXPECT_EQ(write_node(path, "130"), EIO);
    node->fail_writes(0);
    EXPECT_EQ(node->value(), 120);

    node->set_maximum(1023);
    EXPECT_EQ(read_file(node->max_brightness_path()), "1023\n");
    EXPECT_EQ(write_node(path, "1000"), 0);
    node->fail_max_reads();
    EXPECT_EQ(pread_node(node->max_brightness_path()), "errno=" + std::to_string(EIO));
    node->fail_max_reads(0);
    EXPECT_EQ(read_file(node->max_brightness_path()), "1023\n");

    // The writer's read-back sees its own value; the foreign one follows it
    // and stays until the next write is read back.
    node->set_value_after_read_backs(80);
    EXPECT_EQ(pread_node(path), "1000\n") << "no write since it was set";
    EXPECT_EQ(write_node(path, "150"), 0);
    EXPECT_EQ(pread_node(path), "150\n");
    EXPECT_EQ(pread_node(path), "80\n");
    node->set_value(90);
    EXPECT_EQ(pread_node(path), "90\n");
    EXPECT_EQ(write_node(path, "abc"), EINVAL);
    EXPECT_EQ(pread_node(path), "90\n") << "a refused write changes nothing";
    node->set_value_after_read_backs(-1);
    EXPECT_EQ(write_node(path, "160"), 0);
    EXPECT_EQ(pread_node(path), "160\n");
    EXPECT_EQ(pread_node(path), "160\n");
}

TEST_F(FakeSysfsTest, ReplacedInodeGetsNewNumberAndOldHandleDies) {
    FakeNode* node = add_node();
    ASSERT_NE(node, nullptr);
    const std::string path = node->brightness_path();
    auto before = stat_path(path);
    ASSERT_TRUE(before);
    int old_fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(old_fd, 0);

    unsigned long new_ino = node->replace_inode();
    auto after = stat_path(path);
    ASSERT_TRUE(after);
    EXPECT_NE(after->st_ino, before->st_ino);
    EXPECT_EQ(after->st_ino, new_ino);
    EXPECT_EQ(after->st_dev, before->st_dev);

    // Like a removed sysfs attribute: fstat works, I/O fails with ENODEV.
    struct stat st;
    EXPECT_EQ(fstat(old_fd, &st), 0);
    EXPECT_EQ(st.st_ino, before->st_ino);
    EXPECT_EQ(write(old_fd, "10", 2), -1);
    EXPECT_EQ(errno, ENODEV);
    char buf[16];
    EXPECT_EQ(pread(old_fd, buf, sizeof buf, 0), -1);
    EXPECT_EQ(errno, ENODEV);
    close(old_fd);

    // The new inode works normally.
    EXPECT_EQ(write_node(path, "11"), 0);
    EXPECT_EQ(pread_node(path), "11\n");
}

TEST_F(FakeSysfsTest, LedClassNodeCapsOverLargeValues) {
    FakeNodeOptions options;
    options.name = "lcd-backlight";
    options.device_class = "leds";
    options.maximum = 2047;
    FakeNode* node = add_node(options);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->brightness_path(), "/sys/class/leds/lcd-backlight/brightness");
    char real[PATH_MAX];
    ASSERT_NE(realpath(node->brightness_path().c_str(), real), nullptr);
    EXPECT_EQ(std::string(real), "/sys/devices/platform/veltaris-panel/leds/lcd-backlight/brightness");
    EXPECT_EQ(write_node(node->brightness_path(), "5000"), 0);
    EXPECT_EQ(pread_node(node->brightness_path()), "2047\n");
}

TEST_F(FakeSysfsTest, TwoNodesLiveSideBySide) {
    FakeNode* panel = add_node();
    FakeNodeOptions second;
    second.name = "lcd-backlight";
    second.device_class = "leds";
    second.value = 7;
    FakeNode* led = add_node(second);
    ASSERT_NE(panel, nullptr);
    ASSERT_NE(led, nullptr);
    EXPECT_EQ(pread_node(panel->brightness_path()), "100\n");
    EXPECT_EQ(pread_node(led->brightness_path()), "7\n");
    EXPECT_EQ(write_node(led->brightness_path(), "9"), 0);
    EXPECT_EQ(panel->value(), 100);
    EXPECT_EQ(led->value(), 9);
}

}  // namespace
}  // namespace sandbox
