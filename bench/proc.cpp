// Processes, /proc readings, the lease writer, the control socket client,
// the floor server and the hold the benchmark keeps with a daemon.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "bench/bench.h"

namespace bench {

// ---- processes ----

pid_t spawn(const std::vector<std::string>& argv_words, const SpawnOptions& options) {
    std::vector<std::string> words = argv_words;
    if (!words.empty()) words[0] = sandbox::runnable_by(words[0], options.uid, options.uid);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return -1;
    pid_t pid = sandbox::fork_child();
    if (pid < 0) {
        close(null_fd);
        return -1;
    }
    if (pid == 0) {
        int in = options.stdin_fd >= 0 ? options.stdin_fd : null_fd;
        int out = options.stdout_fd >= 0 ? options.stdout_fd : null_fd;
        int err = options.stderr_fd >= 0 ? options.stderr_fd : null_fd;
        // dup2 onto itself would keep close-on-exec; dup3 semantics are not
        // needed since the targets are 0..2.
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        sandbox::close_fds_from(3);
        if (options.uid != 0 &&
            (setgroups(0, nullptr) != 0 || setresgid(options.uid, options.uid, options.uid) != 0 ||
             setresuid(options.uid, options.uid, options.uid) != 0)) {
            _exit(126);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(null_fd);
    return pid;
}

int wait_pid(pid_t pid, int64_t timeout_ms) {
    int64_t deadline = now_ns() + timeout_ms * 1000000;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (now_ns() >= deadline) return -1;
        sleep_ms(2);
    }
}

void kill_and_wait(pid_t pid, int sig) {
    if (pid <= 0) return;
    kill(pid, sig);
    if (wait_pid(pid, 10000) < 0) {
        kill(pid, SIGKILL);
        wait_pid(pid, 10000);
    }
}

int64_t process_cpu_ns(pid_t pid) {
    clockid_t clock;
    if (clock_getcpuclockid(pid, &clock) != 0) return -1;
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return -1;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

StatTimes stat_times(pid_t pid) {
    StatTimes t;
    auto text = sandbox::read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return t;
    // The command name may hold blanks and parentheses; fields restart
    // after the last ')'.
    size_t close_paren = text->rfind(')');
    if (close_paren == std::string::npos) return t;
    const char* p = text->c_str() + close_paren + 2;
    // Field 3 (state) is the first after the name; utime is field 14.
    std::vector<long long> fields;
    char state;
    if (sscanf(p, "%c", &state) != 1) return t;
    p += 2;
    for (int i = 4; i <= 17; ++i) {
        char* end;
        long long v = strtoll(p, &end, 10);
        if (end == p) return t;
        fields.push_back(v);
        p = end;
    }
    t.utime = fields[14 - 4];
    t.stime = fields[15 - 4];
    t.cutime = fields[16 - 4];
    t.cstime = fields[17 - 4];
    return t;
}

long long status_field(pid_t pid, const std::string& key) {
    auto text = sandbox::read_file("/proc/" + std::to_string(pid) + "/status");
    if (!text) return -1;
    std::string want = "\n" + key + ":";
    size_t pos = text->find(want);
    if (pos == std::string::npos) return -1;
    return strtoll(text->c_str() + pos + want.size(), nullptr, 10);
}

char process_state(pid_t pid) {
    auto text = sandbox::read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!text) return 0;
    size_t close_paren = text->rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= text->size()) return 0;
    return (*text)[close_paren + 2];
}

bool tool_available(const std::string& name, std::string* path) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/", "/usr/sbin/"}) {
        std::string candidate = dir + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            *path = candidate;
            return true;
        }
    }
    return false;
}

// ---- files the daemon reads ----

bool replace_as_system(const std::string& dir, const std::string& name, const std::string& content) {
    std::string tmp = dir + "/.bench-" + name + ".tmp";
    std::string final_path = dir + "/" + name;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ok = ok && fchown(fd, sandbox::kSystemUid, sandbox::kSystemUid) == 0;
    ok = ok && fchmod(fd, 0600) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), final_path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool write_main_panel_lease(int active, int target, int64_t ahead_ms) {
    int64_t deadline = sandbox::monotonic_ms() + ahead_ms;
    return replace_as_system(sandbox::kSystemDir, MAIN_PANEL_LEASE_NAME,
                             sandbox::main_panel_lease_line(kSession, getpid(), deadline, active, target));
}

bool write_outdoor_lease(const std::string& version, pid_t pid, int value, int held, int64_t ahead_ms) {
    int64_t deadline = sandbox::monotonic_ms() + ahead_ms;
    return replace_as_system(sandbox::kSystemDir, OUTDOOR_LEASE_NAME,
                             sandbox::outdoor_lease_line(version, pid, deadline, value, held));
}

