// The device package end to end, as each root manager would use it: the
// zip handed to a stand-in of that manager's installer (tests/package/
// managers.sh: manager A's installer functions behind the zip's
// update-binary, managers B and C unpacking it and sourcing customize.sh
// themselves), its scripts run by the shell the managers use, busybox's
// ash with ASH_STANDALONE=1 (a busybox built with the managers' settings,
// scripts/build-busybox.sh: Debian's has applets and options theirs lacks;
// it runs its applets before PATH whether or not that is set), or by mksh
// as by hand, with nothing but
// toybox applets on PATH (Debian's build, which lacks a few of Android's,
// tr among them) and a stand-in getprop, and its arm64 binaries run under
// qemu. Installation, the boot service (recovery of a crashed hold,
// outdoor mode on the probed node, its restart after a kill, no restart
// loop on a setup problem), the flag files that disable or remove the
// module, the description and the action button the manager shows, and
// removal.
//
// binfmt_misc is not registered on the build machine, and a test must not
// register it, so after installation each installed binary is replaced by
// a small script that execs qemu-aarch64-static on the real binary. exec
// keeps the pid, so the service's pid files and its kill-by-pid still name
// the daemon itself.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ctype.h>
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kModule = "/data/adb/modules/veltaris";
// Where a manager installs an update; its boot moves it into kModule.
const char* const kModuleUpdate = "/data/adb/modules_update/veltaris";
// The script update-binary sources (manager A), the stand-in of manager
// B's and C's installers, and the file the stand-ins' set_perm reports to.
const char* const kInstallerFunctions = "/data/adb/magisk/util_functions.sh";
const char* const kOtherInstaller = "/sandbox/managers.sh";
const char* const kSetPermLog = "/sandbox/set_perm.log";
// Where the stand-in of A copies the rules it loads at boot.
const char* const kPreinitRules = "/sandbox/preinit/veltaris/sepolicy.rule";
// The only commands on the scripts' PATH: a stand-in getprop and date,
// unzip (Android has one), then toybox applets and mksh as sh.
const char* const kScriptPath = "PATH=/sandbox/bin:/sandbox/toybox";
// The binaries' place in the module folder: no mount or metamodule
// touches it.
const std::string kInstalledBin = std::string(kModule) + "/bin/";
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


enum class Manager { A, B, C };
enum class Shell { mksh, busybox };
struct Variant {
    Manager manager;
    Shell shell;
};

std::string variant_label(const Variant& v) {
    const char* manager = v.manager == Manager::A ? "A" : v.manager == Manager::B ? "B" : "C";
    return std::string(manager) + (v.shell == Shell::mksh ? "_mksh" : "_busybox");
}
std::string variant_name(const testing::TestParamInfo<Variant>& info) { return variant_label(info.param); }
void PrintTo(const Variant& v, std::ostream* os) { *os << variant_label(v); }

// Whether a rule file reads as B reads it, which splits statements at ';'
// as well as at line ends: every piece is blank, a comment, or a whole
// allow rule (a ';' in a comment would make its rest a statement).
bool rules_split_cleanly(const std::string& rules, std::string* bad) {
    std::string piece;
    for (size_t at = 0; at <= rules.size(); ++at) {
        char c = at < rules.size() ? rules[at] : '\n';
        if (c != ';' && c != '\n') {
            piece += c;
            continue;
        }
        size_t first = piece.find_first_not_of(" \t");
        std::string words = first == std::string::npos ? "" : piece.substr(first);
        bool comment_line = !words.empty() && words[0] == '#';
        if (comment_line && c == ';') {
            *bad = piece;
            return false;
        }
        if (!words.empty() && !comment_line && (words.rfind("allow ", 0) != 0 || count(words, " ") != 4)) {
            *bad = piece;
            return false;
        }
        piece.clear();
    }
    return true;
}

// The rule lines sepolicy.rule must hold: both clients for every root
// domain in use, one rule a line, as the managers read them.
std::string connectto_rules(const std::string& domain) {
    return "allow system_server " + domain + " unix_stream_socket connectto\n" + "allow system_app " + domain +
           " unix_stream_socket connectto\n";
}

