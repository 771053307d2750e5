// The device package end to end, as a root manager would use it: the zip
// handed to a stand-in of the manager's installer functions through its
// update-binary, its scripts run by mksh (the shell of Android devices)
// with nothing but toybox applets on PATH (Debian's build, which lacks a
// few of Android's, tr among them) and a stand-in getprop, and its arm64
// binaries run under qemu. Installation, the boot service (recovery of a
// crashed hold, outdoor mode on the probed node, its restart after a kill,
// no restart loop on a setup problem), the flag files that disable or
// remove the module, the description and the action button the manager
// shows, and removal.
//
// binfmt_misc is not registered on the build machine, and a test must not
// register it, so after installation each installed binary is replaced by
// a small script that execs qemu-aarch64-static on the real binary. exec
// keeps the pid, so the service's pid files and its kill-by-pid still name
// the daemon itself.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kModule = "/data/adb/modules/veltaris";
// Where a manager installs an update; its boot moves it into kModule.
const char* const kModuleUpdate = "/data/adb/modules_update/veltaris";
// The script update-binary sources, and the file its set_perm reports to.
const char* const kInstallerFunctions = "/data/adb/magisk/util_functions.sh";
const char* const kSetPermLog = "/sandbox/set_perm.log";
// The only commands on the scripts' PATH: a stand-in getprop and date,
// then toybox applets and mksh as sh.
const char* const kScriptPath = "PATH=/sandbox/bin:/sandbox/toybox";
const std::string kServiceLog = std::string(kPrivateDir) + "/service.log";
const std::string kServicePid = std::string(kPrivateDir) + "/service.pid";
const std::string kOutdoorPid = std::string(kPrivateDir) + "/outdoor.pid";
// Generous: every daemon start goes through qemu on a small, busy machine.
constexpr auto kSettle = std::chrono::seconds(30);

