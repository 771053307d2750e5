// `veltarisctl probe` on fake devices: the daemon's verdict on every
// backlight and LED entry, the choice of the main panel (one usable
// backlight node, else one usable LED panel, never a guess between two),
// the device-side state, and what it says without root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kLcdLed = "/sys/class/leds/lcd-backlight/brightness";

ProgramResult probe(const std::vector<std::string>& args = {}, uid_t uid = 0) {
    std::vector<std::string> argv = {client_binary(uid), "probe"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramOptions options;
    options.uid = uid;
    options.gid = uid;
    return run_program(argv, options);
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The table row of one node: the line that holds "CLASS  NAME ".
std::string row(const std::string& table, const std::string& cls, const std::string& name) {
    size_t at = 0;
    while ((at = table.find("  " + cls + "  ", at)) != std::string::npos) {
        size_t begin = table.rfind('\n', at) + 1;
        size_t end = table.find('\n', at);
        std::string line = table.substr(begin, end - begin);
        if (has(line, " " + name + " ")) return line;
        at = end;
    }
    return "(no row for " + cls + "/" + name + ")";
}

class ProbeTest : public SandboxTest {
  protected:
    FakeNode* node(const std::string& name, const std::string& cls = "backlight", int maximum = 255) {
        FakeNodeOptions o;
        o.name = name;
        o.device_class = cls;
        o.maximum = maximum;
        return add_node(o);
    }
};

// One accepted backlight panel among refused entries of both classes: it
// is chosen, and every refusal is named as the daemon's rules name it.
TEST_F(ProbeTest, ChoosesTheOneUsableBacklightAndNamesEveryRefusal) {
    ASSERT_TRUE(node("panel0-backlight"));
    ASSERT_TRUE(node("panel1-backlight"));
    ASSERT_TRUE(node("keyboard-backlight"));
    ASSERT_TRUE(node("dim", "backlight", 10));
    ASSERT_TRUE(node("white", "leds"));
    ASSERT_TRUE(node("lcd-backlight", "leds"));
    FakeNodeOptions outside;
    outside.name = "vendor_bl";
    outside.device_parent = "/data/vendor-devices";
    ASSERT_TRUE(add_node(outside));

    ProgramResult r = probe();
    ASSERT_EQ(r.code, 0) << r;
    std::string t = r.out;
    EXPECT_TRUE(has(row(t, "backlight", "panel0-backlight"), " accepted ")) << t;
    EXPECT_TRUE(has(row(t, "backlight", "panel0-backlight"),
                    "255    100  0664  1000:1000  /sys/devices/platform/veltaris-panel/backlight/panel0-backlight/brightness"))
        << t;
    EXPECT_TRUE(has(row(t, "backlight", "panel1-backlight"), "refused: numbered sibling")) << t;
    EXPECT_TRUE(has(row(t, "backlight", "keyboard-backlight"), "refused: deny word")) << t;
    EXPECT_TRUE(has(row(t, "backlight", "dim"), "accepted, unusable: maximum below 11")) << t;
    EXPECT_TRUE(has(row(t, "backlight", "vendor_bl"), "refused: real path outside /sys/devices/")) << t;
    EXPECT_TRUE(has(row(t, "leds", "white"), "refused: not a panel LED name")) << t;
    EXPECT_TRUE(has(row(t, "leds", "lcd-backlight"), " accepted ")) << t;
    EXPECT_TRUE(has(t, std::string("Main panel: ") + kNodePath + "\n  (the only usable node of the backlight class)"))
        << t;

    ProgramResult chosen = probe({"--choose"});
    EXPECT_EQ(chosen.code, 0) << chosen;
    EXPECT_EQ(chosen.out, std::string(kNodePath) + "\n");

    ProgramResult json = probe({"--json"});
    EXPECT_EQ(json.code, 0) << json;
    EXPECT_TRUE(has(json.out, std::string("\"main_panel\":{\"path\":\"") + kNodePath + "\",\"ambiguous\":false"))
        << json.out;
    EXPECT_TRUE(has(json.out, "\"name\":\"white\",\"path\":\"/sys/class/leds/white/brightness\",\"accepted\":false,"
                              "\"refusal\":\"not a panel LED name\""))
        << json.out;
}

TEST_F(ProbeTest, LedPanelWhenNoBacklightIsUsable) {
    ASSERT_TRUE(node("keyboard-backlight"));
    ASSERT_TRUE(node("lcd-backlight", "leds"));
    ProgramResult r = probe({"--choose"});
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(r.out, std::string(kLcdLed) + "\n");
}

TEST_F(ProbeTest, TwoPanelsAreAmbiguous) {
    ASSERT_TRUE(node("panel0-backlight"));
    ASSERT_TRUE(node("intel_backlight"));
    ASSERT_TRUE(node("lcd-backlight", "leds"));
    ProgramResult r = probe();
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(has(r.out, "Main panel: none (ambiguous: 2 usable nodes of the backlight class "
                           "(intel_backlight, panel0-backlight))"))
        << r.out;
    ProgramResult chosen = probe({"--choose"});
    EXPECT_EQ(chosen.code, 1) << chosen;
    EXPECT_EQ(chosen.out, "");
    EXPECT_TRUE(has(chosen.err, "no main panel: ambiguous")) << chosen;
}

TEST_F(ProbeTest, NoPanelAtAll) {
    ProgramResult r = probe();
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(has(r.out, "  (none)\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Main panel: none (no usable node in the backlight or leds class)")) << r.out;
}

// Both daemons running, a permission record of this boot, both leases and
// both health records, as the table shows them.
TEST_F(ProbeTest, ReportsTheDeviceState) {
    FakeNode* panel = node("panel0-backlight");
    ASSERT_TRUE(panel);
    Daemon& outdoor = spawn_daemon({"--outdoor", "--node", kNodePath});
    std::string why;
    ASSERT_TRUE(wait_outdoor_ready(outdoor, &why)) << why;
    Daemon& main = spawn_daemon({"--daemon", "--node", kNodePath});
    ASSERT_TRUE(wait_ready(main, &why)) << why;

    struct stat st = *stat_path(kNodePath);
    std::string record = v2_record(0664, st.st_dev, st.st_ino, kBootId, kNodePath, panel->real_brightness_path());
    ASSERT_TRUE(write_file(kPermissionRecord, record, 0600));
    pid_t server = start_system_server();
    ASSERT_GT(server, 0);
    int64_t now = monotonic_ms();
    ASSERT_EQ(write_main_panel_lease("s1", getpid(), now + 8000, 1, 120), 0);
    ASSERT_EQ(write_file_as(kSystemUid, kSystemUid, kOutdoorLease, outdoor_lease_line("v1", server, now - 5000, 500, 1)),
              0);

    ProgramResult r = probe();
    ASSERT_EQ(r.code, 0) << r;
    std::string t = r.out;
    EXPECT_TRUE(has(t, "private directory  /data/adb/tavorin_module_workspace: mode 0700, owner 0:0 (fit for the daemon)"))
        << t;
    EXPECT_TRUE(has(t, "main-panel daemon  running, pid " + std::to_string(main.pid()) + "\n")) << t;
    EXPECT_TRUE(has(t, "outdoor daemon     running, pid " + std::to_string(outdoor.pid()) + "\n")) << t;
    EXPECT_TRUE(has(t, std::string("permission record  present: node ") + kNodePath +
                           ", mode 0664; this boot: the next main-panel start or --recover puts the mode back"))
        << t;
    EXPECT_TRUE(has(t, "main-panel lease   fresh, pid " + std::to_string(getpid()) + " (alive), ")) << t;
    EXPECT_TRUE(has(t, "outdoor lease      expired, pid " + std::to_string(server) + " (alive, system_server), deadline "))
        << t;
    EXPECT_TRUE(has(t, "outdoor health     written ")) << t;
    EXPECT_TRUE(has(t, "\"reason\":\"waiting\"")) << t;
    EXPECT_FALSE(has(t, "Could not read")) << t;
    // Read only: the record is still there for the daemon to apply.
    EXPECT_EQ(read_file(kPermissionRecord), record);

    // A record whose node was made afresh, or is gone from its path, says
    // what the next start will do with it.
    const std::string gone = "/sys/class/backlight/gone/brightness";
    const std::pair<std::string, std::string> others[] = {
        {v2_record(0664, st.st_dev, st.st_ino + 1, kBootId, kNodePath, panel->real_brightness_path()),
         std::string(kNodePath) + ", mode 0664; this boot, but the node has been made afresh (another inode): the next "
                                  "main-panel start or --recover deletes it, and the node keeps the mode it has"},
        {v2_record(0664, st.st_dev, st.st_ino, kBootId, gone,
                   "/sys/devices/platform/veltaris-panel/backlight/gone/brightness"),
         gone + ", mode 0664; this boot, but nothing is at the node path (the device gone, renamed, or a mount in the "
                "way): the record stays and every main-panel start fails until the node is back, or until the next "
                "boot"},
    };
    for (const auto& [text, verdict] : others) {
        ASSERT_TRUE(write_file(kPermissionRecord, text, 0600));
        r = probe();
        EXPECT_TRUE(has(r.out, "permission record  present: node " + verdict)) << r.out;
    }
}

// The health records are not synced, so after a power cut one may be
// missing or empty: no daemon of this boot, as the client says. A torn one
// is malformed.
TEST_F(ProbeTest, HealthRecordsAPowerCutMayLeave) {
    ASSERT_TRUE(node("panel0-backlight"));
    ASSERT_TRUE(write_file(kMainPanelHealth, "", 0644));
    ProgramResult r = probe();
    EXPECT_TRUE(has(r.out, "main-panel health  empty: no daemon of this boot\n")) << r.out;
    EXPECT_TRUE(has(r.out, "outdoor health     absent: no daemon of this boot\n")) << r.out;
    r = probe({"--json"});
    EXPECT_TRUE(has(r.out, "\"main_panel_health\":{\"known\":true,\"present\":true,\"valid\":false,"
                           "\"this_boot\":false,\"age_ms\":null")) << r.out;
    EXPECT_TRUE(has(r.out, "\"outdoor_health\":{\"known\":true,\"present\":false,\"valid\":false,"
                           "\"this_boot\":false,\"age_ms\":null")) << r.out;

    ASSERT_TRUE(write_file(kMainPanelHealth, "s1 1 0 12", 0644));
    r = probe();
    EXPECT_TRUE(has(r.out, "main-panel health  malformed (torn, or not the daemon's): s1 1 0 12\n")) << r.out;
}

// Without root the nodes are still judged; what lies in the root-only
// private directory is reported as unknown, and said so.
TEST_F(ProbeTest, WithoutRootSaysWhatItCouldNotRead) {
    ASSERT_TRUE(node("panel0-backlight"));
    ProgramResult r = probe({}, 2000);
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(row(r.out, "backlight", "panel0-backlight"), " accepted ")) << r.out;
    EXPECT_TRUE(has(r.out, "permission record  unknown (Permission denied)")) << r.out;
    EXPECT_TRUE(has(r.out, "Could not read\n")) << r.out;
    EXPECT_TRUE(has(r.out, "/data/adb/tavorin_module_workspace/main-panel-permissions: Permission denied; run as root"))
        << r.out;
}

}  // namespace
}  // namespace sandbox
