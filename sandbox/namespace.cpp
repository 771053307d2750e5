// Building the sandbox root inside new mount and network namespaces, and
// leaving it again.
//
// The machine's root may have no /data at all (and must never get one), so
// instead of mounting over the host's directories the sandbox assembles a
// new root on a tmpfs: the host's top-level directories are bound into it,
// /data, /sys, /dev and /proc are made fresh, and the process pivots into
// it. Everything happens in a mount namespace private to the test process
// and its children; propagation is cut first so nothing leaks back.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <set>

#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

// Where the new root is assembled before the pivot. The host's /sys is the
// one directory that is sure to exist and that the sandbox replaces anyway.
constexpr const char* kStaging = "/sys";

struct HostState {
    bool active = false;
    int mnt_ns = -1;
    int net_ns = -1;
    int cwd = -1;
    mode_t umask = 022;
};
HostState g_host;
// errno of the last failure described by errno_text, to tell a machine that
// forbids mounting from a sandbox that is broken.
int g_last_errno = 0;

std::string errno_text(const std::string& what) {
    g_last_errno = errno;
    return what + ": " + strerror(errno);
}

BuildResult failure() {
    return g_last_errno == EPERM || g_last_errno == EACCES ? BuildResult::unavailable : BuildResult::broken;
}

int thread_count() {
    auto status = read_file("/proc/self/status");
    if (!status) return -1;
    size_t pos = status->find("\nThreads:");
    if (pos == std::string::npos) return -1;
    return atoi(status->c_str() + pos + 9);
}

bool make_dir(const std::string& path, mode_t mode, uid_t uid, gid_t gid, std::string* why) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        *why = errno_text("mkdir " + path);
        return false;
    }
    if (chown(path.c_str(), uid, gid) != 0 || chmod(path.c_str(), mode) != 0) {
        *why = errno_text("chown/chmod " + path);
        return false;
    }
    return true;
}

bool mount_tmpfs(const std::string& path, const char* name, const char* data, std::string* why) {
    if (mount(name, path.c_str(), "tmpfs", MS_NOSUID, data) != 0) {
        *why = errno_text("mount tmpfs on " + path);
        return false;
    }
    return true;
}

// Binds an existing file or directory of the host at target (creating the
// mount point of the same kind).
bool bind_entry(const std::string& source, const std::string& target, bool recursive, std::string* why) {
    struct stat st;
    if (stat(source.c_str(), &st) != 0) {
        *why = errno_text("stat " + source);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdir(target.c_str(), 0755) != 0 && errno != EEXIST) {
            *why = errno_text("mkdir " + target);
            return false;
        }
    } else {
        int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *why = errno_text("create " + target);
            return false;
        }
        close(fd);
    }
    unsigned long flags = MS_BIND | (recursive ? MS_REC : 0);
    if (mount(source.c_str(), target.c_str(), nullptr, flags, nullptr) != 0) {
        *why = errno_text("bind " + source + " on " + target);
        return false;
    }
    return true;
}

bool bind_host_top_level(const std::string& root, std::string* why) {
    static const std::set<std::string> replaced = {".", "..", "sys", "dev", "proc", "data", "sandbox"};
    DIR* dir = opendir("/");
    if (!dir) {
        *why = errno_text("opendir /");
        return false;
    }
    bool ok = true;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (replaced.count(name)) continue;
        std::string source = "/" + name;
        std::string target = root + "/" + name;
        struct stat st;
        if (lstat(source.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char link[4096];
            ssize_t n = readlink(source.c_str(), link, sizeof link - 1);
            if (n < 0) continue;
            link[n] = '\0';
            if (symlink(link, target.c_str()) != 0) {
                *why = errno_text("symlink " + target);
                ok = false;
                break;
            }
        } else if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) {
            if (!bind_entry(source, target, true, why)) {
                ok = false;
                break;
            }
        }
    }
    closedir(dir);
    return ok;
}