// ---- control socket ----

namespace {

socklen_t abstract_address(const std::string& name, sockaddr_un* addr) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

}  // namespace

std::optional<std::string> timed_request(const std::string& socket_name, const std::string& line,
                                         int64_t* elapsed_ns) {
    sockaddr_un addr;
    socklen_t len = abstract_address(socket_name, &addr);
    int64_t t0 = now_ns();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    // A daemon that never answers must not hang the run; both sides of
    // every comparison pay for this call alike.
    timeval limit = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        close(fd);
        return std::nullopt;
    }
    std::string reply;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (elapsed_ns) *elapsed_ns = now_ns() - t0;
    if (reply.empty()) return std::nullopt;
    return reply;
}

// ---- floors ----

pid_t start_floor_server(const std::string& node_path, size_t reply_size) {
    // Everything is made before the fork: the child only makes system calls.
    std::string reply = "{\"ok\":true,\"reason\":\"status\",\"actual\":00000,\"pad\":\"";
    size_t digits_at = reply.find("00000");
    while (reply.size() + 3 < reply_size) reply += 'x';
    reply += "\"}\n";
    std::string path = node_path;

    int listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) return -1;
    sockaddr_un addr;
    socklen_t len = abstract_address(kFloorSocketName, &addr);
    if (bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listen_fd, 8) != 0) {
        close(listen_fd);
        return -1;
    }
    pid_t pid = sandbox::fork_child();
    if (pid < 0) {
        close(listen_fd);
        return -1;
    }
    if (pid == 0) {
        for (;;) {
            int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0) continue;
            char line[240];
            size_t got = 0;
            while (got < sizeof line) {
                ssize_t n = recv(conn, line + got, sizeof line - got, 0);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
                if (memchr(line, '\n', got)) break;
            }
            char value[32] = {};
            int node = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (node >= 0) {
                ssize_t n = read(node, value, sizeof value - 1);
                (void)n;
                close(node);
            }
            // The value goes into the reply, right-aligned in its field.
            size_t vlen = strcspn(value, "\n");
            for (size_t i = 0; i < 5; ++i) reply[digits_at + i] = '0';
            for (size_t i = 0; i < vlen && i < 5; ++i) reply[digits_at + 5 - vlen + i] = value[i];
            send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(conn);
        }
    }
    close(listen_fd);
    return pid;
}