std::string package_zip() {
    const char* env = getenv("VELTARIS_PACKAGE");
    return env && *env ? env : VELTARIS_PACKAGE_DEFAULT_PATH;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The number written after `part` in text, or -1.
long number_after(const std::string& text, const std::string& part) {
    size_t at = text.find(part);
    return at == std::string::npos ? -1 : atol(text.c_str() + at + part.size());
}

// True when nothing holds an flock on path (taken and dropped at once).
bool lock_free(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

pid_t read_pid(const std::string& path) {
    auto text = read_file(path);
    return text ? static_cast<pid_t>(atoi(text->c_str())) : 0;
}

// Running, and not a zombie waiting to be reaped.
bool alive(pid_t pid) {
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (pid <= 0 || !stat) return false;
    size_t paren = stat->rfind(')');
    return paren != std::string::npos && paren + 2 < stat->size() && (*stat)[paren + 2] != 'Z';
}

class PackageTest : public SandboxTest {
  protected:
    // The installer makes the private directory.
    SandboxOptions sandbox_options() const override {
        SandboxOptions o;
        o.private_dir = false;
        return o;
    }

    void SetUp() override {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!path_exists(package_zip())) {
            if (running_in_ci()) FAIL() << package_zip() << " is missing: run scripts/package.sh first";
            GTEST_SKIP() << package_zip() << " is missing (scripts/package.sh builds it)";
        }
        ASSERT_TRUE(mkdir_p("/sandbox/bin") && mkdir_p("/sandbox/toybox"));
        ProgramResult applets = run_program({"toybox"});
        ASSERT_EQ(applets.code, 0) << applets;
        std::istringstream words(applets.out);
        for (std::string applet; words >> applet;)
            ASSERT_EQ(symlink("/usr/bin/toybox", ("/sandbox/toybox/" + applet).c_str()), 0) << applet;
        ASSERT_EQ(symlink("/usr/bin/mksh", "/sandbox/toybox/sh"), 0);
        ASSERT_EQ(symlink("/usr/bin/mksh", "/sandbox/toybox/mksh"), 0);
        ASSERT_TRUE(write_file("/sandbox/bin/getprop",
                               "#!/bin/sh\n[ \"$1\" = ro.product.cpu.abi ] && cat /sandbox/abi\n", 0755));
        // A wall clock that jumps a day at each reading, as it may when
        // the network time arrives after boot.
        ASSERT_TRUE(write_file("/sandbox/bin/date",
                               "#!/bin/sh\n[ \"$1\" = +%s ] || exec /usr/bin/toybox date \"$@\"\n"
                               "n=$(($(cat /sandbox/clock 2>/dev/null || echo 1700000000) + 86400))\n"
                               "echo $n > /sandbox/clock; echo $n\n",
                               0755));
        ASSERT_TRUE(set_abi("arm64-v8a"));
        ASSERT_TRUE(mkdir_p("/data/adb/modules") && mkdir_p("/data/adb/magisk"));
        // What the manager's installer functions are documented to do:
        // unpack the module but META-INF to its folder, give it default
        // modes, source customize.sh with its helpers and variables.
        ASSERT_TRUE(write_file(kInstallerFunctions, std::string(R"(
ui_print() { echo "$1"; }
abort() { echo "$1"; exit 1; }
set_perm() {
    chown "$2:$3" "$1" && chmod "$4" "$1" || return 1
    echo "$*" >> )") + kSetPermLog + R"(
}
set_perm_recursive() {
    find "$1" -type d | while read -r d; do set_perm "$d" "$2" "$3" "$4" $6; done
    find "$1" -type f | while read -r f; do set_perm "$f" "$2" "$3" "$5" $6; done
}
install_module() {
    MODPATH=)" + kModuleUpdate + R"(
    ARCH=arm64 IS64BIT=true API=34
    rm -rf "$MODPATH" && mkdir -p "$MODPATH" || abort "! no module folder"
    /usr/bin/unzip -q -o "$ZIPFILE" -x 'META-INF/*' -d "$MODPATH" || abort "! unzip failed"
    set_perm_recursive "$MODPATH" 0 0 0755 0644
    . "$MODPATH/customize.sh"
    echo "installer: done"
}
)"));
    }

    void unpack(const std::string& zip = package_zip()) {
        ProgramResult r = run_program({"unzip", "-q", "-o", zip, "-d", kModule});
        ASSERT_EQ(r.code, 0) << r;
    }

    bool set_abi(const std::string& abi) { return write_file("/sandbox/abi", abi + "\n"); }

    // Runs one of the module's scripts with mksh from the module folder,
    // by its bare name as the by-hand commands do.
    ProgramResult script(const std::string& name, const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = {"mksh", name};
        argv.insert(argv.end(), args.begin(), args.end());
        ProgramOptions o;
        o.cwd = kModule;
        o.env = {kScriptPath};
        return run_program(argv, o);
    }

    // The zip as a manager's installer consumes it: update-binary taken
    // out and run as `update-binary 3 OUTFD ZIP` under sh.
    ProgramResult install_zip() {
        ProgramResult binary =
            run_program({"unzip", "-p", package_zip(), "META-INF/com/google/android/update-binary"});
        if (binary.code != 0 || !write_file("/sandbox/update-binary", binary.out, 0755)) return binary;
        ProgramOptions o;
        o.cwd = "/";
        o.env = {kScriptPath, "BOOTMODE=true"};
        return run_program({"sh", "/sandbox/update-binary", "3", "1", package_zip()}, o);
    }

    // Installs as a manager does (then its next boot moves the update in
    // place of the old folder) and puts qemu wrappers in place of the
    // binaries.
    bool install() {
        ProgramResult r = install_zip();
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_TRUE(has(r.out, "installer: done")) << r;
        if (r.code != 0 || !remove_tree(kModule) || rename(kModuleUpdate, kModule) != 0) return false;
        for (const char* name : {"veltarisd", "veltarisctl"}) {
            std::string installed = std::string(kModule) + "/system/bin/" + name;
            std::string real = std::string("/sandbox/arm64-") + name;
            auto binary = read_file(installed);
            if (!binary || !write_file(real, *binary, 0755)) return false;
            if (!write_file(installed, "#!/bin/sh\nexec /usr/bin/qemu-aarch64-static " + real + " \"$@\"\n", 0755))
                return false;
        }
        return true;
    }

    std::string log() { return read_file(kServiceLog).value_or("(no log)"); }

    // The description line of the installed module.prop.
    std::string description() {
        std::string prop = read_file(std::string(kModule) + "/module.prop").value_or("");
        size_t at = prop.find("\ndescription=");
        if (at == std::string::npos) return "(none)";
        at += 13;
        return prop.substr(at, prop.find('\n', at) - at);
    }

    // Waits until the service's outdoor daemon other than `previous` runs
    // and has written its first health record; its pid, or 0.
    pid_t wait_outdoor(pid_t previous = 0) {
        pid_t pid = 0;
        bool ok = wait_until(
            [&] {
                pid = read_pid(kOutdoorPid);
                auto health = read_file(kOutdoorHealth);
                return pid > 0 && pid != previous && health &&
                       health->rfind("{\"pid\":" + std::to_string(pid) + ",", 0) == 0;
            },
            kSettle, std::chrono::milliseconds(50));
        return ok ? pid : 0;
    }

    // A main-panel daemon that crashed while holding the panel: the node's
    // write bits gone and the record of its earlier mode left behind.
    void leave_crashed_hold(FakeNode* panel) {
        struct stat st = *stat_path(kNodePath);
        std::string boot = boot_id();
        boot.pop_back();
        ASSERT_TRUE(write_file(kPermissionRecord,
                               v2_record(0664, st.st_dev, st.st_ino, boot, kNodePath, panel->real_brightness_path()),
                               0600));
        panel->set_mode(0444);
    }

    FakeNode* panel() {
        FakeNodeOptions o;
        return add_node(o);
    }

    // system_server's outdoor lease, a boost of 500 per mille kept up by a
    // client as the system user; its pid, or -1.
    pid_t hold_outdoor_lease(pid_t server) {
        ProgramOptions as_system;
        as_system.uid = kSystemUid;
        as_system.gid = kSystemUid;
        return start_program({client_binary(kSystemUid), "outdoor-lease", "v1", "500", "--pid",
                              std::to_string(server), "--hold"},
                             as_system);
    }
};

// By hand, from the unpacked folder: `sh customize.sh`.
TEST_F(PackageTest, InstallByHandMakesThePrivateDirectoryAndChoosesTheAbi) {
    unpack();
    ASSERT_TRUE(set_abi("x86"));
    ProgramResult refused = script("customize.sh");
    EXPECT_EQ(refused.code, 1) << refused;
    EXPECT_TRUE(has(refused.err, "unsupported ABI 'x86'")) << refused;
    EXPECT_FALSE(path_exists(kPrivateDir)) << "nothing is done on an unsupported ABI";

    ASSERT_TRUE(set_abi("arm64-v8a"));
    ProgramResult r = script("customize.sh");
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(r.out, "private directory " + std::string(kPrivateDir) + " ready")) << r;
    auto dir = stat_path(kPrivateDir);
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->st_mode & 07777, 0700u);
    EXPECT_EQ(dir->st_uid, 0u);
    for (const char* name : {"veltarisd", "veltarisctl"}) {
        std::string installed = std::string(kModule) + "/system/bin/" + name;
        EXPECT_EQ(file_mode(installed), 0755) << installed;
        ProgramResult original = run_program({"unzip", "-p", package_zip(), std::string("bin/arm64-v8a/") + name});
        EXPECT_TRUE(read_file(installed) == original.out) << installed << " is not the arm64 binary";
    }
    EXPECT_FALSE(path_exists(std::string(kModule) + "/bin")) << "the unused builds are removed";

    // An existing directory is only ever tightened; one the daemon will
    // refuse is not called ready.
    ASSERT_EQ(chmod(kPrivateDir, 0500), 0);
    ASSERT_EQ(chown(kPrivateDir, kSystemUid, kSystemUid), 0);
    unpack();
    r = script("customize.sh");
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_EQ(file_mode(kPrivateDir), 0500);
    EXPECT_TRUE(has(r.out, "is not owned by root: the daemon will refuse it")) << r;
    EXPECT_FALSE(has(r.out, "ready")) << r;

    // x86_64 (emulators and x86_64 devices): a package that holds that
    // build, the other ABIs' files standing in for it when it has none.
    ASSERT_TRUE(remove_tree(kModule));
    unpack();
    std::string x86 = std::string(kModule) + "/bin/x86_64/";
    if (!path_exists(x86)) {
        ASSERT_TRUE(mkdir_p(x86));
        for (const char* name : {"veltarisd", "veltarisctl"})
            ASSERT_TRUE(write_file(x86 + name, std::string("x86_64 ") + name + "\n", 0644));
    }
    auto x86_daemon = read_file(x86 + "veltarisd");
    ASSERT_TRUE(set_abi("x86_64"));
    r = script("customize.sh");
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(r.out, "installed the x86_64 binaries")) << r;
    EXPECT_TRUE(read_file(std::string(kModule) + "/system/bin/veltarisd") == x86_daemon);
}

