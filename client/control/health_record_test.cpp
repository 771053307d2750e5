// The daemons' health records as a client reads them. The tests keep the
// names they had beside the probe and the module watcher, which read the
// records before this room did: CI logs and the mutation run's reports
// know them by those names.
#include <gtest/gtest.h>

#include <string>

#include "client/control/health_record.h"
#include "client/control/record_samples.h"
#include "mainpanel/health.h"
#include "outdoor/outdoor_health.h"
#include "process/protocol.h"

namespace {

using record_samples::main_line;
using record_samples::outdoor_line;

TEST(CtlModule, RecordsAsTheDaemonsWriteThem) {
    ctl::outdoor_record o;
    ASSERT_TRUE(ctl::parse_outdoor_record(outdoor_line(true, false, 100, 177, "boosted"), &o));
    EXPECT_EQ(o.pid, 321);
    EXPECT_TRUE(o.held);
    EXPECT_FALSE(o.inhibited);
    EXPECT_EQ(o.base, 100);
    EXPECT_EQ(o.target, 177);
    EXPECT_EQ(o.reason, "boosted");
    EXPECT_EQ(o.uptime_ms, 5000);
    EXPECT_FALSE(ctl::parse_outdoor_record("{\"pid\":1,\"reason\":\"waiting\",\"uptime_ms\":4242}\n", &o));
    EXPECT_FALSE(ctl::parse_outdoor_record("", &o));

    ctl::main_panel_record m;
    ASSERT_TRUE(ctl::parse_main_panel_record(main_line("s1", 1, 777), &m));
    EXPECT_EQ(m.session, "s1");
    EXPECT_EQ(m.holding, 1);
    EXPECT_EQ(m.time_ms, 777);
    ASSERT_TRUE(ctl::parse_main_panel_record(main_line("", 0, 5), &m)) << "no session";
    EXPECT_EQ(m.holding, 0);
    const std::string longest(SESSION_MAX, 's');
    ASSERT_TRUE(ctl::parse_main_panel_record(main_line(longest.c_str(), 1, 5), &m)) << "a session of full length";
    EXPECT_EQ(m.session, longest);
    EXPECT_FALSE(ctl::parse_main_panel_record(longest + "s 1 0 5\n", &m)) << "one byte longer";
    EXPECT_FALSE(ctl::parse_main_panel_record("s1 1 0\n", &m));
}

TEST(CtlProbe, HealthTimes) {
    EXPECT_EQ(ctl::main_panel_health_time("s1 1 0 12345\n"), 12345);
    EXPECT_EQ(ctl::main_panel_health_time(" 0 116 999\n"), 999) << "empty session";
    EXPECT_EQ(ctl::main_panel_health_time("s1 1 0\n"), -1);
    EXPECT_EQ(ctl::main_panel_health_time("s1 1 0 12345 x\n"), -1);
    EXPECT_EQ(ctl::main_panel_health_time("s1 1 0 99999999999999999999\n"), -1);
    EXPECT_EQ(ctl::outdoor_health_time("{\"pid\":1,\"reason\":\"waiting\",\"uptime_ms\":4242}\n"), 4242);
    EXPECT_EQ(ctl::outdoor_health_time("{}"), -1);
}

// After a power cut a health record may be missing, empty or old: each
// says that no daemon of this boot wrote it. Only text that is not one
// whole record is malformed.
TEST(CtlProbe, HealthRecordsAsAClientMustReadThem) {
    const std::string outdoor = "{\"pid\":7,\"held\":false,\"reason\":\"waiting\",\"uptime_ms\":4000}\n";
    struct {
        bool present;
        std::string text;
        bool outdoor;
        bool valid, this_boot;
        std::string verdict;
    } cases[] = {
        {false, "", false, false, false, "absent: no daemon of this boot"},
        {true, "", false, false, false, "empty: no daemon of this boot"},
        {true, "", true, false, false, "empty: no daemon of this boot"},
        {true, "s1 1 0 9000\n", false, true, false,
         "written by an earlier boot (stamped 4000 ms ahead of this boot's clock): no daemon of this boot"},
        {true, "s1 1 0 4000\n", false, true, true, "written 1000 ms ago"},
        {true, " 0 0 5000\n", false, true, true, "written 0 ms ago"},
        {true, outdoor, true, true, true, "written 1000 ms ago"},
        // Torn: cut short, or more than one line.
        {true, "s1 1 0 40", false, false, false, "malformed (torn, or not the daemon's)"},
        {true, "s1 1", false, false, false, "malformed (torn, or not the daemon's)"},
        {true, "s1 1 0 4000\ns1 1 0 4001\n", false, false, false, "malformed (torn, or not the daemon's)"},
        {true, outdoor.substr(0, outdoor.size() - 3), true, false, false, "malformed (torn, or not the daemon's)"},
        {true, "s1 1 0 4000\n", true, false, false, "malformed (torn, or not the daemon's)"},
    };
    for (const auto& c : cases) {
        ctl::health_view v = ctl::view_health_record(c.present, c.text, c.outdoor, 5000);
        EXPECT_EQ(v.present, c.present) << c.text;
        EXPECT_EQ(v.valid, c.valid) << c.text;
        EXPECT_EQ(v.this_boot, c.this_boot) << c.text;
        EXPECT_EQ(v.verdict, c.verdict) << c.text;
    }
}

}  // namespace