pid_t start_set_floor_server(const std::string& lease_path, const std::string& node_path) {
    std::string lease = lease_path, node = node_path;
    std::string reply(400, 'x');
    reply.back() = '\n';
    int held = open(node.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    int listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    socklen_t len = abstract_address(kFloorSocketName, &addr);
    if (held < 0 || listen_fd < 0 || bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listen_fd, 8) != 0) {
        if (held >= 0) close(held);
        if (listen_fd >= 0) close(listen_fd);
        return -1;
    }
    pid_t pid = sandbox::fork_child();
    if (pid != 0) {
        close(held);
        close(listen_fd);
        return pid;
    }
    auto read_lease = [&] {
        char text[160] = {};
        int fd = open(lease.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st;
        if (fstat(fd, &st) == 0) {
            ssize_t n = read(fd, text, sizeof text - 1);
            (void)n;
        }
        close(fd);
    };
    auto read_node = [&](bool named) {
        char value[32] = {};
        int fd = open(node.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return 0;
        if (named) {
            struct stat st;
            char self[32], real[4096];
            snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
            if (fstat(fd, &st) != 0 || readlink(self, real, sizeof real) < 0) value[0] = 'x';
        }
        ssize_t n = read(fd, value, sizeof value - 1);
        close(fd);
        return n > 0 ? atoi(value) : 0;
    };
    for (;;) {
        int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        ucred cred = {};
        socklen_t cred_len = sizeof cred;
        getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len);
        timeval tv = {0, 250000};
        setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        char line[240] = {};
        ssize_t got = recv(conn, line, sizeof line - 1, 0);
        // The value is the line's last number ("SET SESSION VALUE").
        int value = 0;
        for (ssize_t i = got - 1, scale = 1; i >= 0; --i) {
            if (line[i] >= '0' && line[i] <= '9') {
                value += (line[i] - '0') * static_cast<int>(scale);
                scale *= 10;
            } else if (value != 0) {
                break;
            }
        }
        read_lease();
        read_node(true);
        read_lease();
        char text[24];
        int tlen = snprintf(text, sizeof text, "%d", value);
        if (lseek(held, 0, SEEK_SET) == 0 && write(held, text, static_cast<size_t>(tlen)) == tlen) {
            struct stat st;
            fstat(held, &st);
        }
        read_node(false);
        read_node(false);
        send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(conn);
    }
}

pid_t start_turn_floor_loop(const std::string& lease_path, const std::string& node_path, int period_ms) {
    std::string lease = lease_path, node = node_path;
    pid_t parent = getpid();  // a live process for the turn's kill(pid, 0)
    pid_t pid = sandbox::fork_child();
    if (pid != 0) return pid;
    for (;;) {
        timespec ts = {period_ms / 1000, static_cast<long>(period_ms % 1000) * 1000000L};
        ppoll(nullptr, 0, &ts, nullptr);
        if (lease.empty()) continue;  // the bare loop
        char text[160];
        struct stat st;
        int fd = open(lease.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            if (fstat(fd, &st) == 0 && read(fd, text, sizeof text - 1) < 0) text[0] = 0;
            close(fd);
        }
        kill(parent, 0);
        fd = open(node.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            char self[32], real[4096];
            snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
            if (fstat(fd, &st) == 0 && readlink(self, real, sizeof real) > 0 && read(fd, text, 31) < 0) text[0] = 0;
            close(fd);
        }
    }
}

pid_t start_timer_loop(int period_ms) {
    return start_turn_floor_loop("", "", period_ms);
}

bool write_and_read_back(const std::string& node_path, int value) {
    char text[16];
    int len = snprintf(text, sizeof text, "%d", value);
    int fd = open(node_path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    close(fd);
    fd = open(node_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char back[32] = {};
    ssize_t n = read(fd, back, sizeof back - 1);
    close(fd);
    return ok && n > 0 && atoi(back) == value;
}

// ---- nodes ----

std::string make_tmpfs_node(const std::string& name, int value, int maximum) {
    std::string device = "/sys/devices/platform/bench-tmpfs/backlight/" + name;
    if (!sandbox::mkdir_p(device)) return "";
    std::string max_text = fmt("%d\n", maximum);
    std::string value_text = fmt("%d\n", value);
    auto put = [](const std::string& path, const std::string& text, mode_t mode, uid_t uid) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) return false;
        bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ok = fchmod(fd, mode) == 0 && fchown(fd, uid, uid) == 0 && ok;
        return close(fd) == 0 && ok;
    };
    // Owner and modes as sysfs gives them on a device: the brightness
    // attribute belongs to the system user, the maximum is read-only.
    if (!put(device + "/max_brightness", max_text, 0444, 0) ||
        !put(device + "/brightness", value_text, 0664, sandbox::kSystemUid)) {
        return "";
    }
    std::string link = "/sys/class/backlight/" + name;
    unlink(link.c_str());
    if (symlink(("../../devices/platform/bench-tmpfs/backlight/" + name).c_str(), link.c_str()) != 0) return "";
    return link + "/brightness";
}

// ---- the hold ----

Hold::~Hold() { daemon_.shutdown(); }

bool Hold::start(std::string* why, int64_t ready_timeout_ms) {
    if (!daemon_.start({"--daemon", "--node", node_path_})) {
        *why = "the daemon could not be started";
        return false;
    }
    return sandbox::wait_ready(daemon_, why, std::chrono::milliseconds(ready_timeout_ms));
}

bool Hold::arm(int target, std::string* why) {
    target_ = target;
    active_ = 1;
    if (!renew()) {
        *why = "the lease could not be written";
        return false;
    }
    auto reply = timed_request(sandbox::kControlSocketName,
                               fmt("ARM %s %d\n", kSession, static_cast<int>(getpid())));
    if (sandbox::reason_of(reply) != "armed") {
        *why = "ARM was not accepted: " + reply.value_or("(no reply)");
        return false;
    }
    // The loop takes the target from the lease on its next turn; a SET makes
    // the node show it at once.
    reply = timed_request(sandbox::kControlSocketName, fmt("SET %s %d\n", kSession, target));
    if (sandbox::reason_of(reply) != "readback_ok") {
        *why = "SET was not accepted: " + reply.value_or("(no reply)");
        return false;
    }
    return true;
}

bool Hold::renew() {
    last_renew_ms_ = sandbox::monotonic_ms();
    ++renewals_;
    return write_main_panel_lease(active_, target_);
}

void Hold::renew_if_due(int64_t renew_every_ms) {
    if (sandbox::monotonic_ms() - last_renew_ms_ >= renew_every_ms) renew();
}

bool Hold::set_target(int target) {
    target_ = target;
    return renew();
}

bool Hold::set_paused(bool paused) {
    active_ = paused ? 0 : 1;
    return renew();
}

int Hold::stop() {
    if (!daemon_.running()) return daemon_.exit_code();
    timed_request(sandbox::kControlSocketName, fmt("STOP %s\n", kSession));
    return daemon_.wait_exit(std::chrono::seconds(20));
}

}  // namespace bench