class PackageTest : public SandboxTest, public testing::WithParamInterface<Variant> {
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
        if (!path_exists(VELTARIS_MANAGERS_BUSYBOX)) {
            if (running_in_ci()) FAIL() << VELTARIS_MANAGERS_BUSYBOX << " is missing: run scripts/build-busybox.sh first";
            GTEST_SKIP() << VELTARIS_MANAGERS_BUSYBOX << " is missing (scripts/build-busybox.sh builds it)";
        }
        ASSERT_TRUE(mkdir_p("/sandbox/bin") && mkdir_p("/sandbox/toybox"));
        ProgramResult applets = run_program({"toybox"});
        ASSERT_EQ(applets.code, 0) << applets;
        std::istringstream words(applets.out);
        for (std::string applet; words >> applet;)
            ASSERT_EQ(symlink("/usr/bin/toybox", ("/sandbox/toybox/" + applet).c_str()), 0) << applet;
        ASSERT_EQ(symlink("/usr/bin/mksh", "/sandbox/toybox/sh"), 0);
        ASSERT_EQ(symlink("/usr/bin/mksh", "/sandbox/toybox/mksh"), 0);
        ASSERT_EQ(symlink("/usr/bin/unzip", "/sandbox/bin/unzip"), 0);
        // The device's ABI, and whether boot is complete (B and C install
        // only then).
        ASSERT_TRUE(write_file("/sandbox/bin/getprop",
                               "#!/bin/sh\ncase \"$1\" in ro.product.cpu.abi) cat /sandbox/abi ;;\n"
                               "sys.boot_completed) cat /sandbox/boot_completed 2>/dev/null || echo 1 ;; esac\n",
                               0755));
        // A wall clock that jumps a day at each reading, as it may when
        // the network time arrives after boot.
        ASSERT_TRUE(write_file("/sandbox/bin/date",
                               "#!/bin/sh\n[ \"$1\" = +%s ] || exec /usr/bin/toybox date \"$@\"\n"
                               "n=$(($(cat /sandbox/clock 2>/dev/null || echo 1700000000) + 86400))\n"
                               "echo $n > /sandbox/clock; echo $n\n",
                               0755));
        ASSERT_TRUE(set_abi("arm64-v8a"));
        ASSERT_TRUE(mkdir_p("/data/adb/modules") && mkdir_p("/data/adb/magisk"));
        auto installers = read_file(VELTARIS_MANAGERS_STANDIN);
        ASSERT_TRUE(installers) << VELTARIS_MANAGERS_STANDIN;
        ASSERT_TRUE(write_file(kInstallerFunctions, *installers) && write_file(kOtherInstaller, *installers));
    }

    void unpack(const std::string& zip = package_zip()) {
        ProgramResult r = run_program({"unzip", "-q", "-o", zip, "-d", kModule});
        ASSERT_EQ(r.code, 0) << r;
    }

    bool set_abi(const std::string& abi) { return write_file("/sandbox/abi", abi + "\n"); }

    // The variant's shell running argv (a script and its arguments, or -c
    // and a command) from folder cwd.
    ProgramResult run_shell(const std::vector<std::string>& argv, const std::string& cwd,
                            std::vector<std::string> env = {}) {
        std::vector<std::string> all = {"mksh"};
        env.push_back(kScriptPath);
        if (GetParam().shell == Shell::busybox) {
            all = {VELTARIS_MANAGERS_BUSYBOX, "sh"};
            env.push_back("ASH_STANDALONE=1");
        }
        all.insert(all.end(), argv.begin(), argv.end());
        ProgramOptions o;
        o.cwd = cwd;
        o.env = env;
        return run_program(all, o);
    }

    // Runs one of the module's scripts from the module folder, by its bare
    // name as the by-hand commands do.
    ProgramResult script(const std::string& name, const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = {name};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_shell(argv, kModule);
    }

    // The zip as the variant's manager consumes it: A's update-binary taken
    // out and run as `update-binary 3 OUTFD ZIP`; B's and C's installer
    // given the zip. `context` replaces the installer's SELinux context;
    // `boot_mode` false is an install from recovery (A's alone).
    ProgramResult install_zip(const std::string& context = "", const std::string& zip = package_zip(),
                              bool boot_mode = true) {
        std::vector<std::string> env = {std::string("BOOTMODE=") + (boot_mode ? "true" : "false"),
                                        std::string("STANDIN_LOG=") + kSetPermLog,
                                        "STANDIN_PREINIT=/sandbox/preinit"};
        if (!context.empty()) env.push_back("STANDIN_CONTEXT=" + context);
        if (GetParam().manager != Manager::A)
            return run_shell({kOtherInstaller, GetParam().manager == Manager::B ? "B" : "C", zip}, "/", env);
        ProgramResult binary = run_program({"unzip", "-p", zip, "META-INF/com/google/android/update-binary"});
        if (binary.code != 0 || !write_file("/sandbox/update-binary", binary.out, 0755)) return binary;
        return run_shell({"/sandbox/update-binary", "3", "1", zip}, "/", env);
    }

    // Installs as a manager does (then its next boot moves the update in
    // place of the old folder) and puts qemu wrappers in place of the
    // binaries; `native`: the x86_64 build, which runs here as it is, from
    // the module folder, as the binaries do on a phone.
    bool install(bool native = false) {
        if (native && !set_abi("x86_64")) return false;
        ProgramResult r = install_zip();
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_TRUE(has(r.out, "installer: done")) << r;
        if (r.code != 0 || !remove_tree(kModule) || rename(kModuleUpdate, kModule) != 0) return false;
        if (native) return true;
        for (const char* name : {"veltarisd", "veltarisctl"}) {
            std::string installed = kInstalledBin + name;
            std::string real = std::string("/sandbox/arm64-") + name;
            auto binary = read_file(installed);
            if (!binary || !write_file(real, *binary, 0755)) return false;
            if (!write_file(installed, "#!/bin/sh\nexec /usr/bin/qemu-aarch64-static " + real + " \"$@\"\n", 0755))
                return false;
        }
        return true;
    }

    std::string log() { return read_file(kServiceLog).value_or("(no log)"); }

    // The processes of this sandbox (its mount namespace) whose command
    // line names the module folder, one "PID: ARGS" a line.
    std::string module_processes() {
        std::string out;
        auto own_ns = [](const std::string& pid) {
            char link[64] = {}, self[64] = {};
            ssize_t n = readlink(("/proc/" + pid + "/ns/mnt").c_str(), link, sizeof link - 1);
            return n > 0 && readlink("/proc/self/ns/mnt", self, sizeof self - 1) == n && strcmp(link, self) == 0;
        };
        DIR* proc = opendir("/proc");
        if (!proc) return "(no /proc)";
        while (struct dirent* e = readdir(proc)) {
            std::string pid = e->d_name;
            if (pid.find_first_not_of("0123456789") != std::string::npos || !own_ns(pid)) continue;
            std::string args = read_file("/proc/" + pid + "/cmdline").value_or("");
            for (char& c : args) c = c ? c : ' ';
            if (has(args, kModule)) out += pid + ": " + args + "\n";
        }
        closedir(proc);
        return out;
    }

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
        return start_program({client_binary(), "outdoor-lease", "v1", "500", "--pid",
                              std::to_string(server), "--hold"},
                             as_system);
    }
};

// By hand, from the unpacked folder: `sh customize.sh`.
TEST_P(PackageTest, InstallByHandMakesThePrivateDirectoryAndChoosesTheAbi) {
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
    // Its commands by full path: system/ is not on PATH under every manager.
    EXPECT_TRUE(has(r.out, "su -c " + kInstalledBin + "veltarisctl probe\n")) << r;
    EXPECT_TRUE(has(r.out, "the binaries are " + kInstalledBin + "veltarisd and " + kInstalledBin + "veltarisctl"))
        << r;
    auto dir = stat_path(kPrivateDir);
    ASSERT_TRUE(dir);
    EXPECT_EQ(dir->st_mode & 07777, 0700u);
    EXPECT_EQ(dir->st_uid, 0u);
    for (const char* name : {"veltarisd", "veltarisctl"}) {
        std::string installed = kInstalledBin + name;
        EXPECT_EQ(file_mode(installed), 0755) << installed;
        ProgramResult original = run_program({"unzip", "-p", package_zip(), std::string("bin/arm64-v8a/") + name});
        EXPECT_TRUE(read_file(installed) == original.out) << installed << " is not the arm64 binary";
    }
    for (const char* abi : {"arm64-v8a", "armeabi-v7a", "x86_64"})
        EXPECT_FALSE(path_exists(kInstalledBin + abi)) << "the unused builds are removed";
    // Nothing the module runs is in system/, which a metamodule mounts
    // (or moves away) under B and C.
    EXPECT_FALSE(path_exists(std::string(kModule) + "/system"));

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
    EXPECT_TRUE(read_file(kInstalledBin + "veltarisd") == x86_daemon);
}

