#include "node/node_value.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

namespace {

int parse(const std::string& text) {
    return parse_sysfs_value(text.data(), text.size());
}

TEST(SysfsValue, AcceptsKernelStyleTexts) {
    EXPECT_EQ(parse("128\n"), 128);
    EXPECT_EQ(parse("0\n"), 0);
    EXPECT_EQ(parse("  42"), 42);
    EXPECT_EQ(parse("+7"), 7);
    EXPECT_EQ(parse("65535"), 65535);
    EXPECT_EQ(parse("\t9\r\n"), 9);
    EXPECT_EQ(parse("77" + std::string(29, ' ')), 77);  // 31 bytes
}

TEST(SysfsValue, RefusesEverythingElse) {
    for (const std::string& text :
         {std::string("65536"), std::string("-1"), std::string("12abc"), std::string("0x10"),
          std::string("42\v"), std::string("4 2"), std::string("12345678901234567890"),
          std::string(""), std::string("   "), std::string("\n\n"), std::string("4\0", 2),
          std::string(32, '1')}) {
        EXPECT_EQ(parse(text), -1) << text;
    }
}

TEST(SysfsValue, ReportsOverflowAsErange) {
    errno = 0;
    EXPECT_EQ(parse("99999999999999999999"), -1);
    EXPECT_EQ(errno, ERANGE);
    errno = 5;
    EXPECT_EQ(parse("abc"), -1);
    EXPECT_EQ(errno, 0);
}

}  // namespace
