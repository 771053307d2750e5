#include "outdoor/outdoor_lease.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

const int64_t kNow = 4000;

struct lease_row {
    const char* what;
    const char* text;
    int valid;
    outdoor_lease_record want;  // pid, held, ratio_permille, is_v2, level, deadline_ms
};

// A record no valid lease can produce, to see that failures leave it alone.
const outdoor_lease_record kSentinel = {-7, -7, -7, -7, -7, -7};

void expect_record(const outdoor_lease_record& got, const outdoor_lease_record& want) {
    EXPECT_EQ(got.pid, want.pid);
    EXPECT_EQ(got.held, want.held);
    EXPECT_EQ(got.ratio_permille, want.ratio_permille);
    EXPECT_EQ(got.is_v2, want.is_v2);
    EXPECT_EQ(got.level, want.level);
    EXPECT_EQ(got.deadline_ms, want.deadline_ms);
}

void check(const char* what, const std::string& text, int valid,
           const outdoor_lease_record& want) {
    SCOPED_TRACE(what);
    outdoor_lease_record got = kSentinel;
    ASSERT_EQ(parse_outdoor_lease(text.data(), text.size(), kNow, &got), valid);
    expect_record(got, valid ? want : kSentinel);
}

template <size_t N>
void check_rows(const lease_row (&rows)[N]) {
    for (const lease_row& row : rows) check(row.what, row.text, row.valid, row.want);
}

const outdoor_lease_record kHalf = {1234, 1, 500, 0, 0, 5000};
const outdoor_lease_record kNone = {};

TEST(OutdoorLeaseParse, DeadlineMustLieAtMost1500MsAhead) {
    const lease_row rows[] = {
        {"deadline equal to now has expired", "v1 1234 4000 500 1", 0, kNone},
        {"deadline in the past", "v1 1234 3999 500 1", 0, kNone},
        {"one millisecond ahead", "v1 1234 4001 500 1", 1, {1234, 1, 500, 0, 0, 4001}},
        {"exactly 1500 ahead", "v1 1234 5500 500 1", 1, {1234, 1, 500, 0, 0, 5500}},
        {"1501 ahead is too far", "v1 1234 5501 500 1", 0, kNone},
        {"the most negative deadline", "v1 1234 -9223372036854775808 500 1", 0, kNone},
        {"the largest deadline", "v1 1234 9223372036854775807 500 1", 0, kNone},
    };
    check_rows(rows);
}

TEST(OutdoorLeaseParse, LineShapeAndTrailingText) {
    const lease_row rows[] = {
        {"plain line", "v1 1234 5000 500 1", 1, kHalf},
        {"trailing newline", "v1 1234 5000 500 1\n", 1, kHalf},
        {"trailing blanks and CRLF", "v1 1234 5000 500 1  \r\n", 1, kHalf},
        {"fields split by runs of white space", "v1  1234\t5000\n500 \n 1", 1, kHalf},
        {"explicit plus signs", "v1 +1234 +5000 +500 +1", 1, kHalf},
        {"a further word", "v1 1234 5000 500 1 x", 0, kNone},
        {"a further number", "v1 1234 5000 500 1 0", 0, kNone},
        {"a further word after the newline", "v1 1234 5000 500 1\nx", 0, kNone},
        {"missing held", "v1 1234 5000 500", 0, kNone},
        {"version only", "v1 ", 0, kNone},
        {"non-numeric pid", "v1 abc 5000 500 1", 0, kNone},
        {"held glued to text", "v1 1234 5000 500 1x", 0, kNone},
    };
    check_rows(rows);
}

TEST(OutdoorLeaseParse, VersionIsExactlyV1OrV2AndOneBlank) {
    const lease_row rows[] = {
        {"capital V", "V1 1234 5000 500 1", 0, kNone},
        {"v3", "v3 1234 5000 500 1", 0, kNone},
        {"v0", "v0 1234 5000 500 1", 0, kNone},
        {"tab after version", "v1\t1234 5000 500 1", 0, kNone},
        {"newline after version", "v1\n1234 5000 500 1", 0, kNone},
        {"longer version word", "v12 1234 5000 500 1", 0, kNone},
        {"leading blank", " v1 1234 5000 500 1", 0, kNone},
    };
    check_rows(rows);
}