// The zip as a manager's installer takes it: the marker line it checks,
// update-binary handing over to the manager's functions, customize.sh
// using their ui_print and set_perm (labels and modes given explicitly),
// and an unsupported ABI aborting through them.
TEST_F(PackageTest, InstallThroughTheManagersInstaller) {
    ProgramResult marker =
        run_program({"unzip", "-p", package_zip(), "META-INF/com/google/android/updater-script"});
    EXPECT_EQ(marker.out, "#MAGISK\n") << marker;

    ProgramResult r = install_zip();
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(r.out, "- veltaris: installed the arm64-v8a binaries")) << r;
    EXPECT_TRUE(has(r.out, "installer: done")) << r;
    EXPECT_FALSE(path_exists(std::string(kModuleUpdate) + "/META-INF"));
    EXPECT_TRUE(path_exists(std::string(kModuleUpdate) + "/sepolicy.rule"));
    auto perms = read_file(kSetPermLog).value_or("");
    for (const char* name : {"veltarisd", "veltarisctl"}) {
        std::string installed = std::string(kModuleUpdate) + "/system/bin/" + name;
        EXPECT_EQ(file_mode(installed), 0755) << installed;
        EXPECT_TRUE(has(perms, installed + " 0 0 0755 u:object_r:system_file:s0\n")) << perms;
    }
    EXPECT_EQ(file_mode(kPrivateDir), 0700);

    ASSERT_TRUE(set_abi("mips"));
    r = install_zip();
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(has(r.out, "! veltaris: unsupported ABI 'mips'")) << r;
    EXPECT_FALSE(has(r.out, "installer: done")) << r;
}

