#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "client/control/exit_status.h"
#include "client/control/lines.h"
#include "mainpanel/control.h"
#include "mainpanel/lease.h"
#include "outdoor/outdoor_lease.h"

namespace {

const int64_t kNow = 100000;

TEST(CtlMainLease, FormatsTheFiveFieldsAndTheDaemonReadsThemBack) {
    std::string line, error;
    ASSERT_TRUE(
        ctl::format_main_panel_lease("sess-1", 1234, kNow + 4000, true, 120, kNow, &line, &error))
        << error;
    EXPECT_EQ(line, "sess-1 1234 104000 1 120\n");

    lease_record rec = {};
    ASSERT_TRUE(parse_main_panel_lease(line.c_str(), kNow, 255, &rec));
    EXPECT_STREQ(rec.session, "sess-1");
    EXPECT_EQ(rec.pid, 1234);
    EXPECT_EQ(rec.deadline_ms, kNow + 4000);
    EXPECT_EQ(rec.active, 1);
    EXPECT_EQ(rec.target, 120);
}

TEST(CtlMainLease, PausedWritesActiveZero) {
    std::string line, error;
    ASSERT_TRUE(ctl::format_main_panel_lease("s", 9, kNow + 1, false, 10, kNow, &line, &error));
    EXPECT_EQ(line, "s 9 100001 0 10\n");
    lease_record rec = {};
    ASSERT_TRUE(parse_main_panel_lease(line.c_str(), kNow, 10, &rec));
    EXPECT_EQ(rec.active, 0);
}

TEST(CtlMainLease, DeadlineWindowIsTheDaemons) {
    std::string line, error;
    EXPECT_TRUE(ctl::format_main_panel_lease("s", 9, kNow + LEASE_MAX_AHEAD_MS, true, 100, kNow,
                                             &line, &error));
    EXPECT_FALSE(ctl::format_main_panel_lease("s", 9, kNow + LEASE_MAX_AHEAD_MS + 1, true, 100,
                                              kNow, &line, &error));
    EXPECT_NE(error.find("would not accept"), std::string::npos) << error;
    EXPECT_FALSE(ctl::format_main_panel_lease("s", 9, kNow, true, 100, kNow, &line, &error));
}

TEST(CtlMainLease, RefusesWhatTheDaemonRefuses) {
    std::string line = "unchanged", error;
    EXPECT_FALSE(ctl::format_main_panel_lease("s", 9, kNow + 10, true, 9, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_main_panel_lease("s", 0, kNow + 10, true, 50, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_main_panel_lease("a.b", 9, kNow + 10, true, 50, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_main_panel_lease("", 9, kNow + 10, true, 50, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_main_panel_lease("a b", 9, kNow + 10, true, 50, kNow, &line, &error));
    // 81 characters would be split by the daemon's scanner.
    EXPECT_FALSE(ctl::format_main_panel_lease(std::string(81, 'x'), 9, kNow + 10, true, 50, kNow,
                                              &line, &error));
    EXPECT_EQ(line, "unchanged");
}

TEST(CtlMainLease, LongestLineStillFitsTheDaemonsRead) {
    std::string line, error;
    std::string session(SESSION_MAX, 'Z');
    ASSERT_TRUE(ctl::format_main_panel_lease(session, INT32_MAX, INT64_MAX, true, 65535,
                                             INT64_MAX - 1, &line, &error))
        << error;
    EXPECT_LT(line.size(), static_cast<size_t>(LEASE_READ_SIZE - 1)) << "a read that fills the buffer is no lease";
}

TEST(CtlOutdoorLease, V1RoundTrip) {
    std::string line, error;
    ASSERT_TRUE(ctl::format_outdoor_lease(false, 1234, kNow + 1000, 500, 1, kNow, &line, &error))
        << error;
    EXPECT_EQ(line, "v1 1234 101000 500 1\n");
    outdoor_lease_record rec = {};
    ASSERT_TRUE(parse_outdoor_lease(line.data(), line.size(), kNow, &rec));
    EXPECT_EQ(rec.pid, 1234);
    EXPECT_EQ(rec.held, 1);
    EXPECT_EQ(rec.is_v2, 0);
    EXPECT_EQ(rec.ratio_permille, 500);
    EXPECT_EQ(rec.deadline_ms, kNow + 1000);
}

TEST(CtlOutdoorLease, V2RoundTrip) {
    std::string line, error;
    ASSERT_TRUE(ctl::format_outdoor_lease(true, 77, kNow + 1500, 0, 0, kNow, &line, &error))
        << error;
    EXPECT_EQ(line, "v2 77 101500 0 0\n");
    outdoor_lease_record rec = {};
    ASSERT_TRUE(parse_outdoor_lease(line.data(), line.size(), kNow, &rec));
    EXPECT_EQ(rec.is_v2, 1);
    EXPECT_EQ(rec.level, 0);
    EXPECT_EQ(rec.held, 0);

    ASSERT_TRUE(ctl::format_outdoor_lease(true, 77, kNow + 1, 300, 1, kNow, &line, &error));
    ASSERT_TRUE(parse_outdoor_lease(line.data(), line.size(), kNow, &rec));
    EXPECT_EQ(rec.level, 300);
}

TEST(CtlOutdoorLease, RefusesWhatTheDaemonRefuses) {
    std::string line, error;
    EXPECT_FALSE(ctl::format_outdoor_lease(false, 1, kNow + 1501, 5, 1, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_outdoor_lease(false, 1, kNow, 5, 1, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_outdoor_lease(false, 1, kNow + 10, 1001, 1, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_outdoor_lease(true, 1, kNow + 10, 5, 1, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_outdoor_lease(true, 1, kNow + 10, 65536, 1, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_outdoor_lease(false, 1, kNow + 10, 5, 2, kNow, &line, &error));
    EXPECT_FALSE(ctl::format_outdoor_lease(false, 0, kNow + 10, 5, 1, kNow, &line, &error));
    EXPECT_FALSE(error.empty());
}

ctl::request_fields make_request(ctl::request_kind kind, const char* session, int32_t pid,
                                 int32_t value) {
    ctl::request_fields o;
    o.kind = kind;
    o.session = session;
    o.pid = pid;
    o.value = value;
    return o;
}

void expect_request(const ctl::request_fields& o, const char* expected, const char* word, int count) {
    std::string line, error;
    ASSERT_TRUE(ctl::format_request(o, &line, &error)) << error;
    EXPECT_EQ(line, expected);
    control_request req = {};
    parse_control_request(line.c_str(), &req);
    EXPECT_STREQ(req.command, word);
    EXPECT_EQ(req.count, count);
}

TEST(CtlRequest, EveryCommandLine) {
    expect_request(make_request(ctl::request_kind::status, "", 0, 0), "STATUS\n", "STATUS", 1);
    expect_request(make_request(ctl::request_kind::arm, "s1", 4321, 0), "ARM s1 4321\n", "ARM", 3);
    expect_request(make_request(ctl::request_kind::set, "s1", 4321, 120), "SET s1 120\n", "SET", 3);
    expect_request(make_request(ctl::request_kind::stop, "", 0, 0), "STOP\n", "STOP", 1);
    expect_request(make_request(ctl::request_kind::stop, "s1", 0, 0), "STOP s1\n", "STOP", 2);
}

TEST(CtlRequest, ArgumentsReadBackThroughTheDaemonsScanner) {
    std::string line, error;
    ASSERT_TRUE(
        ctl::format_request(make_request(ctl::request_kind::arm, "Ab_-9", 77, 0), &line, &error));
    control_request req = {};
    parse_control_request(line.c_str(), &req);
    EXPECT_STREQ(req.session, "Ab_-9");
    EXPECT_EQ(req.number, 77);
}

TEST(CtlRequest, RefusesWhatWouldNotReadBack) {
    std::string line, error;
    EXPECT_FALSE(
        ctl::format_request(make_request(ctl::request_kind::arm, "a b", 1, 0), &line, &error));
    EXPECT_FALSE(ctl::format_request(
        make_request(ctl::request_kind::set, std::string(81, 'q').c_str(), 1, 50), &line, &error));
    // A kind that is no command of the control socket (the command line's
    // lease, say, which never reaches this room).
    const auto not_a_request = static_cast<ctl::request_kind>(4);
    EXPECT_FALSE(ctl::format_request(make_request(not_a_request, "s", 1, 50), &line, &error));
}

TEST(CtlReply, ExitCodeFollowsOk) {
    EXPECT_EQ(ctl::reply_exit_code("{\"ok\":true,\"reason\":\"status\"}\n"), ctl::EXIT_OK);
    EXPECT_EQ(ctl::reply_exit_code("{\"ok\":false,\"reason\":\"stale_or_invalid_request\"}\n"),
              ctl::EXIT_REFUSED);
    EXPECT_EQ(ctl::reply_exit_code(""), ctl::EXIT_NO_DAEMON);
    EXPECT_EQ(ctl::reply_exit_code("{\"ok\":tru"), ctl::EXIT_NO_DAEMON);
    EXPECT_EQ(ctl::reply_exit_code("garbage"), ctl::EXIT_NO_DAEMON);
}

TEST(CtlAddress, AbstractNameWithExactLength) {
    sockaddr_un addr;
    socklen_t len = 0;
    ctl::fill_control_address(&addr, &len);
    EXPECT_EQ(len, 28u);
    EXPECT_EQ(addr.sun_family, AF_UNIX);
    EXPECT_EQ(addr.sun_path[0], '\0');
    EXPECT_EQ(memcmp(addr.sun_path + 1, "veltaris.main.panel.raw04", 25), 0);
}

}  // namespace