TEST(OutdoorLeaseParse, ValueRangesDependOnVersion) {
    const lease_row rows[] = {
        {"v2 level 0 means the maximum", "v2 1234 5000 0 1", 1, {1234, 1, 1000, 1, 0, 5000}},
        {"v2 level 10", "v2 1234 5000 10 1", 1, {1234, 1, 1000, 1, 10, 5000}},
        {"v2 level 65535", "v2 1234 5000 65535 1", 1, {1234, 1, 1000, 1, 65535, 5000}},
        {"v2 level 5", "v2 1234 5000 5 1", 0, kNone},
        {"v2 level 9", "v2 1234 5000 9 1", 0, kNone},
        {"v2 level 65536", "v2 1234 5000 65536 1", 0, kNone},
        {"v2 level -1", "v2 1234 5000 -1 1", 0, kNone},
        {"v1 ratio 0 is in force but asks nothing", "v1 1234 5000 0 1", 1,
         {1234, 1, 0, 0, 0, 5000}},
        {"v1 ratio 1000", "v1 1234 5000 1000 1", 1, {1234, 1, 1000, 0, 0, 5000}},
        {"v1 ratio 1001", "v1 1234 5000 1001 1", 0, kNone},
        {"v1 ratio -1", "v1 1234 5000 -1 1", 0, kNone},
    };
    check_rows(rows);
}

TEST(OutdoorLeaseParse, PidAndHeldRanges) {
    const lease_row rows[] = {
        {"held 0", "v1 1234 5000 500 0", 1, {1234, 0, 500, 0, 0, 5000}},
        {"held 2", "v1 1234 5000 500 2", 0, kNone},
        {"held -1", "v1 1234 5000 500 -1", 0, kNone},
        {"pid 1", "v1 1 5000 500 1", 1, {1, 1, 500, 0, 0, 5000}},
        {"pid 0", "v1 0 5000 500 1", 0, kNone},
        {"pid -1", "v1 -1 5000 500 1", 0, kNone},
        {"pid 2147483647", "v1 2147483647 5000 500 1", 1, {2147483647, 1, 500, 0, 0, 5000}},
    };
    check_rows(rows);
}

// Values that a wrapping conversion would turn into acceptable ones.
TEST(OutdoorLeaseParse, OverflowingNumbersAreRefused) {
    const lease_row rows[] = {
        {"pid 2^32 + 1234", "v1 4294968530 5000 500 1", 0, kNone},
        {"pid 2^31", "v1 2147483648 5000 500 1", 0, kNone},
        {"deadline 2^64 + 5000", "v1 1234 18446744073709556616 500 1", 0, kNone},
        {"ratio 2^32 + 500", "v1 1234 5000 4294967796 1", 0, kNone},
        {"held 2^32 + 1", "v1 1234 5000 500 4294967297", 0, kNone},
    };
    check_rows(rows);
}

TEST(OutdoorLeaseParse, LengthLimit) {
    const std::string line = "v1 1234 5000 500 1";
    std::string at_limit = line + std::string(157 - line.size(), ' ') + "\n";
    ASSERT_EQ(at_limit.size(), 158u);
    check("158 bytes", at_limit, 1, kHalf);

    std::string over = line + std::string(158 - line.size(), ' ') + "\n";
    ASSERT_EQ(over.size(), 159u);
    check("159 bytes", over, 0, kNone);

    // Leading zeros keep the value; only the length decides.
    const std::string padded = "v1 " + std::string(140, '0') + "1234 5000 500 1";
    ASSERT_EQ(padded.size(), 158u);
    check("158 bytes of zero-padded pid", padded, 1, kHalf);
    const std::string one_more_zero = "v1 " + std::string(141, '0') + "1234 5000 500 1";
    ASSERT_EQ(one_more_zero.size(), 159u);
    check("159 bytes of zero-padded pid", one_more_zero, 0, kNone);

    check("empty", std::string(), 0, kNone);
}

TEST(OutdoorLeaseParse, TextNeedNotBeTerminated) {
    // Only len bytes count; what follows in memory is not part of the lease.
    const char text[] = "v1 1234 5000 500 1 extra";
    outdoor_lease_record got = kSentinel;
    ASSERT_EQ(parse_outdoor_lease(text, strlen("v1 1234 5000 500 1"), kNow, &got), 1);
    expect_record(got, kHalf);
}

struct cmdline_row {
    const char* what;
    const char* bytes;
    size_t len;
    int want;
};

#define CMDLINE(text) text, sizeof(text) - 1

TEST(OutdoorSystemServer, FirstCommandLineElementMustBeExact) {
    const cmdline_row rows[] = {
        {"exact", CMDLINE("system_server\0"), 1},
        {"with further arguments", CMDLINE("system_server\0--x\0"), 1},
        {"longer first element", CMDLINE("system_server_x\0"), 0},
        {"shorter first element", CMDLINE("system_serve\0"), 0},
        {"no NUL after the name", CMDLINE("system_serverX"), 0},
        {"name without terminator in range", CMDLINE("system_server"), 0},
        {"another process", CMDLINE("zygote64\0"), 0},
        {"empty", CMDLINE(""), 0},
    };
    for (const cmdline_row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(cmdline_is_system_server(row.bytes, row.len), row.want);
    }
}

}  // namespace