// At boot: the record of a crashed hold is applied, outdoor mode runs on
// the probed node and boosts for system_server, and comes back after a
// kill -9.
TEST_F(PackageTest, BootServiceRecoversThenSupervisesOutdoorMode) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(install());
    leave_crashed_hold(node);
    pid_t server = start_system_server();
    ASSERT_GT(server, 0);

    ProgramResult r = script("service.sh");
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(wait_until([&] { return !path_exists(kPermissionRecord) && node->mode() == 0664; }, kSettle))
        << "mode " << std::oct << node->mode() << std::dec << "; log:\n" << log();
    pid_t first = wait_outdoor();
    ASSERT_GT(first, 0) << log();
    EXPECT_TRUE(has(log(), std::string("node: ") + kNodePath + " (chosen by veltarisctl probe)")) << log();

    ASSERT_GT(hold_outdoor_lease(server), 0);
    EXPECT_TRUE(wait_until([&] { return node->value() == 177; }, kSettle))
        << "the node shows " << node->value() << "; record " << read_file(kOutdoorHealth).value_or("-");

    ASSERT_EQ(kill(first, SIGKILL), 0);
    pid_t second = wait_outdoor(first);
    EXPECT_GT(second, 0) << log();
    EXPECT_TRUE(has(log(), "outdoor: pid " + std::to_string(first) +
                               " exited with status 137 (killed by signal 9) after "))
        << log();
    EXPECT_TRUE(has(log(), "; restart in 1 s\n")) << log();
    if (getenv("VELTARIS_SHOW_SERVICE_LOG")) printf("service.log:\n%s", log().c_str());
}