// The zip as each manager's installer takes it: A's marker line and
// update-binary handing over to A's functions, B and C unpacking it and
// sourcing customize.sh themselves; customize.sh using their ui_print and
// set_perm (labels and modes given explicitly), naming the binaries by
// full path, leaving the rules that manager loads (where A loads them
// from, too), and an unsupported ABI, a recovery install, or (B, C) an
// install before boot is complete refused through them.
TEST_P(PackageTest, InstallThroughTheManagersInstaller) {
    const bool a = GetParam().manager == Manager::A;
    if (a) {
        ProgramResult marker =
            run_program({"unzip", "-p", package_zip(), "META-INF/com/google/android/updater-script"});
        EXPECT_EQ(marker.out, "#MAGISK\n") << marker;
    }
    std::string rules = run_program({"unzip", "-p", package_zip(), "sepolicy.rule"}).out;
    for (const char* domain : {"magisk", "su", "ksu"}) {
        EXPECT_TRUE(has(rules, connectto_rules(domain))) << rules;
    }

    ProgramResult r = install_zip();
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(r.out, "- veltaris: installed the arm64-v8a binaries")) << r;
    EXPECT_TRUE(has(r.out, "su -c " + kInstalledBin + "veltarisctl probe\n")) << r;
    EXPECT_TRUE(has(r.out, "installer: done")) << r;
    EXPECT_FALSE(path_exists(std::string(kModuleUpdate) + "/META-INF"));
    // The manager's own domain is among the rules: nothing added.
    std::string installed_rules = std::string(kModuleUpdate) + "/sepolicy.rule";
    EXPECT_EQ(read_file(installed_rules), rules);
    auto perms = read_file(kSetPermLog).value_or("");
    for (const char* name : {"veltarisd", "veltarisctl"}) {
        std::string installed = std::string(kModuleUpdate) + "/bin/" + name;
        EXPECT_EQ(file_mode(installed), 0755) << installed;
        EXPECT_TRUE(has(perms, installed + " 0 0 0755 u:object_r:system_file:s0\n")) << perms;
        ProgramResult runs = run_program({"/usr/bin/qemu-aarch64-static", installed, "--version"});
        EXPECT_TRUE(runs.code == 0 && has(runs.out + runs.err, "veltaris")) << installed << ": " << runs;
    }
    EXPECT_EQ(file_mode(kPrivateDir), 0700);

    // An installer in a domain none of the rules names (a fork's) adds its
    // two, once; only a plain type name of a root manager's domain is
    // taken, never one of the platform's own. Every rule file reads the
    // same split at ';' (B) as at line ends, and A's boot-time copy is the
    // installed file.
    struct {
        const char* context;
        const char* added;
    } const domains[] = {{"u:r:root_fork2:s0", "root_fork2"}, {"u:r:su:s0", nullptr},    {"u:r:Su:s0", nullptr},
                         {"u:r:su-x:s0", nullptr},             {"u:r:su x:s0", nullptr}, {"u:r:su", nullptr},
                         {"unconfined", nullptr},              {"u:r:recovery:s0", nullptr},
                         {"u:r:shell:s0", nullptr},            {"u:r:adbd:s0", nullptr}};
    for (const auto& d : domains) {
        r = install_zip(d.context);
        ASSERT_EQ(r.code, 0) << d.context << ": " << r;
        std::string want = rules;
        if (d.added) want += "# The root domain of the manager that installed this module:\n" + connectto_rules(d.added);
        EXPECT_EQ(read_file(installed_rules).value_or(""), want) << d.context;
        EXPECT_EQ(has(r.out, "its rule was added to sepolicy.rule"), d.added != nullptr) << d.context << ": " << r;
        std::string bad;
        EXPECT_TRUE(rules_split_cleanly(read_file(installed_rules).value_or(""), &bad)) << d.context << ": " << bad;
        if (a) {
            EXPECT_EQ(read_file(kPreinitRules).value_or("(none)"), want) << d.context;
        }
    }

    // Refused, and nothing of the module left in the manager's folder: from
    // recovery (which only A's installer runs in), or before boot is
    // complete (which B and C check themselves).
    ASSERT_TRUE(remove_tree(kModuleUpdate));
    if (a) {
        r = install_zip("", package_zip(), false);
        EXPECT_TRUE(has(r.out, "! veltaris: install this zip from the root manager's app in a running system, "
                               "not from recovery"))
            << r;
    } else {
        ASSERT_TRUE(write_file("/sandbox/boot_completed", "0\n"));
        r = install_zip();
        EXPECT_TRUE(has(r.out, "boot is not complete")) << r;
        ASSERT_TRUE(remove_tree("/sandbox/boot_completed"));
    }
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_FALSE(has(r.out, "installer: done")) << r;
    EXPECT_FALSE(path_exists(kModuleUpdate));

    ASSERT_TRUE(set_abi("mips"));
    r = install_zip();
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(has(r.out, "! veltaris: unsupported ABI 'mips'")) << r;
    EXPECT_FALSE(has(r.out, "installer: done")) << r;
}