bool build_dev(const std::string& dev, std::string* why) {
    if (mkdir(dev.c_str(), 0755) != 0 && errno != EEXIST) {
        *why = errno_text("mkdir " + dev);
        return false;
    }
    if (!mount_tmpfs(dev, "vd-dev", "mode=0755", why)) return false;
    // Only the nodes the tests and the daemon's start-up need; the host's
    // /dev (with whatever freezer it may have) stays out of sight.
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty", "fuse"}) {
        std::string source = std::string("/dev/") + node;
        if (access(source.c_str(), F_OK) != 0) continue;
        if (!bind_entry(source, dev + "/" + node, false, why)) return false;
    }
    const std::pair<const char*, const char*> links[] = {
        {"fd", "/proc/self/fd"},
        {"stdin", "/proc/self/fd/0"},
        {"stdout", "/proc/self/fd/1"},
        {"stderr", "/proc/self/fd/2"},
    };
    for (const auto& [name, target] : links) {
        if (symlink(target, (dev + "/" + name).c_str()) != 0) {
            *why = errno_text(std::string("symlink /dev/") + name);
            return false;
        }
    }
    std::string shm = dev + "/shm";
    if (mkdir(shm.c_str(), 01777) != 0) {
        *why = errno_text("mkdir " + shm);
        return false;
    }
    return mount_tmpfs(shm, "vd-shm", "mode=1777", why);
}

bool build_sys(const std::string& sys, std::string* why) {
    if (mkdir(sys.c_str(), 0755) != 0 && errno != EEXIST) {
        *why = errno_text("mkdir " + sys);
        return false;
    }
    if (!mount_tmpfs(sys, "vd-sysfs", "mode=0755", why)) return false;
    for (const char* d : {"/class", "/class/backlight", "/class/leds", "/devices", "/devices/platform", "/fs",
                          "/fs/cgroup"}) {
        if (!make_dir(sys + d, 0755, 0, 0, why)) return false;
    }
    return true;
}

bool build_data(const std::string& data, const SandboxOptions& options, std::string* why) {
    if (mkdir(data.c_str(), 0771) != 0 && errno != EEXIST) {
        *why = errno_text("mkdir " + data);
        return false;
    }
    if (!mount_tmpfs(data, "vd-data", "mode=0771", why)) return false;
    // Ownership and modes as on a device: /data belongs to the system user,
    // /data/adb is root-only.
    if (!make_dir(data, 0771, kSystemUid, kSystemUid, why)) return false;
    if (!make_dir(data + "/adb", 0700, 0, 0, why)) return false;
    // The daemon's directories, at their paths below the new root.
    const std::string root = data.substr(0, data.rfind("/data"));
    if (!make_dir(root + kSystemDir, 0771, kSystemUid, kSystemUid, why)) return false;
    if (options.private_dir && !make_dir(root + kPrivateDir, options.private_dir_mode, options.private_dir_uid,
                                         options.private_dir_gid, why)) {
        return false;
    }
    return true;
}

bool enter_root(const std::string& root, std::string* why) {
    if (chdir(root.c_str()) != 0) {
        *why = errno_text("chdir " + root);
        return false;
    }
    // Stacking the old root on top of the new one and detaching it leaves
    // only the new tree visible.
    if (syscall(SYS_pivot_root, ".", ".") == 0) {
        if (umount2(".", MNT_DETACH) != 0) {
            *why = errno_text("detach old root");
            return false;
        }
    } else {
        // An initramfs root cannot be pivoted away from; a chroot into the
        // moved tree serves the tests just as well.
        if (mount(".", "/", nullptr, MS_MOVE, nullptr) != 0 || chroot(".") != 0) {
            *why = errno_text("pivot_root and chroot fallback");
            return false;
        }
    }
    if (chdir("/") != 0) {
        *why = errno_text("chdir /");
        return false;
    }
    return true;
}

