// `veltarisctl probe` on fake devices: the daemon's verdict on every
// backlight and LED entry, the choice of the main panel (one usable
// backlight node, else one usable LED panel, never a guess between two),
// the device-side state, what it says without root, and SELinux where the
// sandbox has none (the real answers come from the real-kernel tier). Also
// the module watcher (its description of the service's state, the flag
// files, its wake-ups).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "client/module/module.h"
#include "client/probe/probe.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kLcdLed = "/sys/class/leds/lcd-backlight/brightness";

ProgramResult probe(const std::vector<std::string>& args = {}, uid_t uid = 0) {
    std::vector<std::string> argv = {client_binary(), "probe"};
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

// Where the lock table lists the flock on path: the offset of its line,
// npos when there is none.
size_t lock_line_at(const std::string& path) {
    auto st = stat_path(path);
    if (!st) return std::string::npos;
    char where[64];
    snprintf(where, sizeof where, " %02x:%02x:%llu ", major(st->st_dev), minor(st->st_dev),
             static_cast<unsigned long long>(st->st_ino));
    std::string locks = read_file("/proc/locks").value_or("");
    size_t at = locks.find(where);
    return at == std::string::npos ? at : locks.rfind('\n', at) + 1;
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

    // The action button's summary, with what the main-panel daemon says.
    ProgramResult summary = probe({"--summary"});
    EXPECT_EQ(summary.code, 0) << summary;
    EXPECT_TRUE(has(summary.out, "Daemons: outdoor running (pid " + std::to_string(outdoor.pid()) +
                                     "), main panel running (pid " + std::to_string(main.pid()) + ")\n"))
        << summary.out;
    EXPECT_TRUE(has(summary.out, "\nOutdoor: waiting\nMain panel: not holding (daemon: not armed, node shows 100)\n"))
        << summary.out;

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
    // The lock files cannot be looked at: who runs is not known, which is
    // not the same as nobody.
    EXPECT_TRUE(has(r.out, "main-panel daemon  unknown (Permission denied)\n")) << r.out;
    EXPECT_TRUE(has(r.out, "outdoor daemon     unknown (Permission denied)\n")) << r.out;
    ProgramResult summary = probe({"--summary"}, 2000);
    EXPECT_TRUE(has(summary.out, "Daemons: outdoor unknown, main panel unknown\n")) << summary.out;
}

// Who runs, as the lock table shows it: a holder far down a long table (a
// phone's runs to hundreds of lines, more than one read returns) is found;
// the outdoor daemon's instant on the main-panel lock is no main-panel
// daemon, and the summary asks no daemon that is not there; a table that
// cannot be read leaves both unknown.
TEST_F(ProbeTest, DaemonsAsTheLockTableShowsThem) {
    const std::string me = std::to_string(getpid());
    auto expect = [&](const char* what, const std::string& main, const std::string& outdoor,
                      const std::string& summary) {
        ProgramResult r = probe();
        EXPECT_TRUE(has(r.out, "main-panel daemon  " + main + "\n")) << what << "\n" << r.out;
        EXPECT_TRUE(has(r.out, "outdoor daemon     " + outdoor + "\n")) << what << "\n" << r.out;
        ProgramResult s = probe({"--summary"});
        EXPECT_TRUE(has(s.out, summary)) << what << "\n" << s.out;
    };

    // Read locks on byte ranges of one file on both sides of the main-panel
    // lock, all on one processor (the kernel lists locks per processor,
    // newest or oldest first), so that more than 64 KiB of lines (a busy
    // phone's table) comes before it.
    const size_t far = 64 * 1024;
    const int filler_ranges = static_cast<int>(far / 32) + 1;
    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    std::vector<int> fds;
    auto lock = [&](const char* path, int how) {
        int fd = open(path, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) fds.push_back(fd);
        return fd >= 0 && flock(fd, how) == 0;
    };
    int filler = open("/sandbox/filler.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(filler, 0);
    fds.push_back(filler);
    // Ranges apart from each other stay one lock (one line) each.
    auto ranges = [&](off_t base) {
        bool ok = true;
        for (int i = 0; i < filler_ranges; ++i) {
            struct flock range = {};
            range.l_type = F_RDLCK;
            range.l_whence = SEEK_SET;
            range.l_start = base + 2 * i;
            range.l_len = 1;
            ok = fcntl(filler, F_OFD_SETLK, &range) == 0 && ok;
        }
        return ok;
    };
    bool locked = ranges(0);
    locked = lock(kMainPanelLock, LOCK_EX) && locked;
    locked = ranges(1 << 20) && locked;
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
    ASSERT_TRUE(locked);
    size_t at = lock_line_at(kMainPanelLock);
    ASSERT_NE(at, std::string::npos);
    ASSERT_GT(at, far);
    expect("far down a long table", "running, pid " + me, "not running",
           "Daemons: outdoor not running, main panel running (pid " + me + ")\n");

    ASSERT_TRUE(lock(kOutdoorLock, LOCK_EX));
    expect("the outdoor daemon's instant", "not running (the outdoor daemon held its lock for an instant)",
           "running, pid " + me,
           "Daemons: outdoor running (pid " + me + "), main panel not running\nOutdoor: starting\n"
           "Main panel: not holding\n");
    // The module watcher's view of the same table.
    ctl::module_state watched = ctl::read_module_state(monotonic_ms);
    EXPECT_EQ(watched.outdoor_pid, getpid());
    EXPECT_EQ(watched.main_pid, 0) << "the outdoor daemon's instant is no main-panel daemon";

    // A file whose reads fail, in the table's place.
    FakeNode* broken = node("panel0-backlight");
    ASSERT_TRUE(broken);
    broken->fail_reads(EIO);
    ASSERT_EQ(mount(broken->real_brightness_path().c_str(), "/proc/locks", nullptr, MS_BIND, nullptr), 0) << errno;
    expect("an unreadable table", "unknown (Input/output error)", "unknown (Input/output error)",
           "Daemons: outdoor unknown, main panel unknown\n");
    EXPECT_EQ(umount2("/proc/locks", MNT_DETACH), 0) << errno;
    for (int fd : fds) close(fd);
}

// A heartbeat or a renewed lease may land after the probe read its clock
// and before it reads the record: judged by that clock it would look
// stamped by an earlier boot, or too far ahead. Here every reading of the
// clock is followed at once by every record written anew, stamped a moment
// later, and each must still read as fresh.
TEST_F(ProbeTest, RecordsAreJudgedByAClockReadAfterThem) {
    int main_lock = open(kMainPanelLock, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(main_lock, 0);
    ASSERT_EQ(flock(main_lock, LOCK_EX), 0);  // a main-panel daemon
    auto write_records = [](int64_t at) {
        const std::string stamp = std::to_string(at);
        return write_file(kMainPanelHealth, "s1 1 0 " + stamp + "\n") &&
               write_file(kOutdoorHealth, "{\"pid\":9,\"held\":false,\"inhibited\":false,\"base\":0,\"target\":0,"
                                          "\"reason\":\"waiting\",\"uptime_ms\":" + stamp + "}\n") &&
               write_main_panel_lease("s1", getpid(), at + LEASE_MAX_AHEAD_MS, 1, 120) == 0 &&
               write_file_as(kSystemUid, kSystemUid, kOutdoorLease,
                             outdoor_lease_line("v1", getpid(), at + OUTDOOR_LEASE_MAX_AHEAD_MS, 500, 1)) == 0;
    };
    int64_t now = 100000;
    bool written = write_records(now);
    ctl::probe_report report = ctl::gather_probe([&] {
        now += 10;
        written = write_records(now + 1) && written;
        return now;
    });
    close(main_lock);
    ASSERT_TRUE(written);
    auto json = [&](const std::string& key, const std::string& field) {
        for (const ctl::probe_fact& f : report.state) {
            for (const auto& [name, value] : f.json) {
                if (f.key == key && name == field) return value;
            }
        }
        return std::string("(none)");
    };
    EXPECT_EQ(json("main_panel_health", "age_ms"), "9");
    EXPECT_EQ(json("outdoor_health", "age_ms"), "9");
    EXPECT_EQ(json("main_panel_lease", "accepted"), "true");
    EXPECT_EQ(json("outdoor_lease", "accepted"), "true");
    EXPECT_EQ(ctl::describe_main_panel(report.service), "Main panel: holding (platform: s1)");
}

// Without selinuxfs SELinux is off: nothing refuses the socket, and each
// answer says why it is unknown. With an enforce file but no answer from
// the kernel (this host's /proc/self/attr/current has no SELinux context),
// the mode is read and the answers stay unknown.
TEST_F(ProbeTest, SelinuxWithoutSelinuxfs) {
    ProgramResult line = probe({"--selinux"});
    EXPECT_EQ(line.code, 0) << line;
    EXPECT_EQ(line.out, "selinux: disabled (no selinuxfs): nothing refuses a connection to the control socket\n");
    ProgramResult json = probe({"--json"});
    EXPECT_TRUE(has(json.out, "\"selinux\":{\"mode\":\"disabled\",\"context\":null,\"domain\":null,\"connect\":{"
                              "\"system_server\":\"unknown\",\"system_app\":\"unknown\"}"))
        << json.out;
    EXPECT_TRUE(has(probe().out, "  control socket: system_app: unknown (no selinuxfs: SELinux is off)\n"));

    ASSERT_TRUE(mkdir_p("/sys/fs/selinux") && write_file("/sys/fs/selinux/enforce", "1"));
    line = probe({"--selinux"});
    EXPECT_EQ(line.code, 0) << line;
    EXPECT_TRUE(line.out.rfind("selinux: enforcing, ", 0) == 0) << line.out;
    EXPECT_TRUE(has(line.out, ": unknown whether the module's sepolicy rule is in force (system_server unknown (")) << line.out;
    json = probe({"--json"});
    EXPECT_TRUE(has(json.out, "\"selinux\":{\"mode\":\"enforcing\",")) << json.out;
    EXPECT_TRUE(has(json.out, "\"connect\":{\"system_server\":\"unknown\",\"system_app\":\"unknown\"}")) << json.out;
}

const char* const kModuleDir = "/data/adb/modules/veltaris";
const std::string kModuleProp = std::string(kModuleDir) + "/module.prop";
const char* const kWatchOut = "/sandbox/watch.out";
const char* const kSupervisorLog = "/sandbox/supervisor.log";

class ProbeModuleWatchTest : public ProbeTest {
  protected:
    void SetUp() override {
        ProbeTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(mkdir_p(kModuleDir));
        ASSERT_TRUE(write_file(kModuleProp, "id=veltaris\ndescription=as installed\nauthor=a\n", 0644));
    }

    // The watcher under a stand-in of the boot service's supervisor, its
    // parent, which notes a SIGTERM and then stops it, as the service does.
    // The trap names the watcher by $!, which is set when the watcher is
    // started: a watcher that signals at once may come before w=$!.
    pid_t start_supervised_watcher(const std::string& ctl = client_binary()) {
        const std::string script = std::string("trap 'echo term >> ") + kSupervisorLog +
                                   "; kill -TERM $!' TERM\n"
                                   "\"$CTL\" module-watch " + kModuleDir + " --notify $$ > " + kWatchOut + " 2>&1 &\n"
                                   "w=$!\nwait $w\nwait $w\necho ended >> " + kSupervisorLog + "\n";
        ProgramOptions o;
        o.env = {"CTL=" + ctl};
        return start_program({"sh", "-c", script}, o);
    }

    std::string description() {
        std::string prop = read_file(kModuleProp).value_or("");
        size_t at = prop.find("\ndescription=");
        return at == std::string::npos ? "(none)" : prop.substr(at + 13, prop.find('\n', at + 1) - at - 13);
    }

    bool description_becomes(const std::string& text) {
        return wait_until([&] { return description() == text; }, 10s);
    }

    std::string watch_out() { return read_file(kWatchOut).value_or(""); }

    // A fresh start: no flag, the installed description, no output yet.
    bool restart() {
        return remove_tree(std::string(kModuleDir) + "/remove") && remove_tree(kSupervisorLog) &&
               remove_tree(kWatchOut) && write_file(kModuleProp, "id=veltaris\ndescription=as installed\n", 0644);
    }
};

// A manager's update copies the new version's module.prop over the
// installed one in place (same file, no rename): the watcher sees it closed
// and puts the description back into the new text, keeping its fields.
TEST_F(ProbeModuleWatchTest, AModulePropCopiedInPlaceGetsTheDescriptionBack) {
    ASSERT_GT(start_supervised_watcher(), 0);
    const std::string now = "Outdoor: not running | Main panel: not holding";
    ASSERT_TRUE(description_becomes(now)) << description();
    int fd = open(kModuleProp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string shipped = "id=veltaris\nversion=v2\ndescription=as shipped\n";
    ASSERT_EQ(write(fd, shipped.data(), shipped.size()), static_cast<ssize_t>(shipped.size()));
    ASSERT_EQ(close(fd), 0);
    EXPECT_TRUE(wait_until([&] { return read_file(kModuleProp) == "id=veltaris\nversion=v2\ndescription=" + now + "\n"; },
                           10s))
        << read_file(kModuleProp).value_or("(none)");
}

// An update's copy that lands between the watcher's read of module.prop
// and its rename, in place and within the same tick of the file clock
// (same inode, same mtime): only the text tells it from the one read, and
// the watcher must not put the old version back over it. strace holds the
// watcher at the open of its temporary file, which comes between the two.
TEST_F(ProbeModuleWatchTest, ACopyInTheSameTickIsToldByItsText) {
    std::string strace = run_program({"sh", "-c", "command -v strace"}).out;
    if (strace.empty()) GTEST_SKIP() << "strace is not installed";
    strace.pop_back();
    const std::string slow = "/sandbox/slow-ctl";
    ASSERT_TRUE(write_file(slow,
                           "#!/bin/sh\nexec " + strace + " -D -qq -o /dev/null -P " + kModuleDir +
                               "/.module.prop.new -e trace=openat -e inject=openat:delay_enter=1500000 " +
                               client_binary() + " \"$@\"\n",
                           0755));
    ASSERT_GT(start_supervised_watcher(slow), 0);
    ASSERT_TRUE(description_becomes("Outdoor: not running | Main panel: not holding")) << description();
    auto before = stat_path(kModuleProp);
    ASSERT_TRUE(before);

    int outdoor_lock = open(kOutdoorLock, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(outdoor_lock, 0);
    ASSERT_EQ(flock(outdoor_lock, LOCK_EX), 0);
    ASSERT_EQ(write_file_as(0, 0, kOutdoorHealth,
                            "{\"pid\":9,\"held\":false,\"inhibited\":false,\"base\":0,\"target\":0,"
                            "\"reason\":\"waiting\",\"uptime_ms\":1}\n"),
              0);
    // The watcher has read the file and waits at its temporary one.
    std::this_thread::sleep_for(300ms);
    int fd = open(kModuleProp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string shipped = "id=veltaris\nversion=v2\ndescription=as shipped\n";
    ASSERT_EQ(write(fd, shipped.data(), shipped.size()), static_cast<ssize_t>(shipped.size()));
    const struct timespec times[2] = {before->st_atim, before->st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    ASSERT_EQ(close(fd), 0);
    ASSERT_EQ(stat_path(kModuleProp)->st_ino, before->st_ino);

    const std::string wanted = "id=veltaris\nversion=v2\ndescription=Outdoor: waiting | Main panel: not holding\n";
    EXPECT_TRUE(wait_until([&] { return read_file(kModuleProp) == wanted; }, 10s))
        << read_file(kModuleProp).value_or("(none)");
    close(outdoor_lock);
}

// The description follows outdoor mode's record and a main-panel hold (one
// timed look notices a hold whose records stopped), is written only when
// it changes, and a disable flag ends the service. Each change costs one
// wake-up; nothing else wakes the watcher.
TEST_F(ProbeModuleWatchTest, DescribesTheStateAndWakesOnlyForIt) {
    ASSERT_GT(start_supervised_watcher(), 0);
    ASSERT_TRUE(description_becomes("Outdoor: not running | Main panel: not holding")) << description();
    std::this_thread::sleep_for(1500ms);  // idle: no wake-up

    int outdoor_lock = open(kOutdoorLock, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(outdoor_lock, 0);
    ASSERT_EQ(flock(outdoor_lock, LOCK_EX), 0);
    const std::string waiting = "{\"pid\":9,\"held\":false,\"inhibited\":false,\"base\":0,\"target\":0,"
                                "\"reason\":\"waiting\",\"uptime_ms\":1}\n";
    const std::string boosted = "{\"pid\":9,\"held\":true,\"inhibited\":false,\"base\":100,\"target\":177,"
                                "\"reason\":\"boosted\",\"uptime_ms\":2}\n";
    ASSERT_EQ(write_file_as(0, 0, kOutdoorHealth, waiting), 0);
    EXPECT_TRUE(description_becomes("Outdoor: waiting | Main panel: not holding")) << description();
    ASSERT_EQ(write_file_as(0, 0, kOutdoorHealth, boosted), 0);
    EXPECT_TRUE(description_becomes("Outdoor: boosting 100->177 | Main panel: not holding")) << description();
    auto prop_before = stat_path(kModuleProp);
    ASSERT_EQ(write_file_as(0, 0, kOutdoorHealth, boosted), 0);  // no change: no write

    pid_t holder = start_program({"flock", kMainPanelLock, "sleep", "3600"});
    ASSERT_GT(holder, 0);
    // Built by appends: GCC 12 at -O3 warns (-Wrestrict) about " " + string.
    std::string holder_field(" ");
    holder_field += std::to_string(holder);
    holder_field += ' ';
    ASSERT_TRUE(wait_until([&] { return has(read_file("/proc/locks").value_or(""), holder_field); }, 10s));
    ASSERT_EQ(write_file_as(0, 0, kMainPanelHealth, "s1 1 0 " + std::to_string(monotonic_ms()) + "\n", 0644), 0);
    EXPECT_TRUE(description_becomes("Outdoor: boosting 100->177 | Main panel: holding (platform: s1)")) << description();
    EXPECT_NE(stat_path(kModuleProp)->st_ino, prop_before->st_ino);
    // No further record: the timed look finds the hold gone stale.
    EXPECT_TRUE(description_becomes("Outdoor: boosting 100->177 | Main panel: not holding")) << description();

    // The flag comes in one step (a rename): one event. Made by open and
    // close it is two (IN_CREATE, IN_CLOSE_WRITE), and a writer slowed
    // between them, with a supervisor slow to answer, rightly costs the
    // watcher one wake-up more: the count would hang on the machine's load.
    ASSERT_TRUE(write_file("/data/adb/.disable", ""));
    ASSERT_EQ(rename("/data/adb/.disable", (std::string(kModuleDir) + "/disable").c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return has(read_file(kSupervisorLog).value_or(""), "ended"); }, 10s)) << watch_out();
    EXPECT_EQ(read_file(kSupervisorLog), "term\nended\n");
    EXPECT_TRUE(has(watch_out(), std::string("module-watch: ") + kModuleDir + "/disable: SIGTERM to pid ")) << watch_out();
    // waiting, boosted, the same again, the hold, the timed look, the flag,
    // the supervisor's SIGTERM.
    EXPECT_TRUE(has(watch_out(), "module-watch: ended after 7 wake-ups, 5 description writes\n")) << watch_out();
    EXPECT_EQ(read_file(kModuleProp),
              "id=veltaris\ndescription=Outdoor: boosting 100->177 | Main panel: not holding\nauthor=a\n");
    EXPECT_EQ(file_mode(kModuleProp), 0644);
    EXPECT_FALSE(path_exists(std::string(kModuleDir) + "/.module.prop.new"));
    close(outdoor_lock);
}

// A flag made before the watcher started is seen; a watcher ends with its
// parent and when the module folder goes away, also when it runs from an
// executable inside that folder, as the boot service starts it (which
// keeps the folder's entry in use, so the folder's own delete event never
// comes); and it signals nothing but its own parent.
TEST_F(ProbeModuleWatchTest, SeesEarlierFlagsAndEndsWithItsParentOrFolder) {
    ASSERT_TRUE(write_file(std::string(kModuleDir) + "/remove", ""));
    ASSERT_GT(start_supervised_watcher(), 0);
    ASSERT_TRUE(wait_until([&] { return has(read_file(kSupervisorLog).value_or(""), "ended"); }, 10s)) << watch_out();
    EXPECT_TRUE(has(watch_out(), std::string(kModuleDir) + "/remove: SIGTERM to pid ")) << watch_out();

    ASSERT_TRUE(restart());
    pid_t parent = start_supervised_watcher();
    ASSERT_GT(parent, 0);
    ASSERT_TRUE(description_becomes("Outdoor: not running | Main panel: not holding"));
    stop_process(parent, SIGKILL);
    EXPECT_TRUE(wait_until([&] { return has(watch_out(), "module-watch: ended after 1 wake-ups"); }, 10s)) << watch_out();

    const std::string inside = std::string(kModuleDir) + "/system/bin/veltarisctl";
    for (const std::string& ctl : {client_binary(), inside}) {
        SCOPED_TRACE(ctl);
        ASSERT_TRUE(mkdir_p(std::string(kModuleDir) + "/system/bin") && restart());
        auto binary = read_file(client_binary());
        ASSERT_TRUE(binary && write_file(inside, *binary, 0755));
        pid_t supervisor = start_supervised_watcher(ctl);
        ASSERT_GT(supervisor, 0);
        ASSERT_TRUE(description_becomes("Outdoor: not running | Main panel: not holding"));
        ASSERT_TRUE(remove_tree(kModuleDir));
        EXPECT_TRUE(wait_until([&] { return read_file(kSupervisorLog) == "term\nended\n"; }, 10s)) << watch_out();
        EXPECT_TRUE(has(watch_out(), std::string("module-watch: ") + kModuleDir + " is gone: SIGTERM to pid "))
            << watch_out();
        stop_process(supervisor, SIGKILL);
    }

    ProgramResult stranger = run_program({client_binary(), "module-watch", "/data", "--notify", "1"});
    EXPECT_EQ(stranger.code, 2) << stranger;
    EXPECT_TRUE(has(stranger.err, "is not this process's parent")) << stranger;
}

}  // namespace
}  // namespace sandbox
