#include "common/scan.h"

#include <gtest/gtest.h>

namespace {

TEST(Scan, WordsSplitAtWidthLikeTheFormattedScan) {
    const char* p = "  abcdefgh xyz";
    char out[5];
    ASSERT_TRUE(scan_word(&p, out, 4));
    EXPECT_STREQ(out, "abcd");
    ASSERT_TRUE(scan_word(&p, out, 4));
    EXPECT_STREQ(out, "efgh");
    ASSERT_TRUE(scan_word(&p, out, 4));
    EXPECT_STREQ(out, "xyz");
    EXPECT_FALSE(scan_word(&p, out, 4));
}

TEST(Scan, NumbersRejectOverflowInsteadOfWrapping) {
    struct {
        const char* text;
        int ok;
        int32_t value;
    } cases[] = {
        {"42", 1, 42},          {" +7", 1, 7},        {"-2147483648", 1, INT32_MIN},
        {"2147483647", 1, INT32_MAX}, {"2147483648", 0, 0}, {"4294967297", 0, 0},
        {"-", 0, 0},            {"x1", 0, 0},         {"", 0, 0},
    };
    for (const auto& c : cases) {
        const char* p = c.text;
        int32_t v = -99;
        EXPECT_EQ(scan_i32(&p, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        } else {
            EXPECT_EQ(p, c.text) << "cursor moved on failure: " << c.text;
            EXPECT_EQ(v, -99);
        }
    }
    // The field form consumes a number that does not fit, and says so.
    struct {
        const char* text;
        int rc;
        size_t consumed;
    } fields[] = {{" 12 x", 1, 3}, {"4294967297 x", -1, 10}, {" -99999999999", -1, 13}, {" x", 0, 0}, {"-", 0, 0}};
    for (const auto& f : fields) {
        const char* p = f.text;
        int32_t v = 0;
        EXPECT_EQ(scan_i32_field(&p, &v), f.rc) << f.text;
        EXPECT_EQ(static_cast<size_t>(p - f.text), f.consumed) << f.text;
    }
    const char* big = "99999999999999999999";
    int64_t v64 = 0;
    EXPECT_FALSE(scan_i64(&big, &v64));
    const char* min64 = "-9223372036854775808";
    EXPECT_TRUE(scan_i64(&min64, &v64));
    EXPECT_EQ(v64, INT64_MIN);
}

TEST(Scan, OctalAndTrailingProbe) {
    const char* p = " 664 \n";
    uint32_t mode = 0;
    ASSERT_TRUE(scan_octal(&p, &mode));
    EXPECT_EQ(mode, 0664u);
    char c;
    EXPECT_FALSE(scan_char(&p, &c));
    const char* q = "8";
    EXPECT_FALSE(scan_octal(&q, &mode));
    const char* r = "12abc";
    int32_t v;
    ASSERT_TRUE(scan_i32(&r, &v));
    ASSERT_TRUE(scan_char(&r, &c));
    EXPECT_EQ(c, 'a');
}

}  // namespace
