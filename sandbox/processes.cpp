// Child processes of the sandbox: the registry that teardown empties,
// running code as another user, and named stand-in processes.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace detail {
namespace {

std::mutex g_children_mutex;
// pid -> decoded exit status, or nullopt while not reaped.
std::map<pid_t, std::optional<int>> g_children;

std::mutex g_objects_mutex;
std::set<Daemon*> g_daemons;
std::set<FakeNode*> g_nodes;

// One non-blocking look at a registered child; the caller holds the lock.
std::optional<int> poll_child_locked(pid_t pid) {
    auto it = g_children.find(pid);
    if (it == g_children.end()) return std::nullopt;
    if (it->second) return it->second;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        it->second = decode_wait_status(status);
    } else if (r < 0 && errno == ECHILD) {
        // Someone else reaped it; report it as gone.
        it->second = 128 + SIGKILL;
    }
    return it->second;
}

}  // namespace

int decode_wait_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void register_child(pid_t pid) {
    std::lock_guard<std::mutex> lock(g_children_mutex);
    g_children[pid] = std::nullopt;
}

std::optional<int> reap_child(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_children_mutex);
            if (g_children.find(pid) == g_children.end()) {
                // Not one of ours (or from an earlier sandbox): wait directly.
                int status = 0;
                pid_t r = waitpid(pid, &status, WNOHANG);
                if (r == pid) return decode_wait_status(status);
                if (r < 0) return 128 + SIGKILL;
            } else if (auto st = poll_child_locked(pid)) {
                return st;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// Children of this process that nobody registered: the background
// processes of programs run with run_program, reparented here because the
// test process is their subreaper.
std::vector<pid_t> unregistered_children() {
    std::vector<pid_t> out;
    pid_t self = getpid();
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
        std::string stat;
        std::getline(in, stat);
        // "pid (comm) state ppid ..."; comm may hold blanks and parentheses.
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos) continue;
        char state = 0;
        long ppid = 0;
        if (sscanf(stat.c_str() + close_paren + 1, " %c %ld", &state, &ppid) != 2) continue;
        if (ppid != self) continue;
        std::lock_guard<std::mutex> lock(g_children_mutex);
        if (g_children.find(static_cast<pid_t>(pid)) == g_children.end()) out.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return out;
}

}  // namespace

void kill_orphans() {
    // Killing one may orphan its own children, which then come here too.
    for (int round = 0; round < 20; ++round) {
        std::vector<pid_t> orphans = unregistered_children();
        if (orphans.empty()) return;
        for (pid_t pid : orphans) kill(pid, SIGKILL);
        for (pid_t pid : orphans) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
}

void kill_and_reap_all_children(std::chrono::milliseconds timeout) {
    std::vector<pid_t> alive;
    {
        std::lock_guard<std::mutex> lock(g_children_mutex);
        for (auto& [pid, st] : g_children) {
            if (!poll_child_locked(pid)) {
                kill(pid, SIGKILL);
                alive.push_back(pid);
            }
        }
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (pid_t pid : alive) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!reap_child(pid, std::max(left, std::chrono::milliseconds(0)))) {
            fprintf(stderr, "sandbox: child %d did not die after SIGKILL\n", (int)pid);
        }
    }
    std::lock_guard<std::mutex> lock(g_children_mutex);
    for (auto it = g_children.begin(); it != g_children.end();) {
        if (it->second) {
            it = g_children.erase(it);
        } else {
            ++it;
        }
    }
}

void register_daemon(Daemon* d) {
    std::lock_guard<std::mutex> lock(g_objects_mutex);
    g_daemons.insert(d);
}

void unregister_daemon(Daemon* d) {
    std::lock_guard<std::mutex> lock(g_objects_mutex);
    g_daemons.erase(d);
}

void register_node(FakeNode* n) {
    std::lock_guard<std::mutex> lock(g_objects_mutex);
    g_nodes.insert(n);
}

void unregister_node(FakeNode* n) {
    std::lock_guard<std::mutex> lock(g_objects_mutex);
    g_nodes.erase(n);
}

void shutdown_all_daemons() {
    std::vector<Daemon*> all;
    {
        std::lock_guard<std::mutex> lock(g_objects_mutex);
        all.assign(g_daemons.begin(), g_daemons.end());
    }
    for (Daemon* d : all) d->shutdown();
}

