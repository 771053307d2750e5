#include "node/permission_record.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

const char kBoot[] = "0123abcd-4567-89ab-cdef-0123456789ab";
const char kNode[] = "/sys/class/backlight/panel0-backlight/brightness";
const char kReal[] = "/sys/devices/platform/p/backlight/panel0-backlight/brightness";

std::string v2(const std::string& mode, const std::string& boot = kBoot,
               const std::string& node = kNode, const std::string& real = kReal) {
    return "v2\n" + mode + "\n12 34\n" + boot + "\n" + node + "\n" + real + "\n";
}

permission_record sentinel() {
    permission_record rec = {};
    rec.mode = 0777;
    rec.dev = 99;
    strcpy(rec.node_path, "sentinel");
    return rec;
}

TEST(PermissionRecord, RoundTripsTheVersion2Format) {
    permission_record rec = {};
    rec.mode = 0664;
    rec.dev = 12;
    rec.ino = 34;
    strcpy(rec.boot_id, kBoot);
    strcpy(rec.node_path, kNode);
    strcpy(rec.canonical_path, kReal);
    char buf[PERMISSION_RECORD_SIZE];
    int len = format_permission_record(&rec, buf, sizeof buf);
    ASSERT_GT(len, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), v2("664"));

    permission_record back = sentinel();
    ASSERT_EQ(parse_permission_record(buf, &back), 0);
    EXPECT_EQ(back.mode, 0664u);
    EXPECT_EQ(back.dev, 12u);
    EXPECT_EQ(back.ino, 34u);
    EXPECT_STREQ(back.boot_id, kBoot);
    EXPECT_STREQ(back.node_path, kNode);
    EXPECT_STREQ(back.canonical_path, kReal);
    EXPECT_EQ(back.legacy, 0);
}

TEST(PermissionRecord, AcceptsAnyWhiteSpaceBetweenFields) {
    std::string text = "v2\n644 12\t34 " + std::string(kBoot) + " " + kNode + "\n\n" + kReal + "  \n";
    permission_record rec = sentinel();
    ASSERT_EQ(parse_permission_record(text.c_str(), &rec), 0);
    EXPECT_EQ(rec.mode, 0644u);
}

TEST(PermissionRecord, ReadsLegacyRecordsAsThePanel0Node) {
    permission_record rec = sentinel();
    ASSERT_EQ(parse_permission_record(" 644\n", &rec), 0);
    EXPECT_EQ(rec.legacy, 1);
    EXPECT_EQ(rec.mode, 0644u);
    EXPECT_STREQ(rec.node_path, LEGACY_NODE_PATH);
    EXPECT_STREQ(rec.boot_id, "");
    EXPECT_EQ(rec.dev, 0u);
}

TEST(PermissionRecord, RefusesMalformedTextAndLeavesOutputAlone) {
    for (const std::string& text :
         {v2("1000"), v2("664") + "extra", v2("664", "0123abcd-4567-89ab-cdef-0123456789a"),
          v2("664", "0123abcd4-567-89ab-cdef-0123456789ab"),
          v2("664", "0123abcd-4567-89ab-cdef-0123456789abc"),
          v2("664", kBoot, "/sys/class/backlight/panel1/brightness"),
          v2("664", kBoot, kNode, "/sys/class/backlight/panel0/brightness"), v2("9"),
          std::string("v2\n664\n12 34\n") + kBoot + "\n" + kNode + "\n",
          std::string("644 x"), std::string("x"), std::string(""), std::string("1000"),
          std::string("v2 664"), std::string("-1"), std::string("99999999999")}) {
        permission_record rec = sentinel();
        errno = 0;
        EXPECT_EQ(parse_permission_record(text.c_str(), &rec), -1) << text;
        EXPECT_EQ(errno, EINVAL) << text;
        EXPECT_EQ(rec.mode, 0777u) << text;
        EXPECT_STREQ(rec.node_path, "sentinel") << text;
    }
}

TEST(PermissionRecord, MatchesOnlyTheRecordedNode) {
    permission_record rec = {};
    ASSERT_EQ(parse_permission_record(v2("664").c_str(), &rec), 0);
    EXPECT_TRUE(record_matches_node(&rec, kReal, 12, 34));
    EXPECT_FALSE(record_matches_node(&rec, kReal, 12, 35));
    EXPECT_FALSE(record_matches_node(&rec, kReal, 13, 34));
    EXPECT_FALSE(record_matches_node(&rec, "/sys/devices/other/brightness", 12, 34));
    permission_record legacy = {};
    ASSERT_EQ(parse_permission_record("644", &legacy), 0);
    EXPECT_TRUE(record_matches_node(&legacy, "/sys/devices/anything", 1, 2));
    EXPECT_FALSE(record_matches_node(&legacy, "/tmp/brightness", 1, 2));
}

}  // namespace
