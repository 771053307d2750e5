#include "common/mount_table.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

const char kNode[] = "/sys/devices/platform/x/backlight/panel0-backlight/brightness";

struct Walked {
    int rc;
    int err;
    mount_step on;
};

Walked walk(const char* path, const std::vector<std::string>& lines) {
    mount_walk w;
    mount_walk_start(&w, path);
    for (const auto& line : lines) mount_walk_add_line(&w, line.data(), line.size());
    Walked r = {};
    errno = 0;
    r.rc = mount_walk_result(&w, &r.on);
    r.err = errno;
    return r;
}

// A phone's table, abridged: the root, /sys, things beside the node's way.
const std::vector<std::string> kBase = {
    "1 0 253:0 / / ro,relatime shared:1 - ext4 /dev/root ro",
    "20 1 0:20 / /sys rw,nosuid shared:2 - sysfs sysfs rw,seclabel",
    "21 20 0:21 / /sys/fs/selinux rw - selinuxfs selinuxfs rw",
    "22 1 0:22 / /data rw - f2fs /dev/block/dm-5 rw",
};

std::vector<std::string> with(std::vector<std::string> lines, const std::string& more) {
    lines.push_back(more);
    return lines;
}

TEST(MountTable, HeadOfALineAndItsRefusals) {
    const char line[] = "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw";
    mountinfo_head h = {};
    ASSERT_EQ(parse_mountinfo_head(line, strlen(line), &h), 0);
    EXPECT_EQ(h.mount_id, 36u);
    EXPECT_EQ(h.parent_id, 35u);
    EXPECT_EQ(h.major, 98u);
    EXPECT_EQ(h.minor, 0u);
    EXPECT_EQ(std::string(h.root, h.root_len), "/mnt1");
    EXPECT_EQ(std::string(h.mount_point, h.mount_point_len), "/mnt/parent");
    // A bound namespace file names its object where a root path would be.
    const char nsfs[] = "40 22 0:4 net:[4026532176] /run/netns/x rw shared:5 - nsfs nsfs rw";
    ASSERT_EQ(parse_mountinfo_head(nsfs, strlen(nsfs), &h), 0);
    EXPECT_EQ(std::string(h.root, h.root_len), "net:[4026532176]");
    ASSERT_EQ(parse_mountinfo_head(line, strlen(line), &h), 0);
    for (const char* bad : {"", "36 35 98:0 /mnt1 /mnt/parent", "36 35 98:0 /mnt1", "x 35 98:0 / / rw",
                            "36 35 98 / / rw", "36 35 98:0 / mnt rw", "36  35 98:0 / / rw",
                            "4294967296 1 0:1 / / rw"}) {
        SCOPED_TRACE(bad);
        mountinfo_head untouched = h;
        EXPECT_EQ(parse_mountinfo_head(bad, strlen(bad), &untouched), -1);
        EXPECT_EQ(untouched.mount_id, 36u) << "nothing touched on error";
    }
}

TEST(MountTable, TheMountAPathLiesOn) {
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        uint64_t dev;
        int whole_fs;
    } cases[] = {
        {"sysfs as mounted", kBase, makedev(0, 20), 1},
        {"a file bound over the node",
         with(kBase, std::string("30 20 0:20 /devices/platform/x/backlight/panel0-backlight/max_brightness ") + kNode +
                         " rw - sysfs sysfs rw"),
         makedev(0, 20), 0},
        {"a directory bound over one on its way",
         with(kBase, "30 20 0:20 /devices/virtual/backlight/kbd /sys/devices/platform/x rw - sysfs sysfs rw"),
         makedev(0, 20), 0},
        {"another file system over the device directory",
         with(kBase, "30 20 0:40 / /sys/devices/platform/x/backlight/panel0-backlight rw - tmpfs none rw"),
         makedev(0, 40), 1},
        {"another namespace's sysfs over /sys", with(kBase, "30 20 0:50 / /sys rw - sysfs sysfs rw"), makedev(0, 50),
         1},
        {"a mount beside the way, not on it",
         with(kBase, "30 20 0:40 / /sys/devices/platform/x/backlight/panel0 rw - tmpfs none rw"), makedev(0, 20), 1},
        // Mounted later over a directory above it, the deeper mount is
        // hidden: a walk meets the upper one first.
        {"a deeper mount hidden by a later one above it",
         {kBase[0], kBase[1], "30 20 0:40 / /sys/devices/platform/x/backlight rw - tmpfs a rw",
          "31 20 0:41 / /sys/devices/platform rw - tmpfs b rw"},
         makedev(0, 41), 1},
        // Two mounts stacked on /sys: the one on top is the child.
        {"the top of a stack", {kBase[0], "31 20 0:41 / /sys rw - tmpfs b rw", kBase[1]}, makedev(0, 41), 1},
        // A ramdisk's root is listed as its own parent.
        {"a root that is its own parent", {"1 1 0:1 / / rw - rootfs rootfs rw", kBase[1]}, makedev(0, 20), 1},
        {"the path on such a root", {"1 1 0:1 / / rw - rootfs rootfs rw"}, makedev(0, 1), 1},
        // Lines of any form off the way are passed over: a network
        // namespace kept by a file (ip netns add, unshare --net=FILE),
        // and lines no parser of ours knows.
        {"a namespace file beside the way",
         with(kBase, "40 22 0:4 net:[4026532176] /data/netns/x rw shared:5 - nsfs nsfs rw"), makedev(0, 20), 1},
        {"lines of other forms beside the way", with(with(kBase, "x y z w /data/other rw"), "a b c d e f"),
         makedev(0, 20), 1},
        // Only "/" is a file system's own root.
        {"a one-byte root that is not a path",
         with(kBase, "30 20 0:40 x /sys/devices/platform/x/backlight/panel0-backlight rw - tmpfs none rw"),
         makedev(0, 40), 0},
        {"a namespace file bound over the node",
         with(kBase, std::string("40 20 0:4 net:[4026532176] ") + kNode + " rw - nsfs nsfs rw"), makedev(0, 4), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Walked r = walk(kNode, c.lines);
        ASSERT_EQ(r.rc, 0) << strerror(r.err);
        EXPECT_EQ(r.on.dev, c.dev);
        EXPECT_EQ(r.on.whole_fs, c.whole_fs);
    }
}