// At boot: the record of a crashed hold is applied, outdoor mode runs on
// the probed node and boosts for system_server, and comes back after a
// kill -9.
TEST_P(PackageTest, BootServiceRecoversThenSupervisesOutdoorMode) {
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

TEST_P(PackageTest, RefusedNodeIsNotRestartedInALoop) {
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

TEST_P(PackageTest, NoMainPanelStartsNothingAndSaysWhy) {
    ASSERT_TRUE(install());
    ASSERT_EQ(script("service.sh").code, 0);
    ASSERT_TRUE(wait_until([&] { return has(log(), "gave up: "); }, kSettle)) << log();
    EXPECT_TRUE(has(log(), "gave up: no node for outdoor mode (probe exit 1: veltarisctl: no main panel: "
                           "no usable node in the backlight or leds class); name one in "))
        << log();
    EXPECT_FALSE(has(log(), "outdoor: started")) << log();
    EXPECT_TRUE(wait_until([&] { return !path_exists(kServicePid); }, kSettle));
}

// Removal by hand while the service runs stops the service and its daemon
// and puts back a mode left by a crashed hold before anything goes; it
// removes nothing while a main-panel daemon runs.
// The service uses the outdoor-node override an earlier version kept in
// its module folder, which the update replaced (CRLF and blanks and all).
TEST_P(PackageTest, UninstallStopsTheServiceAndRecovers) {
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
    ASSERT_TRUE(process_alive(service));
    leave_crashed_hold(node);
    // Kept, so that the log shows what removal did.
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/keep-on-uninstall", ""));

    // What it cannot check it does not call done.
    ASSERT_TRUE(set_boot_id(""));
    ProgramResult r = script("uninstall.sh");
    EXPECT_NE(r.code, 0) << r;
    EXPECT_TRUE(has(r.err, "cannot tell")) << r;
    EXPECT_FALSE(has(log(), "uninstall: done")) << log();
    EXPECT_TRUE(process_alive(service));
    ASSERT_TRUE(set_boot_id(kDefaultBootId));

    r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_FALSE(process_alive(service));
    EXPECT_FALSE(process_alive(outdoor));
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_FALSE(path_exists(kPermissionRecord));
    EXPECT_FALSE(path_exists(kServicePid));
    EXPECT_FALSE(path_exists(kOutdoorPid));
    EXPECT_TRUE(has(log(), "exited with status 0 after ")) << log();
    EXPECT_TRUE(has(log(), "(service stopping)")) << log();
    EXPECT_TRUE(has(log(), "uninstall: recover exit 0\n")) << log();
    EXPECT_TRUE(has(log(), "uninstall: done; kept")) << log();
    EXPECT_TRUE(lock_free(kOutdoorLock));

    // Not while a main-panel daemon runs: its lock and its permission
    // record are in the private directory (--purge changes nothing there).
    leave_crashed_hold(node);
    ASSERT_TRUE(write_file(kMainPanelHealth, "health\n"));
    ASSERT_TRUE(remove_tree(std::string(kPrivateDir) + "/keep-on-uninstall"));
    int lock = open(kMainPanelLock, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX | LOCK_NB), 0);
    for (const char* arg : {"", "--purge"}) {
        r = script("uninstall.sh", *arg ? std::vector<std::string>{arg} : std::vector<std::string>{});
        EXPECT_NE(r.code, 0) << arg << ": " << r;
        EXPECT_TRUE(has(r.err, "a main-panel daemon runs")) << r;
        EXPECT_TRUE(path_exists(kPermissionRecord));
        EXPECT_TRUE(path_exists(kMainPanelLock));
        EXPECT_TRUE(path_exists(kMainPanelHealth));
    }
    close(lock);
    ASSERT_EQ(script("uninstall.sh").code, 0);
    EXPECT_FALSE(path_exists(kPrivateDir));
    EXPECT_FALSE(path_exists(kMainPanelHealth));
}

// As the managers remove a module: uninstall.sh at the next boot, before
// any service or daemon runs, without arguments. It puts the node's bits
// back, then removes the private directory and the records the daemons
// wrote, unless the user left keep-on-uninstall there (purge-on-uninstall
// beats it).
TEST_P(PackageTest, RemovalAtBootLeavesNothingBehind) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(install());
    const std::string dir = std::string(kPrivateDir) + "/";
    struct {
        std::vector<const char*> asked;
        bool kept;
    } const cases[] = {{{}, false}, {{"keep-on-uninstall"}, true}, {{"keep-on-uninstall", "purge-on-uninstall"}, false}};
    for (const auto& c : cases) {
        ASSERT_TRUE(mkdir_p(kPrivateDir, 0700));
        for (const char* name : c.asked) ASSERT_TRUE(write_file(dir + name, ""));
        // What an earlier boot left: records, logs, locks, pid files of
        // processes that are gone.
        leave_crashed_hold(node);
        for (const std::string& file : {kServiceLog, std::string(kOutdoorHealth), dir + "outdoor-node",
                                        std::string(kMainPanelHealth), std::string(kMainPanelHealthTmp)})
            ASSERT_TRUE(write_file(file, "earlier\n"));
        for (const std::string& lock : {std::string(kMainPanelLock), dir + "service.lock"})
            ASSERT_TRUE(write_file(lock, "", 0600));
        ASSERT_TRUE(write_file(kServicePid, "999999 " + boot_id() + "service.sh\n"));
        ASSERT_TRUE(write_file(kOutdoorPid, "999998 " + boot_id() + "--outdoor\n"));

        ProgramResult r = script("uninstall.sh");
        EXPECT_EQ(r.code, 0) << r;
        EXPECT_EQ(node->mode(), 0664u) << "the bits come back first";
        EXPECT_FALSE(path_exists(kPermissionRecord));
        EXPECT_FALSE(path_exists(kServicePid) || path_exists(kOutdoorPid));
        for (const std::string& file :
             {std::string(kPrivateDir), kServiceLog, std::string(kOutdoorHealth), std::string(kMainPanelHealth),
              std::string(kMainPanelHealthTmp)})
            EXPECT_EQ(path_exists(file), c.kept) << file << " after " << r;
        if (c.kept) {
            ASSERT_TRUE(remove_tree(kPrivateDir));
        }
    }

    // A record --recover can neither apply nor discard (here it refuses a
    // lock file others may read) still holds the node's bits: all stays.
    ASSERT_TRUE(mkdir_p(kPrivateDir, 0700));
    leave_crashed_hold(node);
    ASSERT_TRUE(write_file(kMainPanelLock, "", 0644));
    ProgramResult r = script("uninstall.sh");
    EXPECT_EQ(r.code, 1) << r;
    EXPECT_TRUE(has(r.err, "veltarisd --recover failed")) << r;
    EXPECT_TRUE(path_exists(kPermissionRecord));
}

// A manager that is itself uninstalled (A's and B's) runs uninstall.sh in
// the running boot and deletes the module folder right after, whatever the
// script's status. Outdoor mode runs, the watcher runs from its binary in
// the module folder (the x86_64 build, run as it is), and a client holds
// the main panel through a daemon started from the module's binary: the
// daemon is asked to STOP and gives the bits back, and afterwards nothing
// runs and nothing of the module is left. What the owner left running by
// hand from the module's binaries (veltarisctl watch) is stopped too.
TEST_P(PackageTest, RemovalInARunningBootLeavesNothingBehind) {
    if (GetParam().manager == Manager::C) GTEST_SKIP() << "C removes modules at the next boot only";
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(install(true));
    ASSERT_EQ(script("service.sh").code, 0);
    pid_t outdoor = wait_outdoor();
    ASSERT_GT(outdoor, 0) << log();
    pid_t service = read_pid(kServicePid);
    ASSERT_TRUE(process_alive(service));
    ASSERT_TRUE(wait_until([&] { return has(module_processes(), " module-watch "); }, kSettle)) << module_processes();

    // The client's hold: its lease holder, the daemon from the module's
    // binary, ARM and SET.
    pid_t client = start_program({client_binary(), "lease", "s1", "150", "--hold"});
    ASSERT_GT(client, 0);
    ASSERT_TRUE(wait_until([&] { return has(read_file(kMainPanelLease).value_or(""), "s1 "); }, kSettle));
    pid_t daemon = start_program({kInstalledBin + "veltarisd", "--daemon", "--node", kNodePath});
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(wait_until([&] { return control_socket_listening(); }, kSettle));
    ProgramResult step = run_program({client_binary(), "arm", "s1", std::to_string(client)});
    ASSERT_EQ(step.code, 0) << step;
    step = run_program({client_binary(), "set", "s1", "150"});
    ASSERT_EQ(step.code, 0) << step;
    ASSERT_TRUE(wait_until([&] { return node->value() == 150 && (node->mode() & 0222) == 0; }, kSettle))
        << node->value() << " mode " << std::oct << node->mode();
    pid_t owner = start_program({kInstalledBin + "veltarisctl", "watch", "--node", kNodePath});
    ASSERT_GT(owner, 0);
    ASSERT_TRUE(wait_until([&] { return has(module_processes(), " watch --node "); }, kSettle)) << module_processes();

    ProgramResult r = run_shell({kOtherInstaller, "uninstall-running", GetParam().manager == Manager::A ? "A" : "B"},
                                "/");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(has(r.out, "uninstall.sh of veltaris: exit 0\n")) << r;
    EXPECT_TRUE(has(r.out, "- veltaris: STOP to the main-panel daemon: {")) << r;
    EXPECT_TRUE(has(r.out, "\"reason\":\"released\"")) << r;
    EXPECT_TRUE(has(r.out, "- veltaris: removed " + std::string(kPrivateDir))) << r;
    for (pid_t pid : {service, outdoor, daemon, owner}) EXPECT_FALSE(process_alive(pid)) << pid;
    EXPECT_EQ(module_processes(), "");
    EXPECT_EQ(node->mode(), 0664u);
    for (const std::string& gone : {std::string(kModule), std::string(kPrivateDir), std::string(kMainPanelHealth),
                                    std::string(kMainPanelHealthTmp)})
        EXPECT_FALSE(path_exists(gone)) << gone;
    EXPECT_TRUE(process_alive(client)) << "the platform client's own process is not the module's";
    stop_process(client);
}