TEST_F(PackageTest, RefusedNodeIsNotRestartedInALoop) {
    FakeNodeOptions keyboard;
    keyboard.name = "keyboard-backlight";
    ASSERT_TRUE(add_node(keyboard));
    ASSERT_TRUE(install());
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/outdoor-node",
                           "/sys/class/backlight/keyboard-backlight/brightness\n"));

    ASSERT_EQ(script("service.sh").code, 0);
    ASSERT_TRUE(wait_until([&] { return has(log(), "service: stopped"); }, kSettle)) << log();
    // Run lengths come from a monotonic clock, not the jumping date.
    long ran = number_after(log(), "exited with status 4 after ");
    EXPECT_TRUE(ran >= 0 && ran < 1000) << log();
    EXPECT_TRUE(has(log(), "gave up: the daemon refuses the node, or its maximum is below 11 "
                           "(a setup problem, not restarted)"))
        << log();
    EXPECT_EQ(count(log(), "outdoor: started pid"), 1) << log();
    EXPECT_FALSE(path_exists(kServicePid));
}

TEST_F(PackageTest, NoMainPanelStartsNothingAndSaysWhy) {
    ASSERT_TRUE(install());
    ASSERT_EQ(script("service.sh").code, 0);
    ASSERT_TRUE(wait_until([&] { return has(log(), "gave up: "); }, kSettle)) << log();
    EXPECT_TRUE(has(log(), "gave up: no node for outdoor mode (probe exit 1: veltarisctl: no main panel: "
                           "no usable node in the backlight or leds class); name one in "))
        << log();
    EXPECT_FALSE(has(log(), "outdoor: started")) << log();
    EXPECT_TRUE(wait_until([&] { return !path_exists(kServicePid); }, kSettle));
}

// Removal stops the service and its daemon, puts back a mode left by a
// crashed hold, and keeps the log unless asked to purge.
// The service uses the outdoor-node override an earlier version kept in
// its module folder, which the update replaced (CRLF and blanks and all).
TEST_F(PackageTest, UninstallStopsTheServiceAndRecovers) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(mkdir_p(kModule));
    ASSERT_TRUE(write_file(std::string(kModule) + "/outdoor-node", std::string(" ") + kNodePath + " \r\n"));
    ASSERT_TRUE(install());
    ASSERT_EQ(script("service.sh").code, 0);
    pid_t outdoor = wait_outdoor();
    ASSERT_GT(outdoor, 0) << log();
    EXPECT_TRUE(has(log(), std::string("node: ") + kNodePath + " (from " + kPrivateDir + "/outdoor-node)\n")) << log();
    pid_t service = read_pid(kServicePid);
    ASSERT_TRUE(alive(service));
    leave_crashed_hold(node);

    // What it cannot check it does not call done.
    ASSERT_TRUE(set_boot_id(""));
    ProgramResult r = script("uninstall.sh");
    EXPECT_NE(r.code, 0) << r;
    EXPECT_TRUE(has(r.err, "cannot tell")) << r;
    EXPECT_FALSE(has(log(), "uninstall: done")) << log();
    EXPECT_TRUE(alive(service));
    ASSERT_TRUE(set_boot_id(kDefaultBootId));

    r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_FALSE(alive(service));
    EXPECT_FALSE(alive(outdoor));
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_FALSE(path_exists(kServicePid));
    EXPECT_FALSE(path_exists(kOutdoorPid));
    EXPECT_TRUE(has(log(), "exited with status 0 after ")) << log();
    EXPECT_TRUE(has(log(), "(service stopping)")) << log();
    EXPECT_TRUE(has(log(), "uninstall: recover exit 0\n")) << log();
    EXPECT_TRUE(has(log(), "uninstall: done")) << log();
    EXPECT_TRUE(lock_free(kOutdoorLock));

    // A purge keeps what a running main-panel daemon uses.
    leave_crashed_hold(node);
    int lock = open(kMainPanelLock, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
    r = script("uninstall.sh", {"--purge"});
    EXPECT_NE(r.code, 0) << r;
    EXPECT_TRUE(has(r.err, "a main-panel daemon runs")) << r;
    EXPECT_TRUE(path_exists(kPermissionRecord));
    EXPECT_TRUE(path_exists(kMainPanelLock));
    close(lock);
    ASSERT_EQ(script("uninstall.sh", {"--purge"}).code, 0);
    EXPECT_FALSE(path_exists(kPrivateDir));
}

