#include "client/probe/probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ctl::probe_node;

probe_node usable(const std::string& cls, const std::string& name) {
    probe_node n;
    n.device_class = cls;
    n.name = name;
    n.path = "/sys/class/" + cls + "/" + name + "/brightness";
    n.accepted = true;
    n.maximum = 255;
    n.candidate = true;
    return n;
}

probe_node refused(const std::string& cls, const std::string& name) {
    probe_node n = usable(cls, name);
    n.accepted = false;
    n.candidate = false;
    n.refusal = "deny word (not the main panel)";
    return n;
}

struct choice_case {
    const char* what;
    std::vector<probe_node> nodes;
    int index;
    bool ambiguous;
};

TEST(CtlProbe, ChoiceRule) {
    probe_node low = usable("backlight", "panel0-backlight");
    low.maximum = 10;
    low.candidate = false;
    const choice_case cases[] = {
        {"none at all", {}, -1, false},
        {"only refused nodes", {refused("backlight", "kbd"), refused("leds", "white")}, -1, false},
        {"one backlight among refused ones",
         {refused("backlight", "kbd"), usable("backlight", "panel0-backlight"), refused("leds", "white")},
         1, false},
        {"backlight before leds", {usable("leds", "lcd-backlight"), usable("backlight", "intel_backlight")}, 1,
         false},
        {"two backlights are ambiguous, leds are not looked at",
         {usable("backlight", "a"), usable("backlight", "b"), usable("leds", "lcd")}, -1, true},
        {"a maximum below 11 is not usable", {low, usable("leds", "lcd-backlight")}, 1, false},
        {"two leds panels", {usable("leds", "lcd"), usable("leds", "mdss-bl")}, -1, true},
    };
    for (const choice_case& c : cases) {
        ctl::probe_choice got = ctl::choose_main_panel(c.nodes);
        EXPECT_EQ(got.index, c.index) << c.what << ": " << got.reason;
        EXPECT_EQ(got.ambiguous, c.ambiguous) << c.what;
        EXPECT_FALSE(got.reason.empty()) << c.what;
    }
}

TEST(CtlProbe, FlockHolderFromProcLocks) {
    const std::string locks =
        "1: POSIX  ADVISORY  WRITE 900 00:1f:77 0 EOF\n"
        "2: FLOCK  ADVISORY  WRITE 4321 00:1f:1234 0 EOF\n"
        "2: -> FLOCK  ADVISORY  WRITE 555 00:1f:99 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 777 fd:0a:1234 0 EOF\n";
    EXPECT_EQ(ctl::flock_holder(locks, 0x00, 0x1f, 1234), 4321);
    EXPECT_EQ(ctl::flock_holder(locks, 0xfd, 0x0a, 1234), 777);
    EXPECT_EQ(ctl::flock_holder(locks, 0x00, 0x1f, 77), 0) << "POSIX locks are not instance locks";
    EXPECT_EQ(ctl::flock_holder(locks, 0x00, 0x1f, 99), 0) << "a waiter holds nothing";
    EXPECT_EQ(ctl::flock_holder(locks, 0x00, 0x1f, 123), 0);
    EXPECT_EQ(ctl::flock_holder("", 0, 0, 1), 0);
    // A table that fills the whole read may go on past it.
    EXPECT_EQ(ctl::lock_table_error(ctl::PROC_LOCKS_READ_MAX - 1, 0), 0);
    EXPECT_EQ(ctl::lock_table_error(ctl::PROC_LOCKS_READ_MAX, 0), EFBIG);
    EXPECT_EQ(ctl::lock_table_error(10, EIO), EIO);
}

TEST(CtlProbe, LeaseViews) {
    ctl::lease_view fresh = ctl::view_main_panel_lease("s1 42 10500 1 100\n", 10000, 255);
    EXPECT_TRUE(fresh.fields);
    EXPECT_TRUE(fresh.accepted);
    EXPECT_EQ(fresh.pid, 42);
    EXPECT_EQ(fresh.deadline_ms, 10500);
    ctl::lease_view expired = ctl::view_main_panel_lease("s1 42 9000 1 100\n", 10000, 255);
    EXPECT_TRUE(expired.fields);
    EXPECT_FALSE(expired.accepted);
    EXPECT_FALSE(ctl::view_main_panel_lease("s1 42 10500 1 300\n", 10000, 255).accepted);
    EXPECT_FALSE(ctl::view_main_panel_lease("garbage", 10000, 255).fields);
    // A pid that does not fit is no pid; wrapped, it would name process 1.
    EXPECT_FALSE(ctl::view_main_panel_lease("s1 4294967297 10500 1 100\n", 10000, 255).fields);
    EXPECT_FALSE(ctl::view_outdoor_lease("v1 4294967297 11000 500 1\n", 10000).fields);

    ctl::lease_view outdoor = ctl::view_outdoor_lease("v1 7 11000 500 1\n", 10000);
    EXPECT_TRUE(outdoor.accepted);
    EXPECT_EQ(outdoor.pid, 7);
    EXPECT_FALSE(ctl::view_outdoor_lease("v1 7 9999 500 1\n", 10000).accepted);
    std::string long_line = "v1 7 11000 500 1" + std::string(150, ' ');
    EXPECT_FALSE(ctl::view_outdoor_lease(long_line, 10000).accepted) << "159 bytes or more";
    std::string long_main = "s1 42 10500 1 100" + std::string(150, ' ');
    EXPECT_FALSE(ctl::view_main_panel_lease(long_main, 10000, 255).accepted) << "159 bytes or more";
}

TEST(CtlProbe, JsonEscapesEveryUnsafeByte) {
    EXPECT_EQ(ctl::json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(ctl::json_string(std::string("x\ny\x01\xc3", 5)), "\"x\\u000ay\\u0001\\u00c3\"");
}

TEST(CtlProbe, TableAndJsonShowVerdictsAndChoice) {
    ctl::probe_report report;
    report.nodes = {usable("backlight", "panel0-backlight"), refused("backlight", "kbd\x01")};
    report.nodes[0].mode = 0664;
    report.nodes[0].uid = 1000;
    report.nodes[0].gid = 1000;
    report.choice = ctl::choose_main_panel(report.nodes);
    report.state.push_back({"outdoor_daemon", "outdoor daemon", "running, pid 9", {{"running", "true"}}});
    report.unreadable.push_back("/data/adb/tavorin_module_workspace: Permission denied");
    std::string table = ctl::format_probe_table(report);
    EXPECT_NE(table.find("panel0-backlight"), std::string::npos) << table;
    EXPECT_NE(table.find("refused: deny word"), std::string::npos) << table;
    EXPECT_NE(table.find("kbd\\x01"), std::string::npos) << table;
    EXPECT_NE(table.find("0664"), std::string::npos) << table;
    EXPECT_NE(table.find("Main panel: /sys/class/backlight/panel0-backlight/brightness"), std::string::npos)
        << table;
    EXPECT_NE(table.find("outdoor daemon  running, pid 9"), std::string::npos) << table;
    EXPECT_NE(table.find("Could not read"), std::string::npos) << table;

    std::string json = ctl::format_probe_json(report);
    EXPECT_NE(json.find("\"main_panel\":{\"path\":\"/sys/class/backlight/panel0-backlight/brightness\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"outdoor_daemon\":{\"running\":true}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\":\"kbd\\u0001\""), std::string::npos) << json;
    EXPECT_EQ(json.find('\n'), json.size() - 1) << "one line";
}

}  // namespace
