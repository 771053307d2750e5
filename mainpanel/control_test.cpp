#include "mainpanel/control.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "mainpanel/health.h"
#include "mainpanel/hold.h"

namespace {

control_request parse(const char* line) {
    control_request req;
    memset(&req, 0x55, sizeof req);
    parse_control_request(line, &req);
    return req;
}

TEST(ControlRequest, ScanCountIsPartOfTheGrammar) {
    EXPECT_EQ(parse("STATUS\n").count, 1);
    EXPECT_EQ(parse("STOP abc\n").count, 2);
    control_request arm = parse("ARM sess-1 4242\n");
    EXPECT_EQ(arm.count, 3);
    EXPECT_STREQ(arm.command, "ARM");
    EXPECT_STREQ(arm.session, "sess-1");
    EXPECT_EQ(arm.number, 4242);
    EXPECT_EQ(parse("SET s 100 extra\n").count, 4);
    EXPECT_EQ(parse("SET s 100x\n").count, 4);
    EXPECT_EQ(parse("SET s x\n").count, 2);
    EXPECT_LT(parse("").count, 1);
    EXPECT_LT(parse("\n").count, 1);
    // A number that does not fit is neither wrapped into a valid pid nor
    // taken for a missing field: the request has three fields and fails.
    for (const char* line : {"ARM s 4294967297\n", "STOP s 99999999999\n", "SET s -99999999999\n"}) {
        control_request req = parse(line);
        EXPECT_EQ(req.count, 3) << line;
        EXPECT_TRUE(req.number_overflow) << line;
    }
    EXPECT_EQ(parse("STOP s 99999999999 x\n").count, 4);
    EXPECT_FALSE(parse("ARM s 2147483647\n").number_overflow);
}

TEST(ControlRequest, LongCommandWordsSplit) {
    control_request req = parse("STATUSSTATUSSTATUS\n");
    EXPECT_EQ(req.count, 2);
    EXPECT_STREQ(req.command, "STATUSSTATUSSTA");
    EXPECT_STREQ(req.session, "TUS");
}

TEST(StatusReply, ExactFormat) {
    daemon_state s;
    reset_daemon_state(&s);
    hold_clear(&s.hold);
    strcpy(s.node.node_path, "/sys/class/backlight/p/brightness");
    strcpy(s.node.canonical_path, "/sys/devices/x/p/brightness");
    s.node.maximum = 255;
    s.hold.armed = 1;
    strcpy(s.hold.session, "S");
    s.hold.target = 120;
    s.counters.write_attempts = 3;
    s.counters.write_successes = 2;
    s.counters.corrections = 1;
    s.counters.last_error = 34;
    char buf[REPLY_SIZE];
    int len = format_status_reply(buf, sizeof buf, &s, 1, "armed", 99);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)),
              "{\"ok\":true,\"reason\":\"armed\",\"backend\":\"raw_main_node\",\"native_build\":"
              "\"raw07-mirelodge\",\"path\":\"/sys/class/backlight/p/brightness\","
              "\"canonical_path\":\"/sys/devices/x/p/brightness\",\"target\":120,\"actual\":99,"
              "\"maximum\":255,\"armed\":true,\"paused\":false,\"session\":\"S\","
              "\"write_attempts\":3,\"write_successes\":2,\"corrections\":1,\"errno\":34}\n");
}

TEST(HealthRecord, LineFormat) {
    char buf[HEALTH_LINE_SIZE];
    int len = format_health_record(buf, sizeof buf, "S1", 1, 0, 123456);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "S1 1 0 123456\n");
    len = format_health_record(buf, sizeof buf, "", 0, 116, 7);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), " 0 116 7\n");
    std::string longest(80, 's');
    len = format_health_record(buf, sizeof buf, longest.c_str(), 1, -2147483647 - 1,
                               INT64_MIN);
    EXPECT_GT(len, 0);
    EXPECT_LE(len, 126);
}

}  // namespace
