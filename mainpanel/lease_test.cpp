#include "mainpanel/lease.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>


namespace {

const int64_t kNow = 100000;
const int32_t kMax = 255;

lease_record sentinel() {
    lease_record rec = {};
    strcpy(rec.session, "sentinel");
    rec.pid = -5;
    return rec;
}

// As the daemon sees the file: what one read of at most LEASE_READ_SIZE - 1
// bytes gives.
int parse(const std::string& text, lease_record* rec) {
    std::string head = text.substr(0, LEASE_READ_SIZE - 1);
    return judge_main_panel_lease_read(head.c_str(), head.size(), kNow, kMax, rec);
}

// A lease padded with blanks before its target to `size` bytes in all.
std::string padded(const std::string& target, size_t size) {
    std::string head = "s 1 100500 1";
    return head + std::string(size - head.size() - target.size() - 1, ' ') + target + "\n";
}

TEST(MainPanelLease, ParsesAValidLine) {
    lease_record rec = sentinel();
    ASSERT_TRUE(parse("hold-1_A 4242 104000 1 200\n", &rec));
    EXPECT_STREQ(rec.session, "hold-1_A");
    EXPECT_EQ(rec.pid, 4242);
    EXPECT_EQ(rec.deadline_ms, 104000);
    EXPECT_EQ(rec.active, 1);
    EXPECT_EQ(rec.target, 200);
}

TEST(MainPanelLease, FieldLimits) {
    struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"s 1 100001 1 10", true},     {"s 1 108000 0 255", true},  {"s 1 100000 1 10", false},
        {"s 1 108001 1 10", false},    {"s 1 99999 1 10", false},   {"s 1 100500 1 9", false},
        {"s 1 100500 1 256", false},   {"s 0 100500 1 10", false},  {"s -3 100500 1 10", false},
        {"s 1 100500 2 10", false},    {"s 1 100500 -1 10", false}, {"s 1 100500 1 10 x", false},
        {"s 1 100500 1 10   ", true},  {"s\t1\n100500  1\n\n10", true},
        {"s 1 100500 1", false},       {"", false},                 {"s.x 1 100500 1 10", false},
        {"s/x 1 100500 1 10", false},  {"s\xc3\xa9 1 100500 1 10", false},
        {"s 4294967297 100500 1 10", false},
        {"s 1 -9223372036854775808 1 10", false},
        {"s 1 9223372036854775807 1 10", false},
        {std::string(80, 'a') + " 1 100500 1 10", true},
        // An 81-character token shifts every field by one.
        {std::string(81, 'a') + " 1 100500 1 10", false},
        // The session is the first 80 characters: an 81st starts the pid,
        // and the shifted fields may still make a lease (pid 7 here) or,
        // one field too many, none.
        {std::string(80, 'a') + "7 100500 1 10", true},
        {std::string(80, 'a') + "7 4242 100500 1 10", false},
        // A read that fills the buffer may have cut the file: the 161-byte
        // lease's target 1000 would read as 100.
        {padded("100", 158), true},
        {padded("100", 159), false},
        {padded("1000", 161), false},
    };
    for (const auto& c : cases) {
        lease_record rec = sentinel();
        EXPECT_EQ(parse(c.text, &rec), c.valid ? 1 : 0) << c.text;
        if (!c.valid) {
            EXPECT_STREQ(rec.session, "sentinel") << "touched on failure: " << c.text;
        }
    }
}

TEST(MainPanelLease, SessionTokenRule) {
    EXPECT_TRUE(is_valid_session_token("a"));
    EXPECT_TRUE(is_valid_session_token("AZaz09_-"));
    EXPECT_TRUE(is_valid_session_token(std::string(80, 'x').c_str()));
    EXPECT_FALSE(is_valid_session_token(std::string(81, 'x').c_str()));
    EXPECT_FALSE(is_valid_session_token(""));
    EXPECT_FALSE(is_valid_session_token("a b"));
    EXPECT_FALSE(is_valid_session_token("a.b"));
    EXPECT_FALSE(is_valid_session_token("\xff"));
}

}  // namespace