void stop_all_nodes() {
    std::vector<FakeNode*> all;
    {
        std::lock_guard<std::mutex> lock(g_objects_mutex);
        all.assign(g_nodes.begin(), g_nodes.end());
    }
    for (FakeNode* n : all) n->stop();
}

int drop_privileges(uid_t uid, gid_t gid) {
    if (setgroups(0, nullptr) != 0) return -1;
    if (setresgid(gid, gid, gid) != 0) return -1;
    if (setresuid(uid, uid, uid) != 0) return -1;
    return 0;
}

}  // namespace detail

pid_t fork_child() {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    // The test may die at any moment (an assertion, a timeout kill); its
    // children must not outlive it. Forks happen on the test's main thread,
    // whose exit is what the death signal follows; a parent gone before the
    // signal was armed shows as a new parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        signal(sig, SIG_DFL);
    }
    return 0;
}

void close_fds_from(int lowest) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, (unsigned)lowest, ~0U, 0) == 0) return;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = lowest; fd < max; ++fd) close(fd);
}

int run_as(uid_t uid, gid_t gid, const std::function<int()>& fn, std::chrono::milliseconds timeout) {
    pid_t pid = fork_child();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (detail::drop_privileges(uid, gid) != 0) _exit(126);
        int rc = 125;
        try {
            rc = fn();
        } catch (...) {
            rc = 125;
        }
        _exit(rc & 0xff);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return detail::decode_wait_status(status);
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int write_file_as(uid_t uid, gid_t gid, const std::string& path, const std::string& content, mode_t mode) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // Prepared before the fork; the child only makes system calls.
    std::string tmp = dir + "/." + base + ".sandbox-" + std::to_string(getpid());
    int rc = run_as(uid, gid, [&]() -> int {
        unlink(tmp.c_str());
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return errno;
        // fchmod so that the umask does not decide the final bits.
        int err = fchmod(fd, mode) != 0 ? errno : detail::write_all(fd, content);
        if (close(fd) != 0 && err == 0) err = errno;
        if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
        if (err != 0) unlink(tmp.c_str());
        return err;
    });
    return rc < 0 ? EIO : rc;
}

int open_for_write_as(uid_t uid, const std::string& path) {
    return run_as(uid, uid, [&]() -> int {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return errno;
        close(fd);
        return 0;
    });
}

std::string main_panel_lease_line(const std::string& session, pid_t pid, int64_t deadline_ms, int active,
                                  int target) {
    return session + " " + std::to_string(pid) + " " + std::to_string(deadline_ms) + " " + std::to_string(active) +
           " " + std::to_string(target) + "\n";
}

std::string outdoor_lease_line(const std::string& version, pid_t pid, int64_t deadline_ms, int value, int held) {
    return version + " " + std::to_string(pid) + " " + std::to_string(deadline_ms) + " " + std::to_string(value) +
           " " + std::to_string(held) + "\n";
}

int write_main_panel_lease(const std::string& session, pid_t pid, int64_t deadline_ms, int active, int target,
                           mode_t mode) {
    return write_file_as(kSystemUid, kSystemUid, kMainPanelLease,
                         main_panel_lease_line(session, pid, deadline_ms, active, target), mode);
}

std::string v2_record(unsigned mode, uint64_t dev, uint64_t ino, const std::string& boot_id,
                      const std::string& node_path, const std::string& canonical_path) {
    char mode_text[16];
    snprintf(mode_text, sizeof mode_text, "%o", mode);
    return std::string("v2\n") + mode_text + "\n" + std::to_string(dev) + " " + std::to_string(ino) + "\n" +
           boot_id + "\n" + node_path + "\n" + canonical_path + "\n";
}

pid_t start_named_process(const std::string& argv0, uid_t uid, gid_t gid) {
    const char* sleep_bin = access("/bin/sleep", X_OK) == 0 ? "/bin/sleep" : "/usr/bin/sleep";
    std::string name = argv0;
    std::string arg = "3600";
    char* argv[] = {name.data(), arg.data(), nullptr};
    pid_t pid = fork_child();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
        }
        close_fds_from(3);
        if (detail::drop_privileges(uid, gid) != 0) _exit(126);
        execv(sleep_bin, argv);
        _exit(127);
    }
    detail::register_child(pid);
    // Until exec has happened /proc/<pid>/cmdline still shows the test
    // binary; callers want the stand-in as the world will see it.
    std::string want = argv0 + std::string(1, '\0') + "3600" + std::string(1, '\0');
    std::string cmdline_path = "/proc/" + std::to_string(pid) + "/cmdline";
    bool ok = wait_until([&] { return read_file(cmdline_path) == want; }, 10s, 2ms);
    if (!ok) {
        stop_process(pid);
        return -1;
    }
    return pid;
}