// Pid files left by an earlier version or boot name whoever has those
// pids now: another module's boot script, a process with the daemon's
// words in its command line. They neither stop the service nor get
// signalled at removal.
TEST_F(PackageTest, StalePidFilesNameNoOneElse) {
    ASSERT_TRUE(panel());
    ASSERT_TRUE(install());
    pid_t other_script = start_named_process("/data/adb/modules/other/service.sh", 0, 0);
    ASSERT_GT(other_script, 0);
    pid_t look_alike = start_program({"sh", "-c", "sleep 3600; :", "veltarisd", "--outdoor", "--node", kNodePath});
    ASSERT_GT(look_alike, 0);
    ASSERT_TRUE(write_file(kServicePid, std::to_string(other_script) + "\n"));
    ASSERT_TRUE(write_file(kOutdoorPid,
                           std::to_string(look_alike) + " another-boot\n--outdoor\n" + kNodePath + "\n"));

    ProgramResult r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(alive(other_script));
    EXPECT_TRUE(alive(look_alike));

    ASSERT_EQ(script("service.sh").code, 0);
    EXPECT_GT(wait_outdoor(), 0) << log();
    EXPECT_FALSE(has(log(), "already running")) << log();

    // A file of this boot whose word (service.sh, run by hand) is only
    // part of the other script's: not the service, which then cannot be
    // stopped, and that is a failure.
    auto own = read_file(kServicePid);
    ASSERT_TRUE(own);
    std::string boot = boot_id();
    boot.pop_back();
    ASSERT_TRUE(write_file(kServicePid, std::to_string(other_script) + " " + boot + "\nservice.sh\n"));
    r = script("uninstall.sh");
    EXPECT_NE(r.code, 0) << r;
    EXPECT_TRUE(alive(other_script));

    ASSERT_TRUE(write_file(kServicePid, *own));
    r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(alive(other_script));
    EXPECT_TRUE(alive(look_alike));
    EXPECT_TRUE(lock_free(kOutdoorLock));
}

// Two starts at once: one service, the other says so and leaves; removal
// then stops everything.
TEST_F(PackageTest, ConcurrentStartsLeaveOneService) {
    ASSERT_TRUE(panel());
    ASSERT_TRUE(install());
    ProgramOptions o;
    o.cwd = "/";
    o.env = {kScriptPath};
    std::string path = std::string(kModule) + "/service.sh";
    ProgramResult r = run_program({"sh", "-c", "sh " + path + " & sh " + path + " & wait"}, o);
    ASSERT_EQ(r.code, 0) << r;
    ASSERT_GT(wait_outdoor(), 0) << log();
    EXPECT_TRUE(wait_until([&] { return has(log(), "service: already running"); }, kSettle)) << log();
    EXPECT_EQ(count(log(), "service: started"), 1) << log();

    r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(lock_free(kOutdoorLock)) << log();
    EXPECT_TRUE(lock_free((std::string(kPrivateDir) + "/service.lock").c_str())) << log();
}

// Two writers that find the log full at once: one rotates, the history
// survives in .old. A slow wc holds both at the size check, the second
// one until the first has rotated and written.
TEST_F(PackageTest, LogRotationKeepsTheHistory) {
    unpack();
    ASSERT_TRUE(mkdir_p(kPrivateDir, 0700));
    ASSERT_TRUE(write_file(kServiceLog, std::string(20000, 'h') + "\nhistory\n"));
    ASSERT_TRUE(write_file("/sandbox/bin/wc",
                           "#!/bin/sh\nif mkdir /sandbox/wc-first 2>/dev/null; then sleep 1; else sleep 3; fi\n"
                           "exec /usr/bin/toybox wc \"$@\"\n",
                           0755));
    ProgramResult r = run_program({"sh", "-c", ". ./veltaris-lib.sh; veltaris_log one & veltaris_log two & wait"},
                                  ProgramOptions{0, 0, kModule, {kScriptPath}});
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(read_file(kServiceLog + ".old").value_or(""), "history\n"));
    EXPECT_TRUE(has(log(), " one\n") && has(log(), " two\n")) << log();
}