TEST(MountTable, WhatCannotBeToldIsAnError) {
    std::vector<std::string> crowded = kBase;
    for (int i = 0; i < MOUNT_WALK_MAX; ++i) {
        crowded.push_back(std::to_string(100 + i) + " " + std::to_string(i == 0 ? 20 : 99 + i) +
                          " 0:9 / /sys rw - tmpfs t rw");
    }
    struct Case {
        const char* what;
        const char* path;
        std::vector<std::string> lines;
        int err;
    } cases[] = {
        {"no root mount", kNode, {kBase[1]}, ENOENT},
        {"two roots", kNode, with(kBase, "2 0 253:1 / / rw - ext4 /dev/other rw"), EEXIST},
        // Siblings on one mount point under one parent cannot both be on
        // top.
        {"two mounts on one place under one parent", kNode,
         with(with(kBase, "30 20 0:40 / /sys/devices rw - tmpfs a rw"), "31 20 0:41 / /sys/devices rw - tmpfs b rw"),
         EEXIST},
        {"a line that does not read", kNode, with(kBase, "garbage"), EINVAL},
        {"a line on the way that does not read", kNode, with(kBase, "x 20 0:40 / /sys/devices rw - tmpfs a rw"),
         EINVAL},
        // Cut off right after a mount point that may be the path itself.
        {"a line cut off after a mount point on the way", kNode,
         with(kBase, std::string("30 20 0:40 / ") + kNode), EINVAL},
        {"too many mounts on the way", kNode, crowded, E2BIG},
        {"a path the table would write escaped", "/sys/devices/a b/brightness", kBase, EINVAL},
        {"a relative path", "sys/devices/x", kBase, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Walked r = walk(c.path, c.lines);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, c.err);
    }
}

// A phone's table is 20-60 KiB, the kernel hands it over in pieces that
// cut lines anywhere, and a line can be longer than the reader's buffer.
TEST(MountTable, ReadsATableInPiecesOfAnySize) {
    std::string table;
    for (const auto& line : kBase) table += line + "\n";
    for (int i = 0; i < 900; ++i) table += std::to_string(100 + i) + " 22 0:9 / /data/app/" + std::to_string(i) + " rw - tmpfs t rw\n";
    // A line longer than the buffer, its head on the way (a file over the
    // node, on the device directory's mount below): the head must count,
    // and its rest would read as a mount stacked on /sys, were it taken for
    // a line of its own.
    std::string long_line = std::string("50 30 0:50 / ") + kNode + " rw - tmpfs ";
    long_line.append(MOUNT_TABLE_READ_SIZE - long_line.size(), 'x');
    table += long_line + "31 20 0:41 / /sys rw - tmpfs b rw\n";
    table += "40 22 0:4 net:[4026532176] /data/netns/x rw - nsfs nsfs rw\n";
    table += "30 20 0:40 / /sys/devices/platform/x/backlight/panel0-backlight rw - tmpfs none rw";  // no line feed
    ASSERT_GT(table.size(), 5u * MOUNT_TABLE_READ_SIZE);

    for (size_t piece : {size_t{1}, size_t{7}, size_t{100}, size_t{4095}, size_t{MOUNT_TABLE_READ_SIZE}, table.size()}) {
        SCOPED_TRACE(piece);
        mount_walk w;
        mount_walk_start(&w, kNode);
        mount_table_reader reader;
        reader.have = 0;
        reader.skipping = 0;
        for (size_t at = 0; at < table.size();) {
            size_t room;
            char* space = mount_reader_space(&reader, &room);
            ASSERT_GT(room, 0u);
            size_t n = std::min({piece, room, table.size() - at});
            memcpy(space, table.data() + at, n);
            mount_reader_took(&reader, &w, n);
            at += n;
        }
        mount_reader_end(&reader, &w);
        mount_step on = {};
        ASSERT_EQ(mount_walk_result(&w, &on), 0) << strerror(errno);
        EXPECT_EQ(on.dev, makedev(0, 50));
    }
}

// A table read only in part decides nothing: what was not read may be
// the mount in the way.
TEST(MountTable, AReadErrorInTheMiddleIsAnError) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    std::string part;
    for (const auto& line : kBase) part += line + "\n";
    ASSERT_EQ(write(fds[1], part.data(), part.size()), static_cast<ssize_t>(part.size()));
    mount_walk w;
    mount_walk_start(&w, kNode);
    errno = 0;
    EXPECT_EQ(mount_walk_read(&w, fds[0]), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