pid_t start_system_server(uid_t uid, gid_t gid) { return start_named_process("system_server", uid, gid); }

bool wait_signal_caught(pid_t pid, int sig, std::chrono::milliseconds timeout) {
    if (!daemon_emulator().empty()) {
        // An emulator such as qemu-user catches nearly every signal itself,
        // so SigCgt says nothing about the guest. Both modes install their
        // handlers just before their loop, so the loop answering is the
        // sign: a STATUS reply in main-panel mode, the outdoor record of
        // this process in outdoor mode.
        std::string own_record = "{\"pid\":" + std::to_string(pid) + ",";
        return wait_until(
            [&] {
                auto record = read_file(kOutdoorHealth);
                if (record && record->rfind(own_record, 0) == 0) return true;
                return control_socket_listening() && send_request("STATUS", 0, 1s).has_value();
            },
            timeout, std::chrono::milliseconds(20));
    }
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    return wait_until(
        [&] {
            auto status = read_file(path);
            if (!status) return false;
            size_t pos = status->find("\nSigCgt:");
            if (pos == std::string::npos) return false;
            unsigned long long mask = strtoull(status->c_str() + pos + 8, nullptr, 16);
            return ((mask >> (sig - 1)) & 1) != 0;
        },
        timeout, std::chrono::milliseconds(2));
}

int stop_process(pid_t pid, int sig, std::chrono::milliseconds timeout) {
    if (pid <= 0) return -1;
    if (auto st = detail::reap_child(pid, std::chrono::milliseconds(0))) return *st;
    kill(pid, sig);
    if (auto st = detail::reap_child(pid, timeout)) return *st;
    return -1;
}

namespace {

// Where copies of programs for other users go: below /sandbox (0755).
constexpr const char* kRunnableDir = "/sandbox/runnable";

struct ProgramCopy {
    off_t size;
    int64_t mtime_ns;
    std::string path;
};
std::mutex g_copies_mutex;
std::map<std::string, ProgramCopy> g_copies;  // by the original's path
std::atomic<int> g_copy_counter{0};

}  // namespace

std::string runnable_by(const std::string& program, uid_t uid, gid_t gid) {
    if (uid == 0 || !in_sandbox() || program.find('/') == std::string::npos) return program;
    const char* path = program.c_str();
    // Asked of the kernel as that user: every directory on the way counts.
    if (run_as(uid, gid, [path] { return access(path, R_OK | X_OK) == 0 ? 0 : 1; }) == 0) return program;
    struct stat st;
    // A program that is not there stays as it is; its start says so.
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return program;
    int64_t mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    std::lock_guard<std::mutex> lock(g_copies_mutex);
    auto it = g_copies.find(program);
    if (it != g_copies.end() && it->second.size == st.st_size && it->second.mtime_ns == mtime_ns &&
        path_exists(it->second.path)) {
        return it->second.path;
    }
    // A new name each time: an earlier copy may be running (rewriting it
    // would fail with ETXTBSY).
    std::string name = program.substr(program.rfind('/') + 1);
    std::string copy = std::string(kRunnableDir) + "/" + std::to_string(++g_copy_counter) + "-" + name;
    auto content = read_file(program);
    if (!content || !mkdir_p(kRunnableDir, 0755) || !write_file(copy, *content, 0755)) return program;
    g_copies[program] = {st.st_size, mtime_ns, copy};
    return copy;
}

