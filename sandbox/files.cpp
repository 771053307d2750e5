// File helpers, the boot identity, the private directory and the
// app-freezer stand-ins.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <ostream>
#include <thread>

#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

// The file bound over /proc/sys/kernel/random/boot_id (see namespace.cpp).
constexpr const char* kBootIdSource = "/sandbox/boot_id";

}  // namespace

bool mkdir_p(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    size_t pos = 1;
    for (;;) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
        if (pos == std::string::npos) return true;
        ++pos;
    }
}

std::optional<std::string> read_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            errno = e;
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, (size_t)n);
    }
    close(fd);
    return out;
}

int detail::write_all(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno != EINTR) return errno;
        if (n > 0) done += (size_t)n;
    }
    return 0;
}

bool write_file(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = detail::write_all(fd, content) == 0 && fchmod(fd, mode) == 0;
    return close(fd) == 0 && ok;
}

std::optional<struct stat> stat_path(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

std::optional<struct stat> lstat_path(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return std::nullopt;
    return st;
}

int file_mode(const std::string& path) {
    auto st = stat_path(path);
    return st ? (int)(st->st_mode & 07777) : -1;
}

bool path_exists(const std::string& path) { return lstat_path(path).has_value(); }

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(step);
    }
}

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool set_boot_id(const std::string& text) {
    // Rewritten in place: the bind mount holds this very inode, so a
    // rename would leave /proc showing the old text.
    int fd = open(kBootIdSource, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    return close(fd) == 0 && ok;
}

std::string boot_id() { return read_file(kBootIdPath).value_or(""); }

bool make_private_dir(mode_t mode, uid_t uid, gid_t gid) {
    if (mkdir(kPrivateDir, 0700) != 0 && errno != EEXIST) return false;
    // chmod after mkdir: the umask must not decide, and mkdir drops the
    // sticky bit on some file systems.
    return chown(kPrivateDir, uid, gid) == 0 && chmod(kPrivateDir, mode) == 0;
}

bool remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
    DIR* dir = opendir(path.c_str());
    if (!dir) return false;
    bool ok = true;
    while (struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        ok = remove_tree(path + "/" + e->d_name) && ok;
    }
    closedir(dir);
    return rmdir(path.c_str()) == 0 && ok;
}

bool remove_private_dir() { return remove_tree(kPrivateDir); }

const char* freezer_target_path(FreezerTarget target) {
    switch (target) {
        case FreezerTarget::root_cgroup:
            return "/sys/fs/cgroup/cgroup.procs";
        case FreezerTarget::uid0_cgroup:
            return "/sys/fs/cgroup/uid_0/cgroup.procs";
        case FreezerTarget::dev_freezer:
            return "/dev/freezer/cgroup.procs";
        case FreezerTarget::freezer_cgroup:
            return "/sys/fs/cgroup/freezer/cgroup.procs";
    }
    return "";
}

void PrintTo(FreezerTarget target, std::ostream* os) { *os << freezer_target_path(target); }

bool make_freezer_target(FreezerTarget target, FreezerStandIn kind) {
    std::string path = freezer_target_path(target);
    std::string dir = path.substr(0, path.rfind('/'));
    if (!mkdir_p(dir, 0755)) return false;
    switch (kind) {
        case FreezerStandIn::accepting:
            return write_file(path, "", 0644);
        case FreezerStandIn::refusing_write:
            // A file that opens fine but refuses every write, the way a
            // cgroup refuses a migration it does not allow.
            if (!write_file(path, "", 0644)) return false;
            return mount("/dev/full", path.c_str(), nullptr, MS_BIND, nullptr) == 0;
        case FreezerStandIn::refusing_open:
            return mkdir(path.c_str(), 0755) == 0;
    }
    return false;
}

std::optional<std::string> freezer_target_content(FreezerTarget target) {
    // A refusing stand-in is /dev/full underneath, which reads zeros
    // forever.
    auto st = stat_path(freezer_target_path(target));
    if (!st || !S_ISREG(st->st_mode)) return std::nullopt;
    return read_file(freezer_target_path(target));
}

}  // namespace sandbox