void close_host_fds() {
    for (int* fd : {&g_host.mnt_ns, &g_host.net_ns, &g_host.cwd}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

}  // namespace

bool running_in_ci() {
    const char* ci = getenv("CI");
    if (!ci) return false;
    return strcmp(ci, "0") != 0 && strcmp(ci, "false") != 0 && strcmp(ci, "FALSE") != 0;
}

bool in_sandbox() { return g_host.active; }

BuildResult build_sandbox(const SandboxOptions& options, std::string* why) {
    if (g_host.active) {
        *why = "a sandbox is already active in this process";
        return BuildResult::broken;
    }
    if (geteuid() != 0) {
        *why = "the sandbox needs root (uid 0) to create namespaces and mount file systems";
        return BuildResult::unavailable;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = errno_text("the fake sysfs needs /dev/fuse");
        return BuildResult::unavailable;
    }
    int threads = thread_count();
    if (threads != 1) {
        *why = "the test process has " + std::to_string(threads) +
               " threads; namespaces can only be entered while it has one";
        return BuildResult::broken;
    }
    g_host.mnt_ns = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    g_host.net_ns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    g_host.cwd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (g_host.mnt_ns < 0 || g_host.net_ns < 0) {
        *why = errno_text("open /proc/self/ns");
        close_host_fds();
        return BuildResult::unavailable;
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        *why = errno_text("unshare(CLONE_NEWNS | CLONE_NEWNET)");
        close_host_fds();
        return BuildResult::unavailable;
    }
    g_host.active = true;
    g_host.umask = umask(022);
    g_last_errno = 0;

    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = errno_text("make / private");
        return failure();
    }
    const std::string root = kStaging;
    if (!mount_tmpfs(root, "vd-root", "mode=0755", why)) return failure();
    if (!bind_host_top_level(root, why)) return failure();

    std::string proc = root + "/proc";
    if (mkdir(proc.c_str(), 0555) != 0) {
        *why = errno_text("mkdir " + proc);
        return failure();
    }
    if (mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 &&
        !bind_entry("/proc", proc, true, why)) {
        return failure();
    }
    if (!build_dev(root + "/dev", why)) return failure();
    if (!build_sys(root + "/sys", why)) return failure();
    if (!build_data(root + "/data", options, why)) return failure();
    if (!make_dir(root + "/sandbox", 0755, 0, 0, why)) return failure();
    if (!write_file(root + "/sandbox/boot_id", options.boot_id, 0644)) {
        *why = errno_text("write boot identity");
        return failure();
    }
    if (!enter_root(root, why)) return failure();
    if (mount("/sandbox/boot_id", kBootIdPath, nullptr, MS_BIND, nullptr) != 0) {
        *why = errno_text(std::string("bind boot identity over ") + kBootIdPath);
        return failure();
    }
    if (boot_id() != options.boot_id) {
        *why = "the bound boot identity does not read back";
        return BuildResult::broken;
    }
    return BuildResult::ok;
}

bool leave_sandbox(std::string* why) {
    if (!g_host.active) return true;
    bool ok = true;
    detail::shutdown_all_daemons();
    // Orphaned daemons hold node descriptors too.
    detail::kill_orphans();
    detail::stop_all_nodes();
    detail::kill_and_reap_all_children(std::chrono::seconds(10));
    // The mounts need no unmounting one by one: once no process is left in
    // the namespace, the kernel drops it with everything mounted in it.
    if (setns(g_host.mnt_ns, CLONE_NEWNS) != 0) {
        *why = errno_text("return to the original mount namespace");
        ok = false;
    }
    if (setns(g_host.net_ns, CLONE_NEWNET) != 0) {
        if (ok) *why = errno_text("return to the original network namespace");
        ok = false;
    }
    if (g_host.cwd >= 0 && fchdir(g_host.cwd) != 0) {
        // Not worth failing a test over.
    }
    umask(g_host.umask);
    close_host_fds();
    g_host.active = false;
    return ok;
}

}  // namespace sandbox