// Manager A has no page: its action button toggles the owner's hold, at
// the value the panel shows the first time and at the last value held
// after that, and the description says who holds the panel. The hold lives
// as long as the module: disabling it in the manager, and removing it in a
// running boot, end it with the node's bits back and nothing left.
TEST_P(PackageTest, ActionButtonTogglesTheOwnersHoldWhichEndsWithTheModule) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    ASSERT_TRUE(install(true));
    ASSERT_EQ(script("service.sh").code, 0);
    ASSERT_GT(wait_outdoor(), 0) << log();
    ProgramResult hold = script("action.sh");
    EXPECT_EQ(hold.code, 0) << hold;
    EXPECT_TRUE(has(hold.out, "\"reason\":\"readback_ok\",")) << hold;
    EXPECT_TRUE(has(hold.out, "\nMain panel: holding (owner)")) << hold;
    EXPECT_EQ(node->value(), 100);
    EXPECT_EQ(node->mode() & 0222, 0u);
    EXPECT_TRUE(wait_until([&] { return has(description(), "| Main panel: holding (owner)"); }, kSettle))
        << description();

    ProgramResult release = script("action.sh");
    EXPECT_TRUE(has(release.out, "\"reason\":\"released\",")) << release;
    EXPECT_TRUE(wait_until([&] { return node->mode() == 0664u && !control_socket_listening(); }, kSettle));
    node->set_value(130);
    ASSERT_EQ(script("action.sh").code, 0);
    EXPECT_EQ(node->value(), 100) << "held again at the last value held";

    ASSERT_TRUE(write_file(std::string(kModule) + "/disable", ""));
    // Until the supervisor has let go of its lock: a service started before
    // that would find one running.
    EXPECT_TRUE(wait_until(
        [&] { return lock_free((std::string(kPrivateDir) + "/service.lock").c_str()) && node->mode() == 0664u; },
        kSettle))
        << log();
    EXPECT_TRUE(has(log(), "service: the owner's hold: exit 0: {\"ok\":true,\"reason\":\"released\"")) << log();
    EXPECT_FALSE(path_exists(kMainPanelLease));
    EXPECT_EQ(module_processes(), "");

    if (GetParam().manager == Manager::C) return;  // C removes modules at the next boot only
    ASSERT_TRUE(remove_tree(std::string(kModule) + "/disable"));
    ASSERT_EQ(script("service.sh").code, 0);
    ASSERT_GT(wait_outdoor(), 0) << log();
    ASSERT_EQ(script("action.sh").code, 0);
    ASSERT_EQ(node->mode() & 0222, 0u);
    ProgramResult r = run_shell({kOtherInstaller, "uninstall-running", GetParam().manager == Manager::A ? "A" : "B"},
                                "/");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(node->mode(), 0664u);
    EXPECT_EQ(module_processes(), "");
    for (const std::string& gone : {std::string(kModule), std::string(kPrivateDir), std::string(kMainPanelLease)})
        EXPECT_FALSE(path_exists(gone)) << gone;
}

// Pid files left by an earlier version or boot name whoever has those
// pids now: another module's boot script, a process with the daemon's
// words in its command line. They neither stop the service nor get
// signalled at removal.
TEST_P(PackageTest, StalePidFilesNameNoOneElse) {
    ASSERT_TRUE(panel());
    ASSERT_TRUE(install());
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/keep-on-uninstall", ""));
    pid_t other_script = start_named_process("/data/adb/modules/other/service.sh", 0, 0);
    ASSERT_GT(other_script, 0);
    pid_t look_alike = start_program({"sh", "-c", "sleep 3600; :", "veltarisd", "--outdoor", "--node", kNodePath});
    ASSERT_GT(look_alike, 0);
    ASSERT_TRUE(write_file(kServicePid, std::to_string(other_script) + "\n"));
    ASSERT_TRUE(write_file(kOutdoorPid,
                           std::to_string(look_alike) + " another-boot\n--outdoor\n" + kNodePath + "\n"));

    ProgramResult r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(process_alive(other_script));
    EXPECT_TRUE(process_alive(look_alike));

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
    EXPECT_TRUE(process_alive(other_script));

    ASSERT_TRUE(write_file(kServicePid, *own));
    r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(process_alive(other_script));
    EXPECT_TRUE(process_alive(look_alike));
    EXPECT_TRUE(lock_free(kOutdoorLock));
}