namespace {

// What a child could not do on its way to exec, sent back through a pipe
// that exec closes: nothing arrives when the program started.
enum LaunchStage : int { kLaunchSetup = 1, kLaunchCwd, kLaunchUser, kLaunchExec };
struct LaunchFailure {
    int stage;
    int err;
};

std::string launch_error_text(const LaunchFailure& f, const std::string& program, const ProgramOptions& options) {
    std::string who = "uid " + std::to_string(options.uid);
    std::string why = strerror(f.err);
    switch (f.stage) {
        case kLaunchCwd:
            return "cannot enter " + options.cwd + " to run " + program + ": " + why;
        case kLaunchUser:
            return "cannot switch to " + who + " to run " + program + ": " + why;
        case kLaunchExec:
            return "cannot run " + program + " as " + who + ": " + why;
        default:
            return "cannot set up the standard descriptors of " + program + ": " + why;
    }
}

// Forks a child for argv with the options applied; its standard output and
// error go to out_fd and err_fd. Returns the pid (-1 when there is no
// child) and, when the program did not start, *launch_error.
pid_t fork_program(const std::vector<std::string>& argv, const ProgramOptions& options, int out_fd, int err_fd,
                   std::string* launch_error) {
    // Orphans of the program (a boot script's background loop) come back
    // to this process, so that teardown finds and kills them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<std::string> words = argv;
    if (!words.empty()) words[0] = runnable_by(words[0], options.uid, options.gid);
    std::vector<char*> args;
    for (auto& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    std::vector<std::string> env_words = options.env;
    std::string cwd = options.cwd;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *launch_error = std::string("cannot make a pipe: ") + strerror(errno);
        return -1;
    }
    pid_t pid = fork_child();
    if (pid < 0) {
        *launch_error = std::string("cannot fork: ") + strerror(errno);
        close(report[0]);
        close(report[1]);
        return -1;
    }
    if (pid == 0) {
        auto fail = [&](int stage) {
            LaunchFailure f = {stage, errno};
            ssize_t ignored = write(report[1], &f, sizeof f);
            (void)ignored;
            _exit(stage == kLaunchExec ? 127 : 126);
        };
        // The report pipe's end moves to descriptor 3, the one kept when
        // the rest are closed; first above 0..2, which the dups overwrite.
        int keep = fcntl(report[1], F_DUPFD_CLOEXEC, 3);
        if (keep < 0) fail(kLaunchSetup);
        report[1] = keep;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) fail(kLaunchSetup);
        dup2(null_fd, 0);
        dup2(out_fd >= 0 ? out_fd : null_fd, 1);
        dup2(err_fd >= 0 ? err_fd : null_fd, 2);
        if (report[1] != 3 && dup3(report[1], 3, O_CLOEXEC) != 3) fail(kLaunchSetup);
        report[1] = 3;
        close_fds_from(4);
        for (std::string& e : env_words) putenv(e.data());
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) fail(kLaunchCwd);
        if ((options.uid != 0 || options.gid != 0) && detail::drop_privileges(options.uid, options.gid) != 0)
            fail(kLaunchUser);
        execvp(args[0], args.data());
        fail(kLaunchExec);
    }
    close(report[1]);
    LaunchFailure f = {};
    ssize_t n;
    do {
        n = read(report[0], &f, sizeof f);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    // Named as the caller named it, not by its copy.
    if (n == static_cast<ssize_t>(sizeof f)) {
        *launch_error = launch_error_text(f, argv.empty() ? std::string() : argv[0], options);
    }
    return pid;
}

}  // namespace

ProgramResult run_program(const std::vector<std::string>& argv, const ProgramOptions& options) {
    ProgramResult result;
    static std::atomic<int> counter{0};
    std::string base = "/sandbox/program-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    std::string out_path = base + ".out";
    std::string err_path = base + ".err";
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0 || err_fd < 0) {
        if (out_fd >= 0) close(out_fd);
        if (err_fd >= 0) close(err_fd);
        result.err = "sandbox: cannot create the output files";
        return result;
    }
    pid_t pid = fork_program(argv, options, out_fd, err_fd, &result.launch_error);
    close(out_fd);
    close(err_fd);
    if (pid < 0) return result;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            result.code = detail::decode_wait_status(status);
            break;
        }
        if ((r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.out = read_file(out_path).value_or("");
    result.err = read_file(err_path).value_or("");
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

pid_t start_program(const std::vector<std::string>& argv, const ProgramOptions& options, std::string* why) {
    std::string launch_error;
    pid_t pid = fork_program(argv, options, -1, -1, &launch_error);
    if (pid > 0 && !launch_error.empty()) {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
    if (pid < 0) {
        if (why != nullptr) *why = launch_error;
        return -1;
    }
    detail::register_child(pid);
    return pid;
}

bool process_alive(pid_t pid) {
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (pid <= 0 || !stat) return false;
    size_t paren = stat->rfind(')');
    return paren != std::string::npos && paren + 2 < stat->size() && (*stat)[paren + 2] != 'Z';
}

}  // namespace sandbox