// The user disables the module, or marks it for removal, while the service
// runs: outdoor mode and the supervisor end, and a boot with the flag
// starts nothing and says why.
TEST_F(PackageTest, DisableOrRemoveStopsTheServiceAndABootStartsNothing) {
    ASSERT_TRUE(panel());
    ASSERT_TRUE(install());
    pid_t outdoor = 0;
    int started = 0;
    for (const std::string& flag : {std::string("disable"), std::string("remove")}) {
        SCOPED_TRACE(flag);
        ASSERT_EQ(script("service.sh").code, 0);
        outdoor = wait_outdoor(outdoor);
        ASSERT_GT(outdoor, 0) << log();
        ++started;
        pid_t service = read_pid(kServicePid);
        ASSERT_TRUE(alive(service));

        const std::string path = std::string(kModule) + "/" + flag;
        ASSERT_TRUE(write_file(path, ""));
        EXPECT_TRUE(wait_until([&] { return !alive(service) && !alive(outdoor); }, kSettle)) << log();
        EXPECT_TRUE(has(log(), "module-watch: " + path + ": SIGTERM to pid " + std::to_string(service) + "\n")) << log();
        EXPECT_TRUE(has(log(), "(service stopping)\n")) << log();
        EXPECT_TRUE(lock_free(kOutdoorLock));

        ASSERT_EQ(script("service.sh").code, 0);
        const std::string why = flag == "disable" ? "disabled" : "marked for removal";
        EXPECT_TRUE(has(log(), "service: not started: the module is " + why + " (" + path + ")\n")) << log();
        EXPECT_EQ(count(log(), "outdoor: started pid"), started) << log();
        EXPECT_FALSE(path_exists(kServicePid));
        ASSERT_TRUE(remove_tree(path));
    }
}

// What the manager shows: the description follows outdoor mode (waiting,
// boosting for system_server, stopped with the service), and the action
// button prints a short report; the log says whether the module's
// sepolicy rule is in force (here: no SELinux at all).
TEST_F(PackageTest, DescriptionAndActionButtonFollowTheService) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(install());
    pid_t server = start_system_server();
    ASSERT_GT(server, 0);
    ASSERT_EQ(script("service.sh").code, 0);
    pid_t outdoor = wait_outdoor();
    ASSERT_GT(outdoor, 0) << log();
    EXPECT_TRUE(wait_until([&] { return description() == "Outdoor: waiting | Main panel: not holding"; }, kSettle))
        << description();
    EXPECT_TRUE(has(log(), "selinux: disabled (no selinuxfs): nothing refuses a connection to the control socket\n"))
        << log();

    ASSERT_GT(hold_outdoor_lease(server), 0);
    EXPECT_TRUE(wait_until([&] { return description() == "Outdoor: boosting 100->177 | Main panel: not holding"; },
                           kSettle))
        << description() << "; node " << node->value();

    ProgramResult action = script("action.sh");
    EXPECT_EQ(action.code, 0) << action;
    for (const std::string& line :
         {std::string("Node: ") + kNodePath, "Daemons: outdoor running (pid " + std::to_string(outdoor) +
                                                  "), main panel not running",
          std::string("Outdoor: boosting 100->177"), std::string("Main panel: not holding"), std::string("SELinux: disabled"),
          std::string("Control socket: system_server: unknown (no selinuxfs: SELinux is off)")})
        EXPECT_TRUE(has(action.out, "\n" + line + "\n")) << line << "\n" << action.out;

    ProgramResult r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(description(), "Outdoor: stopped | Main panel: not holding") << log();
    EXPECT_TRUE(has(log(), "module-watch: ended after ")) << log();
    if (getenv("VELTARIS_SHOW_SERVICE_LOG")) printf("action.sh:\n%sservice.log:\n%s", action.out.c_str(), log().c_str());
}

}  // namespace
}  // namespace sandbox
