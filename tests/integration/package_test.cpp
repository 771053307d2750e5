// The device package end to end, as a root manager would use it: the zip
// unpacked into a module folder, its scripts run by mksh (the shell of
// Android devices) with a stand-in getprop, and its arm64 binaries run
// under qemu. Installation, the boot service (recovery of a crashed hold,
// outdoor mode on the probed node, its restart after a kill, no restart
// loop on a setup problem) and removal.
//
// binfmt_misc is not registered on the build machine, and a test must not
// register it, so after installation each installed binary is replaced by
// a small script that execs qemu-aarch64-static on the real binary. exec
// keeps the pid, so the service's pid files and its kill-by-pid still name
// the daemon itself.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kModule = "/data/adb/modules/veltaris";
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
        ASSERT_TRUE(mkdir("/sandbox/bin", 0755) == 0 || errno == EEXIST);
        ASSERT_TRUE(write_file("/sandbox/bin/getprop",
                               "#!/bin/sh\n[ \"$1\" = ro.product.cpu.abi ] && cat /sandbox/abi\n", 0755));
        ASSERT_TRUE(set_abi("arm64-v8a"));
        ASSERT_EQ(mkdir("/data/adb/modules", 0755), 0);
        unpack();
    }

    void unpack() {
        ProgramResult r = run_program({"unzip", "-q", "-o", package_zip(), "-d", kModule});
        ASSERT_EQ(r.code, 0) << r;
    }

    bool set_abi(const std::string& abi) { return write_file("/sandbox/abi", abi + "\n"); }

    // Runs one of the module's scripts with mksh, from the module folder.
    ProgramResult script(const std::string& name, const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = {"mksh", std::string(kModule) + "/" + name};
        argv.insert(argv.end(), args.begin(), args.end());
        ProgramOptions o;
        o.cwd = kModule;
        o.env = {"PATH=/sandbox/bin:" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
        return run_program(argv, o);
    }

    // Installs, then puts the qemu wrappers in place of the binaries.
    bool install() {
        ProgramResult r = script("customize.sh");
        EXPECT_EQ(r.code, 0) << r;
        if (r.code != 0) return false;
        for (const char* name : {"veltarisd", "veltarisctl"}) {
            std::string installed = std::string(kModule) + "/system/bin/" + name;
            std::string real = std::string("/sandbox/arm64-") + name;
            auto binary = read_file(installed);
            if (!binary || !write_file(real, *binary, 0755)) return false;
            if (!write_file(installed, "#!/bin/sh\nexec qemu-aarch64-static " + real + " \"$@\"\n", 0755))
                return false;
        }
        return true;
    }

    std::string log() { return read_file(kServiceLog).value_or("(no log)"); }

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
};

TEST_F(PackageTest, InstallMakesThePrivateDirectoryAndRefusesAnUnsupportedAbi) {
    ASSERT_TRUE(set_abi("x86_64"));
    ProgramResult refused = script("customize.sh");
    EXPECT_EQ(refused.code, 1) << refused;
    EXPECT_TRUE(has(refused.err, "unsupported ABI 'x86_64'")) << refused;
    EXPECT_FALSE(path_exists(kPrivateDir)) << "nothing is done on an unsupported ABI";

    ASSERT_TRUE(set_abi("arm64-v8a"));
    ProgramResult r = script("customize.sh");
    ASSERT_EQ(r.code, 0) << r;
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

    // An existing directory is only ever tightened.
    ASSERT_EQ(chmod(kPrivateDir, 0500), 0);
    unpack();
    ASSERT_EQ(script("customize.sh").code, 0);
    EXPECT_EQ(file_mode(kPrivateDir), 0500);
}

// A manager's installer sources the script with MODPATH set and its own
// ui_print and abort; the script uses them and returns to the installer.
TEST_F(PackageTest, InstallSourcedByAManagerUsesItsFunctions) {
    ProgramOptions o;
    o.cwd = "/";
    o.env = {"PATH=/sandbox/bin:" + std::string(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
    ProgramResult r = run_program({"mksh", "-c",
                                   std::string("MODPATH=") + kModule +
                                       "; ui_print() { echo \"manager: $1\"; }; abort() { echo \"aborted: $1\"; "
                                       "exit 3; }; . \"$MODPATH/customize.sh\"; echo installer goes on"},
                                  o);
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(r.out, "manager: - veltaris: installed the arm64-v8a binaries")) << r;
    EXPECT_TRUE(has(r.out, "installer goes on\n")) << r;
    EXPECT_EQ(file_mode(std::string(kModule) + "/system/bin/veltarisd"), 0755);

    unpack();
    ASSERT_TRUE(set_abi("x86"));
    r = run_program({"mksh", "-c",
                     std::string("MODPATH=") + kModule + "; abort() { echo \"aborted: $1\"; exit 3; }; . \"$MODPATH/customize.sh\""},
                    o);
    EXPECT_EQ(r.code, 3) << r;
    EXPECT_TRUE(has(r.out, "aborted: ! veltaris: unsupported ABI 'x86'")) << r;
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

    ProgramOptions as_system;
    as_system.uid = kSystemUid;
    as_system.gid = kSystemUid;
    ASSERT_GT(start_program({client_binary(kSystemUid), "outdoor-lease", "v1", "500", "--pid",
                             std::to_string(server), "--hold"},
                            as_system),
              0);
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
    ASSERT_TRUE(write_file(std::string(kModule) + "/outdoor-node",
                           "/sys/class/backlight/keyboard-backlight/brightness\n"));

    ASSERT_EQ(script("service.sh").code, 0);
    ASSERT_TRUE(wait_until([&] { return has(log(), "service: stopped"); }, kSettle)) << log();
    EXPECT_TRUE(has(log(), "exited with status 4 after ")) << log();
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
TEST_F(PackageTest, UninstallStopsTheServiceAndRecovers) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(install());
    ASSERT_EQ(script("service.sh").code, 0);
    pid_t outdoor = wait_outdoor();
    ASSERT_GT(outdoor, 0) << log();
    pid_t service = read_pid(kServicePid);
    ASSERT_TRUE(alive(service));
    leave_crashed_hold(node);

    ProgramResult r = script("uninstall.sh");
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

    ASSERT_EQ(script("uninstall.sh", {"--purge"}).code, 0);
    EXPECT_FALSE(path_exists(kPrivateDir));
}

}  // namespace
}  // namespace sandbox
