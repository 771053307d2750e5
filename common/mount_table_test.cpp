#include "common/mount_table.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sysmacros.h>

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
    for (const char* bad : {"", "36 35 98:0 /mnt1 /mnt/parent", "36 35 98:0 /mnt1", "x 35 98:0 / / rw",
                            "36 35 98 / / rw", "36 35 98:0 mnt / rw", "36  35 98:0 / / rw",
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

}  // namespace
