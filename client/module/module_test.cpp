#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <string.h>

#include <string>

#include "client/control/record_samples.h"
#include "client/module/module.h"
#include "client/probe/probe.h"
#include "mainpanel/control.h"
#include "mainpanel/health.h"
#include "outdoor/outdoor_health.h"

namespace {

using record_samples::main_line;
using record_samples::outdoor_line;

ctl::module_state state(int32_t outdoor_pid, const std::string& outdoor, int32_t main_pid, const std::string& main) {
    ctl::module_state s;
    s.now_ms = 100000;
    s.outdoor_pid = outdoor_pid;
    s.outdoor_record_present = !outdoor.empty();
    s.outdoor_record = outdoor;
    s.main_pid = main_pid;
    s.main_record_present = !main.empty();
    s.main_record = main;
    return s;
}

TEST(CtlModule, DescriptionFollowsTheState) {
    const std::string fresh = main_line("s1", 1, 100000 - 3000);
    struct description_case {
        const char* what;
        ctl::module_state state;
        const char* text;
    };
    const description_case cases[] = {
        {"nothing yet", state(0, "", 0, ""), "Outdoor: not running | Main panel: not holding"},
        {"starting", state(9, "", 0, ""), "Outdoor: starting | Main panel: not holding"},
        {"waiting", state(9, outdoor_line(false, false, 0, 0, "waiting"), 0, ""), "Outdoor: waiting | Main panel: not holding"},
        {"released", state(9, outdoor_line(false, false, 0, 0, "released"), 0, ""), "Outdoor: waiting | Main panel: not holding"},
        {"boosting", state(9, outdoor_line(true, false, 100, 177, "boosted"), 0, ""),
         "Outdoor: boosting 100->177 | Main panel: not holding"},
        {"stepped aside", state(9, outdoor_line(false, true, 100, 177, "system_override"), 0, ""),
         "Outdoor: stepped aside (system_override) | Main panel: not holding"},
        {"stopped, the lock not yet let go", state(9, outdoor_line(false, false, 0, 0, "stopped"), 0, ""),
         "Outdoor: stopped | Main panel: not holding"},
        {"stopped by a node change", state(0, outdoor_line(false, false, 0, 0, "node_changed"), 0, ""),
         "Outdoor: stopped (node_changed) | Main panel: not holding"},
        {"killed without its last record", state(0, outdoor_line(true, false, 100, 177, "boosted"), 0, ""),
         "Outdoor: not running | Main panel: not holding"},
        {"holding", state(9, outdoor_line(false, false, 0, 0, "waiting"), 12, fresh),
         "Outdoor: waiting | Main panel: holding (platform: s1)"},
        {"the owner's hold", state(9, "", 12, main_line("owner", 1, 100000 - 3000)),
         "Outdoor: starting | Main panel: holding (owner)"},
        {"lock table unreadable: the record decides", state(-1, "", -1, fresh),
         "Outdoor: starting | Main panel: holding (platform: s1)"},
        {"record stale", state(0, "", 12, main_line("s1", 1, 100000 - 4001)), "Outdoor: not running | Main panel: not holding"},
        {"daemon gone", state(0, "", 0, fresh), "Outdoor: not running | Main panel: not holding"},
        {"hold ended", state(0, "", 12, main_line("s1", 0, 100000)), "Outdoor: not running | Main panel: not holding"},
        {"record of another boot", state(0, "", 12, main_line("s1", 1, 900000)),
         "Outdoor: not running | Main panel: not holding"},
    };
    for (const description_case& c : cases) EXPECT_EQ(ctl::module_description(c.state), c.text) << c.what;
}

TEST(CtlModule, TimedLookOnlyWhileHolding) {
    EXPECT_EQ(ctl::module_recheck_at(state(0, "", 12, main_line("s1", 1, 99000))),
              99000 + HEALTH_PERIOD_MS + ctl::MAIN_PANEL_STALE_MARGIN_MS + 1);
    EXPECT_EQ(ctl::module_recheck_at(state(0, "", 12, main_line("s1", 0, 99000))), -1);
    EXPECT_EQ(ctl::module_recheck_at(state(9, outdoor_line(true, false, 1, 2, "boosted"), 0, "")), -1);
    EXPECT_EQ(ctl::main_panel_holder(12, 9), 12);
    EXPECT_EQ(ctl::main_panel_holder(9, 9), 0) << "the outdoor daemon's instant";
    EXPECT_EQ(ctl::main_panel_holder(-1, 9), -1);
}

TEST(CtlModule, OnlyTheDescriptionLineChanges) {
    const std::string prop = "id=veltaris\nname=N\ndescription=old text\nxdescription=kept\nauthor=a\n";
    EXPECT_EQ(ctl::replace_description(prop, "Outdoor: waiting"),
              "id=veltaris\nname=N\ndescription=Outdoor: waiting\nxdescription=kept\nauthor=a\n");
    EXPECT_EQ(ctl::replace_description("id=v\ndescription=a\n", "b\nc\rd"), "id=v\ndescription=b c d\n");
    // What may be a module.prop half copied by a manager's update is left
    // as it is: a description would be written over the fields yet to come.
    for (const char* partial : {"", "id=v\nauthor=a\n", "id=v\ndescription=a", "name=N\ndescription=a\n",
                                "id=v\nxdescription=a\n", "xid=v\ndescription=a\n", "id=v\ndescription=a\nversion=v1"})
        EXPECT_EQ(ctl::replace_description(partial, "x"), partial) << partial;
    EXPECT_EQ(ctl::replace_description("description=a\nid=v\n", "x"), "description=x\nid=v\n");
    EXPECT_EQ(ctl::replace_description(ctl::replace_description(prop, "x"), "x"), ctl::replace_description(prop, "x"));
    EXPECT_TRUE(ctl::is_stop_flag("disable"));
    EXPECT_TRUE(ctl::is_stop_flag("remove"));
    EXPECT_FALSE(ctl::is_stop_flag("update"));
    EXPECT_FALSE(ctl::is_stop_flag("disabled"));
}

// What module-watch prints stays a few lines however long it runs; its
// last line always comes.
TEST(CtlModule, WatcherOutputIsBounded) {
    long said = 0;
    int printed = 0;
    std::string dropped;
    for (int i = 0; i < 1000; ++i) {
        std::string line = ctl::module_watch_line(&said, "cannot replace", false);
        if (line.empty()) continue;
        ++printed;
        if (line.find("dropped") != std::string::npos) dropped = line;
    }
    EXPECT_EQ(printed, ctl::MODULE_WATCH_LINES_MAX + 1);
    EXPECT_EQ(dropped, "module-watch: further lines dropped (more than 32)");
    EXPECT_EQ(ctl::module_watch_line(&said, "ended", true), "module-watch: ended");
    said = 0;
    EXPECT_EQ(ctl::module_watch_line(&said, "a", false), "module-watch: a");
}

// The module folder's removal is watched from the folder that holds it.
TEST(CtlModule, FolderGoneFromItsParent) {
    struct {
        const char* dir;
        const char* parent;  // null: no pair
        const char* name;
    } const dirs[] = {{"/data/adb/modules/veltaris", "/data/adb/modules", "veltaris"},
                      {"/data/adb/modules//veltaris//", "/data/adb/modules", "veltaris"},
                      {"/veltaris", "/", "veltaris"},
                      {"//veltaris", "/", "veltaris"},
                      {"/", nullptr, nullptr},
                      {"veltaris", nullptr, nullptr},
                      {"", nullptr, nullptr}};
    for (const auto& d : dirs) {
        std::string parent = "-", name = "-";
        EXPECT_EQ(ctl::split_module_dir(d.dir, &parent, &name), d.parent != nullptr) << d.dir;
        if (d.parent) {
            EXPECT_EQ(parent, d.parent) << d.dir;
            EXPECT_EQ(name, d.name) << d.dir;
        }
    }
    struct {
        uint32_t mask;
        const char* name;
        bool ends;
    } const events[] = {{IN_DELETE | IN_ISDIR, "veltaris", true},
                        {IN_MOVED_FROM | IN_ISDIR, "veltaris", true},
                        {IN_DELETE | IN_ISDIR, "other", false},
                        {IN_DELETE | IN_ISDIR, "veltaris2", false},
                        {IN_DELETE | IN_ISDIR, "velt", false},
                        {IN_DELETE | IN_ISDIR, "veltarix", false},
                        {IN_CREATE | IN_ISDIR, "veltaris", false},
                        {IN_MOVED_TO | IN_ISDIR, "veltaris", false},
                        {IN_IGNORED, "", false},
                        {IN_DELETE_SELF, "", true},
                        {IN_MOVE_SELF, "", true},
                        {IN_UNMOUNT, "", true}};
    for (const auto& e : events)
        EXPECT_EQ(ctl::parent_event_ends_folder(e.mask, e.name, "veltaris"), e.ends) << std::hex << e.mask << " " << e.name;
}

TEST(CtlModule, SummaryLines) {
    daemon_state d = {};
    snprintf(d.hold.session, sizeof d.hold.session, "s1");
    d.hold.target = 120;
    d.hold.armed = 1;
    char reply[REPLY_SIZE];
    ASSERT_GT(format_status_reply(reply, sizeof reply, &d, 1, "status", 118), 0);
    EXPECT_EQ(ctl::summarize_status_reply(reply), "armed, target 120, node shows 118, session s1");
    d.hold.armed = 0;
    d.hold.session[0] = '\0';
    ASSERT_GT(format_status_reply(reply, sizeof reply, &d, 1, "status", 90), 0);
    EXPECT_EQ(ctl::summarize_status_reply(reply), "not armed, node shows 90");
    EXPECT_EQ(ctl::summarize_status_reply(""), "no status line");

    ctl::probe_report report;
    report.choice.reason = "no usable node in the backlight or leds class";
    report.service = state(9, outdoor_line(true, false, 100, 177, "boosted"), 0, "");
    report.selinux.mode = "disabled";
    report.selinux.connect[0].reason = report.selinux.connect[1].reason = "no selinuxfs: SELinux is off";
    EXPECT_EQ(ctl::format_probe_summary(report, ""),
              "Node: none (no usable node in the backlight or leds class)\n"
              "Daemons: outdoor running (pid 9), main panel not running\n"
              "Outdoor: boosting 100->177\n"
              "Main panel: not holding\n"
              "SELinux: disabled\n"
              "Control socket: system_server: unknown (no selinuxfs: SELinux is off)\n"
              "Control socket: system_app: unknown (no selinuxfs: SELinux is off)\n"
              "Log: /data/adb/tavorin_module_workspace/service.log\n");
}

}  // namespace