// Two starts at once: one service, the other says so and leaves; removal
// then stops everything.
TEST_P(PackageTest, ConcurrentStartsLeaveOneService) {
    ASSERT_TRUE(panel());
    ASSERT_TRUE(install());
    // Kept, so that the locks can be looked at after removal.
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/keep-on-uninstall", ""));
    std::string path = std::string(kModule) + "/service.sh";
    ProgramResult r = run_shell({"-c", "sh " + path + " & sh " + path + " & wait"}, "/");
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
// survives in .old. A slow wc (a function, which comes before busybox's
// applets too) holds both at the size check, the second one until the
// first has rotated and written.
TEST_P(PackageTest, LogRotationKeepsTheHistory) {
    unpack();
    ASSERT_TRUE(mkdir_p(kPrivateDir, 0700));
    ASSERT_TRUE(write_file(kServiceLog, std::string(20000, 'h') + "\nhistory\n"));
    ProgramResult r = run_shell({"-c",
                                 "wc() { if mkdir /sandbox/wc-first 2>/dev/null; then sleep 1; else sleep 3; fi; "
                                 "command wc \"$@\"; }; "
                                 ". ./veltaris-lib.sh; veltaris_log one & veltaris_log two & wait"},
                                kModule);
    ASSERT_EQ(r.code, 0) << r;
    EXPECT_TRUE(path_exists("/sandbox/wc-first")) << "the slow wc was not used";
    EXPECT_TRUE(has(read_file(kServiceLog + ".old").value_or(""), "history\n"));
    EXPECT_TRUE(has(log(), " one\n") && has(log(), " two\n")) << log();
}

// The library takes data as it is: a pid file's words are compared with
// the process's arguments whole and literally (no pattern, no part of one,
// no line of one), and what it prints (the log, a pid file, the node file's
// path) keeps backslashes, which mksh's echo would take as escapes.
TEST_P(PackageTest, LibraryTakesDataLiterally) {
    unpack();
    const std::vector<std::string> args = {"a b", "--outdoor", "", "x\\c", "-e", ".*", "two\nlines"};
    std::vector<std::string> argv = {"sh", "-c", "sleep 3600; :"};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t process = start_program(argv);
    ASSERT_GT(process, 0);
    std::string cmdline = "/proc/" + std::to_string(process) + "/cmdline";
    ASSERT_TRUE(wait_until([&] { return has(read_file(cmdline).value_or(""), "two\nlines"); }, kSettle));
    struct {
        std::string word;
        int status;
    } const words[] = {{"a b", 0},  {"a", 1},      {"--outdoor", 0}, {"outdoor", 1},   {"x\\c", 0},
                       {"x", 1},    {"-e", 0},     {".*", 0},        {".", 1},         {"two\nlines", 0},
                       {"two", 1},  {"lines", 1},  {"sleep 3600; :", 0}, {"sleep", 1}, {"", 0}};
    std::vector<std::string> check = {"-c",
                                      ". ./veltaris-lib.sh; p=$1; shift; "
                                      "for w; do veltaris_has_word \"$p\" \"$w\"; printf '%s\\n' $?; done",
                                      "sh", std::to_string(process)};
    std::string want;
    for (const auto& w : words) {
        check.push_back(w.word);
        want += std::to_string(w.status) + "\n";
    }
    check.push_back("x");
    want += "1\n";
    ProgramResult r = run_shell(check, kModule);
    EXPECT_EQ(r.out, want) << r;
    stop_process(process);
    r = run_shell({"-c", ". ./veltaris-lib.sh; veltaris_has_word \"$1\" sleep; printf '%s\\n' $?", "sh",
                   std::to_string(process)},
                  kModule);
    EXPECT_EQ(r.out, "1\n") << "a process that is gone: " << r;

    ASSERT_TRUE(mkdir_p(kPrivateDir, 0700));
    const std::string odd = "a\\cb\\n\\\\";
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/outdoor-node", " /sys/" + odd + " \r\n"));
    r = run_shell({"-c",
                   ". ./veltaris-lib.sh; veltaris_read_node_file; veltaris_log \"$1\"; "
                   "veltaris_write_pid \"$VELTARIS_PRIVATE/odd.pid\" 42 \"$1\" && printf 'written\\n'",
                   "sh", odd},
                  kModule);
    EXPECT_EQ(r.out, "/sys/" + odd + "\nwritten\n") << r;
    EXPECT_TRUE(has(log(), " " + odd + "\n")) << log();
    std::string pid_file = read_file(std::string(kPrivateDir) + "/odd.pid").value_or("");
    EXPECT_EQ(pid_file, "42 " + boot_id() + odd + "\n");
}

// The user disables the module, or marks it for removal, while the service
// runs: outdoor mode and the supervisor end, and a boot with the flag
// starts nothing and says why.
TEST_P(PackageTest, DisableOrRemoveStopsTheServiceAndABootStartsNothing) {
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
        ASSERT_TRUE(process_alive(service));

        const std::string path = std::string(kModule) + "/" + flag;
        ASSERT_TRUE(write_file(path, ""));
        EXPECT_TRUE(wait_until([&] { return !process_alive(service) && !process_alive(outdoor); }, kSettle)) << log();
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
// boosting for system_server, stopped with the service), also in the new
// version's module.prop that an update copies over the installed one
// (whose other fields it keeps), and the action button prints a short
// report; the log says whether the module's sepolicy rule is in force
// (here: no SELinux at all).
TEST_P(PackageTest, DescriptionAndActionButtonFollowTheService) {
    FakeNode* node = panel();
    ASSERT_TRUE(node);
    // The x86_64 binaries: the button starts a main-panel daemon and a
    // keeper from the module's own bin/, which qemu's stand-ins cannot.
    ASSERT_TRUE(install(true));
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

    // An update to a later version while the service runs: the manager
    // marks the folder and copies the new module.prop over the installed
    // one in place; the description is written into that one.
    ProgramResult new_prop = run_program({"unzip", "-p", package_zip(), "module.prop"});
    ASSERT_EQ(new_prop.code, 0) << new_prop;
    size_t at = new_prop.out.find("\nversion=");
    ASSERT_NE(at, std::string::npos) << new_prop;
    std::string later = new_prop.out;
    later.replace(at + 1, later.find('\n', at + 1) - at - 1, "version=v99.0.0");
    ASSERT_TRUE(mkdir_p("/sandbox/update") && write_file("/sandbox/update/module.prop", later));
    ASSERT_EQ(run_program({"cp", package_zip(), "/sandbox/update.zip"}).code, 0);
    ProgramResult zipped = run_program({"zip", "-q", "-j", "/sandbox/update.zip", "/sandbox/update/module.prop"});
    ASSERT_EQ(zipped.code, 0) << zipped;
    ProgramResult updated = install_zip("", "/sandbox/update.zip");
    ASSERT_EQ(updated.code, 0) << updated;
    EXPECT_TRUE(path_exists(std::string(kModule) + "/update"));
    const std::string boosting = "Outdoor: boosting 100->177 | Main panel: not holding";
    EXPECT_TRUE(wait_until([&] { return description() == boosting; }, kSettle)) << description();
    size_t d = later.find("\ndescription=");
    ASSERT_NE(d, std::string::npos);
    later.replace(d + 13, later.find('\n', d + 1) - d - 13, boosting);
    EXPECT_EQ(read_file(std::string(kModule) + "/module.prop").value_or(""), later);

    // The button holds the panel for its owner at what it shows.
    ProgramResult action = script("action.sh");
    EXPECT_EQ(action.code, 0) << action;
    for (const std::string& line :
         {std::string("Node: ") + kNodePath, "Daemons: outdoor running (pid " + std::to_string(outdoor) +
                                                  "), main panel running",
          std::string("Outdoor: boosting 100->177"), std::string("Main panel: holding (owner)"),
          std::string("SELinux: disabled"),
          std::string("Control socket: system_server: unknown (no selinuxfs: SELinux is off)")})
        EXPECT_TRUE(has(action.out, "\n" + line)) << line << "\n" << action.out;
    EXPECT_EQ(node->value(), 177);

    // The log is kept to be read.
    ASSERT_TRUE(write_file(std::string(kPrivateDir) + "/keep-on-uninstall", ""));
    ProgramResult r = script("uninstall.sh");
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_EQ(description(), "Outdoor: stopped | Main panel: not holding") << log();
    EXPECT_TRUE(has(log(), "module-watch: ended after ")) << log();
    if (getenv("VELTARIS_SHOW_SERVICE_LOG")) printf("action.sh:\n%sservice.log:\n%s", action.out.c_str(), log().c_str());
}

// Every test under each manager's install, in the shell the managers run
// module scripts with (busybox's ash), and once under mksh, the shell of a
// by-hand run.
INSTANTIATE_TEST_SUITE_P(Managers, PackageTest,
                         testing::Values(Variant{Manager::A, Shell::busybox}, Variant{Manager::B, Shell::busybox},
                                         Variant{Manager::C, Shell::busybox}, Variant{Manager::A, Shell::mksh}),
                         variant_name);

// module.prop as scripts/package.sh writes it: updateJson only when the
// release is given an update address, and then an https one on one line;
// every other field as before.
class ModulePropTest : public SandboxTest {};

TEST_F(ModulePropTest, UpdateJsonOnlyWhenAnAddressIsGiven) {
    const std::string script = std::string(VELTARIS_PACKAGE_SOURCE_DIR) + "/../scripts/module-prop.sh";
    ProgramResult plain = run_program({"bash", script, "1.2.3"});
    ASSERT_EQ(plain.code, 0) << plain;
    EXPECT_TRUE(has(plain.out, "\nversion=v1.2.3\nversionCode=10203\n")) << plain.out;
    EXPECT_FALSE(has(plain.out, "updateJson")) << plain.out;
    ProgramResult with = run_program({"bash", script, "1.2.3", "https://example.org/veltaris/update.json"});
    ASSERT_EQ(with.code, 0) << with;
    EXPECT_EQ(with.out, plain.out + "updateJson=https://example.org/veltaris/update.json\n");
    for (const char* bad : {"http://example.org/u.json", "https://example.org/a b.json", "https://x\nid=other", "u.json"}) {
        ProgramResult refused = run_program({"bash", script, "1.2.3", bad});
        EXPECT_EQ(refused.code, 2) << bad << ": " << refused;
        EXPECT_TRUE(refused.out.empty()) << bad << ": " << refused;
    }
}

// ---- the managers' busybox against what the scripts call ----

// The commands a shell script runs: the first word of each simple command,
// where it is a plain name (not quoted, not built from a variable), found
// outside comments and quoted text but inside command substitutions, case
// patterns and redirection targets left out. Names defined as functions
// are collected apart.
class CommandScanner {
  public:
    std::set<std::string> commands;
    std::set<std::string> functions;

    void scan(const std::string& text) {
        s_ = &text;
        i_ = 0;
        scan_until('\0');
    }

  private:
    const std::string* s_ = nullptr;
    size_t i_ = 0;

    char at(size_t k) const { return k < s_->size() ? (*s_)[k] : '\0'; }

    // Skips quoted text from the quote at i_; a command substitution
    // inside double quotes is scanned.
    void skip_quoted() {
        char quote = at(i_++);
        while (i_ < s_->size() && at(i_) != quote) {
            if (quote == '"' && at(i_) == '\\') {
                i_ += 2;
            } else if (quote == '"' && at(i_) == '$' && at(i_ + 1) == '(' && at(i_ + 2) != '(') {
                i_ += 2;
                scan_until(')');
            } else {
                ++i_;
            }
        }
        ++i_;
    }

    // Skips from the opening bracket at i_ to its match (arithmetic,
    // parameter expansions).
    void skip_balanced(char open, char close) {
        int depth = 0;
        do {
            if (at(i_) == open) ++depth;
            if (at(i_) == close) --depth;
            ++i_;
        } while (depth > 0 && i_ < s_->size());
    }

    void scan_until(char end) {
        static const std::set<std::string> keywords = {"if", "then", "else", "elif", "do", "while", "until",
                                                       "fi", "done", "esac", "!",  "{",    "}",    "command", "exec", "time"};
        bool at_command = true, in_pattern = false, case_word = false, redirect_target = false;
        std::string word;
        bool plain = true;
        auto finish = [&] {
            if (word.empty()) return;
            bool is_name = plain && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                           "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-[/") ==
                                        std::string::npos;
            if (redirect_target) {
                redirect_target = false;
            } else if (in_pattern) {
                if (word == "esac") in_pattern = false;
            } else if (case_word) {
                if (word == "in") {
                    case_word = false;
                    in_pattern = true;
                }
            } else if (word == "{" || word == "}") {
                at_command = true;
            } else if (at_command) {
                size_t eq = word.find('=');
                if (eq != std::string::npos && eq > 0 && word.find_first_of("\"'$") > eq) {
                    // An assignment: the command, if any, follows.
                } else if (word == "case") {
                    case_word = true;
                    at_command = false;
                } else if (word == "for") {
                    at_command = false;
                } else if (keywords.count(word)) {
                    if (word == "command" && at(i_ + 1) == '-') at_command = false;
                } else {
                    if (is_name && word[0] != '-' && word.find('/') == std::string::npos) commands.insert(word);
                    at_command = false;
                }
            }
            word.clear();
            plain = true;
        };
        while (i_ < s_->size()) {
            char c = at(i_);
            if (c == end && (end != ')' || !in_pattern)) {
                finish();
                ++i_;
                return;
            }
            if (c == '\\') {
                word += c;
                plain = false;
                i_ += 2;
            } else if (c == '\'' || c == '"') {
                plain = false;
                word += 'q';
                skip_quoted();
            } else if (c == '$' && at(i_ + 1) == '(' && at(i_ + 2) == '(') {
                plain = false;
                word += 'q';
                ++i_;
                skip_balanced('(', ')');
            } else if (c == '$' && at(i_ + 1) == '(') {
                plain = false;
                word += 'q';
                i_ += 2;
                scan_until(')');
            } else if (c == '$' && at(i_ + 1) == '{') {
                plain = false;
                word += 'q';
                ++i_;
                skip_balanced('{', '}');
            } else if (c == '#' && word.empty()) {
                while (i_ < s_->size() && at(i_) != '\n') ++i_;
            } else if (c == ' ' || c == '\t') {
                finish();
                ++i_;
            } else if (c == '(' && at(i_ + 1) == ')' && at_command && !word.empty()) {
                functions.insert(word);
                word.clear();
                at_command = false;
                i_ += 2;
            } else if (c == '\n' || c == ';' || c == '&' || c == '|' || c == '(' || c == ')') {
                finish();
                if (c == ')' && in_pattern) {
                    in_pattern = false;
                    at_command = true;
                } else if (c == ';' && at(i_ + 1) == ';') {
                    in_pattern = true;
                    ++i_;
                } else if (!in_pattern && c != ')') {
                    at_command = true;
                }
                ++i_;
            } else if (c == '<' || c == '>') {
                if (!word.empty() && word.find_first_not_of("0123456789") == std::string::npos) word.clear();
                finish();
                while (at(i_) == '<' || at(i_) == '>') ++i_;
                if (at(i_) == '&') {
                    ++i_;
                    while (isdigit(static_cast<unsigned char>(at(i_))) || at(i_) == '-') ++i_;
                } else {
                    while (at(i_) == ' ') ++i_;
                    redirect_target = true;
                }
            } else {
                word += c;
                ++i_;
            }
        }
        finish();
    }
};

// Each applet the module's scripts call, and the managers' installer
// functions they run under (tests/package/managers.sh), with the options
// they pass, and a probe that uses it so: run by the managers' busybox's
// ash with nothing on PATH, in a folder of its own that holds t.zip (a, and
// META-INF/m). It prints `want` only where the applet and its options
// behave as the scripts expect; a missing applet or option fails it.
struct AppletProbe {
    const char* applet;
    const char* options;
    const char* probe;
    const char* want;
};
const AppletProbe kAppletProbes[] = {
    // The same file, by device and inode (uninstall.sh's look for what
    // runs the module's binaries).
    {"[", "-ef", ": > a; : > b; [ a -ef a ] && ! [ a -ef b ] && [ /proc/$$/exe -ef /proc/self/exe ] && printf ok", "ok"},
    // customize.sh by hand, where SELinux is on.
    {"chcon", "CONTEXT FILE", "chcon --help >/dev/null 2>&1 && printf ok", "ok"},
    {"chmod", "0700 go-rwx", ": > f; chmod 0777 f && chmod go-rwx f && stat -c %a f", "700\n"},
    {"chown", "0:0", ": > f; chown 0:0 f && stat -c %u:%g f", "0:0\n"},
    {"cp", "-f", "printf 'a\\n' > a; printf 'b\\n' > b; cp -f a b && grep -qxF a b && printf ok", "ok"},
    {"date", "'+%Y-%m-%d %H:%M:%S'",
     "d=$(date '+%Y-%m-%d %H:%M:%S'); case \"$d\" in "
     "[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]' '[0-9][0-9]:[0-9][0-9]:[0-9][0-9]) printf ok ;; esac",
     "ok"},
    {"find", "-type d, -type f", "mkdir -p t/d && : > t/d/f && find t -type d && find t -type f", "t\nt/d\nt/d/f\n"},
    // Blocking and not on a descriptor; -n fails with 1 while another
    // open of the file holds the lock.
    {"flock", "FD, -n FD",
     "{ flock 8 && { flock -n 9; printf %s $?; } 9>> lock && flock -n 8 && printf ' ok'; } 8>> lock", "1 ok"},
    {"grep", "-qxF", "printf 'a.c\\nb\\n' > g; grep -qxF a.c g && ! grep -qxF a g && ! grep -qxF . g && printf ok",
     "ok"},
    {"id", "-u", "id -u", "0\n"},
    {"mkdir", "-p", "mkdir -p m/n && [ -d m/n ] && printf ok", "ok"},
    {"mount", "-o bind", "printf 'x\\n' > s; : > t; mount -o bind s t && grep -qxF x t && printf ok", "ok"},
    {"umount", "", "printf 'x\\n' > s; : > t; mount -o bind s t && umount t && ! grep -qxF x t && printf ok", "ok"},
    {"mv", "-f", "printf 'a\\n' > a; : > b; mv -f a b && [ ! -e a ] && grep -qxF a b && printf ok", "ok"},
    // -v: repeated lines too, not a *.
    {"od", "-A n -t x1 -v",
     "set -f; set -- $(printf 'a\\0' | od -A n -t x1 -v); printf '%s ' \"$@\"; "
     "set -- $(printf '%032d' 0 | od -A n -t x1 -v); printf %s $#",
     "61 00 32"},
    {"rm", "-f, -rf", "mkdir -p r/s && : > r/s/f && rm -rf r && rm -f r && [ ! -e r ] && printf ok", "ok"},
    {"sleep", "SECONDS", "sleep 0 && printf ok", "ok"},
    {"stat", "-c %u, -c %a", ": > f; chmod 0640 f; stat -c %u f; stat -c %a f", "0\n640\n"},
    {"unzip", "-q -o -d, -x",
     "unzip -q -o t.zip -x 'META-INF/*' -d u && [ -f u/a ] && [ ! -e u/META-INF ] && "
     "unzip -q -o t.zip -d u && [ -f u/META-INF/m ] && printf ok",
     "ok"},
    {"wc", "-c", "n=$(printf abc | wc -c) && printf %s $((n + 0))", "3"},
};

// The shell's own commands, the scripts' functions' names aside, and what
// the device itself has (getprop).
const std::set<std::string> kNotApplets = {
    ".",     ":",    "[",    "cd",     "pwd",  "exit", "return", "shift", "read",    "printf",  "echo",
    "sh",    "break", "continue", "kill",  "wait", "trap", "umask",  "set",  "unset", "export", "local", "true",   "false",   "test",
    "getprop"};

class ManagersBusyboxTest : public SandboxTest {};

// Every applet and option the scripts use exists in the managers' busybox
// and behaves as they expect; every command the scripts run is in the
// table above, or a builtin; and they print nothing with echo.
TEST_F(ManagersBusyboxTest, HasEveryAppletAndOptionTheScriptsUse) {
    if (!path_exists(VELTARIS_MANAGERS_BUSYBOX)) {
        if (running_in_ci()) FAIL() << VELTARIS_MANAGERS_BUSYBOX << " is missing: run scripts/build-busybox.sh first";
        GTEST_SKIP() << VELTARIS_MANAGERS_BUSYBOX << " is missing (scripts/build-busybox.sh builds it)";
    }
    const std::string package = VELTARIS_PACKAGE_SOURCE_DIR;
    const std::vector<std::string> scripts = {
        package + "/customize.sh", package + "/service.sh", package + "/uninstall.sh", package + "/action.sh",
        package + "/veltaris-lib.sh", package + "/META-INF/com/google/android/update-binary"};
    CommandScanner module, installer;
    for (const std::string& path : scripts) {
        auto text = read_file(path);
        ASSERT_TRUE(text) << path;
        module.scan(*text);
    }
    auto standin = read_file(VELTARIS_MANAGERS_STANDIN);
    ASSERT_TRUE(standin);
    installer.scan(*standin);
    // The scanner finds what the scripts really run.
    for (const char* known : {"flock", "od", "grep", "stat", "chcon", "mkdir", "mv", "date", "wc", "mount"})
        EXPECT_TRUE(module.commands.count(known)) << known << " not found in the scripts";
    EXPECT_TRUE(installer.commands.count("unzip") && installer.commands.count("find"));

    std::set<std::string> probed;
    for (const auto& p : kAppletProbes) probed.insert(p.applet);
    std::set<std::string> functions = module.functions;
    functions.insert(installer.functions.begin(), installer.functions.end());
    for (CommandScanner* scanned : {&module, &installer}) {
        for (const std::string& command : scanned->commands) {
            if (functions.count(command) || kNotApplets.count(command)) continue;
            EXPECT_TRUE(probed.count(command))
                << "the scripts run " << command << ", which the applet table lacks: add it to kAppletProbes "
                << "and tests/package/busybox.config";
        }
    }
    EXPECT_FALSE(module.commands.count("echo")) << "the scripts print with echo: use printf '%s\\n'";

    ASSERT_TRUE(mkdir_p("/sandbox/probe-zip/META-INF"));
    ASSERT_TRUE(write_file("/sandbox/probe-zip/a", "a\n") && write_file("/sandbox/probe-zip/META-INF/m", "m\n"));
    ProgramOptions zip;
    zip.cwd = "/sandbox/probe-zip";
    ProgramResult zipped = run_program({"zip", "-q", "-r", "/sandbox/t.zip", "."}, zip);
    ASSERT_EQ(zipped.code, 0) << zipped;
    int n = 0;
    for (const auto& p : kAppletProbes) {
        std::string dir = "/sandbox/probe-" + std::to_string(n++);
        ASSERT_TRUE(mkdir_p(dir));
        ASSERT_EQ(symlink("/sandbox/t.zip", (dir + "/t.zip").c_str()), 0);
        ProgramOptions o;
        o.cwd = dir;
        o.env = {"PATH=/nonexistent", "ASH_STANDALONE=1"};
        ProgramResult r = run_program({VELTARIS_MANAGERS_BUSYBOX, "sh", "-c", p.probe}, o);
        EXPECT_EQ(r.out, p.want) << p.applet << " " << p.options << ": " << r;
    }
}

}  // namespace
}  // namespace sandbox
