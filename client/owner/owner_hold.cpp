// The owner's hold, its I/O: the keeper process (the system user's side),
// the start of a main-panel daemon, and hold, release and toggle (root's
// side, over the control socket).
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/owner/owner.h"
#include "client/owner/owner_io.h"
#include "common/clock.h"
#include "mainpanel/lease.h"
#include "node/node_value.h"
#include "process/environment.h"

namespace ctl {

namespace {

// ---- the keeper (uid 1000) ------------------------------------------------------

bool drop_to_system_user(std::string* error) {
    if (setgroups(0, nullptr) != 0 || setresgid(SYSTEM_UID, SYSTEM_UID, SYSTEM_UID) != 0 ||
        setresuid(SYSTEM_UID, SYSTEM_UID, SYSTEM_UID) != 0) {
        *error = std::string("cannot become uid 1000: ") + strerror(errno);
        return false;
    }
    return true;
}

bool write_keeper_lease(const std::string& session, int32_t value, std::string* written, std::string* error) {
    int64_t now = monotonic_ms();
    return format_main_panel_lease(session, static_cast<int32_t>(getpid()), now + KEEPER_TTL_MS, true, value, now,
                                   written, error) &&
           replace_lease_file(MAIN_PANEL_LEASE_PATH, *written, error, nullptr, false);
}

// A new value, sent by root with sigqueue; anything else is no value.
bool value_from(const siginfo_t& info, int32_t* value) {
    if (info.si_signo != SIGUSR1 || info.si_code != SI_QUEUE || info.si_uid != ROOT_UID) return false;
    int v = info.si_value.sival_int;
    if (v < HELD_VALUE_MIN || v > SYSFS_VALUE_MAX) return false;
    *value = v;
    return true;
}

// Renews the lease until told to stop or until no daemon holds for it.
// Every wake-up is a renewal, a new value or the end.
std::string keep(const std::string& session, int32_t value, const sigset_t* set, std::string* written) {
    int64_t started = monotonic_ms();
    int64_t renewed = started;
    bool seen = false;
    std::string error;
    for (;;) {
        struct timespec ts = {KEEPER_RENEW_MS / 1000, (KEEPER_RENEW_MS % 1000) * 1000000L};
        int64_t left = renewed + KEEPER_RENEW_MS - monotonic_ms();
        ts = {static_cast<time_t>(left > 0 ? left / 1000 : 0), left > 0 ? (left % 1000) * 1000000L : 0};
        siginfo_t info;
        int sig = sigtimedwait(set, &info, &ts);
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) return "stopped";
        bool new_value = sig == SIGUSR1 && value_from(info, &value);
        int64_t now = monotonic_ms();
        if (!new_value && now < renewed + KEEPER_RENEW_MS) continue;
        std::string record;
        bool present = read_text_file(MAIN_PANEL_HEALTH_PATH, &record);
        keeper_verdict verdict = judge_keeper(present, record, session, started, monotonic_ms(), &seen);
        if (verdict != keeper_verdict::keep) return keeper_verdict_text(verdict);
        if (!write_keeper_lease(session, value, written, &error)) return error;
        renewed = now;
    }
}

}  // namespace

int run_keeper(const owner_args& args) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    std::string error;
    std::string written;
    // Out of the app's freezer first (only root may move it): a keeper
    // frozen with the page that started it would let the lease lapse.
    escape_app_freezer();
    if (!drop_to_system_user(&error) || !write_keeper_lease(args.session, args.value, &written, &error)) {
        owner_say("owner keeper: " + error);
        return EXIT_REFUSED;
    }
    printf("ready %d\n", static_cast<int>(getpid()));
    fflush(stdout);
    // The starter reads no more; nothing else is said there.
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    std::string why = keep(args.session, args.value, &set, &written);
    remove_own_lease(MAIN_PANEL_LEASE_PATH, written);
    owner_say("owner keeper: pid " + std::to_string(getpid()) + " ended: " + why);
    return EXIT_OK;
}

namespace {

// ---- root's side ------------------------------------------------------------

// Forks a program whose standard error (or output) is a pipe the caller
// reads its first lines from; the program starts a session of its own so
// that it outlives the shell or page that asked for it.
pid_t spawn_reporting(const std::vector<std::string>& argv, bool report_on_stdout, int* read_fd) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(p[0]);
        close(p[1]);
        return -1;
    }
    if (pid == 0) {
        setsid();
        int null_fd = open("/dev/null", O_RDWR);
        int log_fd = open_service_log();
        dup2(null_fd, STDIN_FILENO);
        dup2(report_on_stdout ? p[1] : null_fd, STDOUT_FILENO);
        dup2(report_on_stdout ? (log_fd >= 0 ? log_fd : null_fd) : p[1], STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(p[1]);
    *read_fd = p[0];
    return pid;
}

// Reads lines from fd until one starts with a word of `ends`, the pipe
// closes or timeout_ms passes; the matching line, or empty.
std::string first_line_of(int fd, const std::vector<std::string>& ends, int timeout_ms, std::string* seen) {
    int64_t deadline = monotonic_ms() + timeout_ms;
    std::string buffer;
    for (;;) {
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            *seen += line + "\n";
            for (const std::string& e : ends) {
                if (line.compare(0, e.size(), e) == 0) return line;
            }
        }
        int64_t left = deadline - monotonic_ms();
        struct pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return "";
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return "";
        buffer.append(buf, static_cast<size_t>(n));
    }
}

// Reaps a starter's child that said it failed, and its exit status.
int reap(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts a main-panel daemon on node and waits for its readiness line.
bool start_daemon(const std::string& node, page_result* result) {
    int fd = -1;
    pid_t pid = spawn_reporting({sibling_program("veltarisd"), "--daemon", "--node", node}, false, &fd);
    if (pid < 0) {
        *result = {false, "start_failed", errno, "", std::string("cannot start veltarisd: ") + strerror(errno)};
        return false;
    }
    std::string seen;
    std::string line = first_line_of(fd, {"NATIVE_READY", "NATIVE_START_FAIL"}, DAEMON_READY_TIMEOUT_MS, &seen);
    close(fd);
    if (line.compare(0, 12, "NATIVE_READY") == 0) {
        owner_log("owner: started a main-panel daemon, pid " + std::to_string(pid) + ", on " + node);
        return true;
    }
    if (line.empty()) kill(pid, SIGTERM);
    int status = reap(pid);
    std::string said = line.empty() ? "no readiness line within 10 s" : line;
    result->ok = false;
    result->reason = status == 4 ? "node_refused" : "start_failed";
    result->err = status;
    result->detail = "veltarisd --daemon --node " + escape_text(node) + " exited " + std::to_string(status) + ": " +
                     escape_text(said);
    owner_log("owner: " + result->detail);
    return false;
}

// Starts the keeper and waits for its first lease; its pid, or 0.
int32_t start_keeper(const owner_args& args, page_result* result) {
    int fd = -1;
    pid_t pid = spawn_reporting({self_program(), OWNER_KEEPER_WORD, args.session, std::to_string(args.value)}, true,
                                &fd);
    if (pid < 0) {
        *result = {false, "start_failed", errno, "", std::string("cannot start the keeper: ") + strerror(errno)};
        return 0;
    }
    std::string seen;
    std::string line = first_line_of(fd, {"ready "}, KEEPER_READY_TIMEOUT_MS, &seen);
    close(fd);
    if (line.empty()) {
        kill(pid, SIGTERM);
        int status = reap(pid);
        *result = {false, "start_failed", 0, "",
                   "the keeper ended before its first lease (exit " + std::to_string(status) +
                       "; see the service log)"};
        return 0;
    }
    if (!record_keeper(pid)) owner_log("owner: cannot record the keeper's pid " + std::to_string(pid));
    return pid;
}

// Asks the keeper for a new value and waits until its lease names it.
bool change_value(int32_t keeper, const owner_args& args, page_result* result) {
    union sigval v;
    v.sival_int = args.value;
    if (sigqueue(keeper, SIGUSR1, v) != 0) {
        *result = {false, "start_failed", errno, "", std::string("cannot reach the keeper: ") + strerror(errno)};
        return false;
    }
    int64_t deadline = monotonic_ms() + KEEPER_ACK_TIMEOUT_MS;
    while (monotonic_ms() < deadline) {
        std::string text;
        std::string session;
        int32_t pid = 0;
        lease_view lease = view_main_panel_lease(read_text_file(MAIN_PANEL_LEASE_PATH, &text) ? text : "",
                                                 monotonic_ms(), SYSFS_VALUE_MAX);
        if (lease.accepted && lease_identity(text, &session, &pid) && pid == keeper &&
            lease_target(text) == args.value)
            return true;
        struct timespec ts = {0, OWNER_ACK_POLL_MS * 1000000L};
        nanosleep(&ts, nullptr);
    }
    *result = {false, "start_failed", ETIMEDOUT, "", "the keeper did not take the new value within 3 s"};
    return false;
}

// Sends request; the result carries the daemon's reply and reason.
bool ask_daemon(const std::string& request, page_result* result) {
    std::string reply, error;
    if (!control_exchange(request, &reply, &error)) {
        int err = errno;
        bool denied = err == EACCES || err == EPERM;
        *result = {false, denied ? "socket_denied" : "no_daemon", err, "", error};
        return false;
    }
    if (reply_exit_code(reply) == EXIT_NO_DAEMON) {
        *result = {false, "no_reply", 0, reply, "the daemon closed the connection without a reply"};
        return false;
    }
    *result = {reply_exit_code(reply) == EXIT_OK, json_value(reply, "reason"), atoi(json_value(reply, "errno").c_str()),
               reply, ""};
    return result->ok;
}

}  // namespace

page_result owner_release(const owner_args& args) {
    owner_view view = look_at_panel(args.session);
    page_result result = {true, "not_holding", 0, "", "the owner holds nothing"};
    if (view.holder == panel_holder::platform) {
        result = {false, "platform_holds", 0, view.status_reply,
                  "a platform client holds the panel (session " + escape_text(view.panel.session.empty()
                                                                                  ? view.panel.lease_session
                                                                                  : view.panel.session) +
                      "); the owner's release leaves it alone"};
    } else if (view.holder == panel_holder::owner) {
        ask_daemon("STOP " + args.session + "\n", &result);
    }
    if (view.panel.keeper_pid > 0) stop_keeper(view.panel.keeper_pid);
    owner_log("owner: release: " + result.reason);
    return result;
}

page_result owner_hold(const owner_args& args) {
    page_result result;
    std::string node = args.node.empty() ? module_node(&result) : args.node;
    if (node.empty()) return result;
    int32_t maximum = read_sysfs_value(max_brightness_path(node).c_str());
    if (maximum >= 0 && args.value > maximum) {
        return {false, "value_out_of_range", ERANGE, "",
                "the node takes " + std::to_string(HELD_VALUE_MIN) + ".." + std::to_string(maximum) + ", not " +
                    std::to_string(args.value)};
    }
    owner_view view = look_at_panel(args.session);
    if (view.holder == panel_holder::platform) {
        return {false, "platform_holds", 0, view.status_reply,
                "a platform client holds the panel; the owner's hold does not override it"};
    }
    if (view.status_error == "socket_denied") return {false, "socket_denied", EACCES, "", view.status_detail};
    int32_t keeper = view.panel.keeper_pid;
    if (keeper > 0 && view.holder == panel_holder::owner) {
        if (!change_value(keeper, args, &result)) return result;
    } else {
        if (keeper > 0) stop_keeper(keeper);
        if (!view.panel.daemon_answered && !start_daemon(node, &result)) return result;
        keeper = start_keeper(args, &result);
        if (keeper == 0) return result;
        if (!ask_daemon("ARM " + args.session + " " + std::to_string(keeper) + "\n", &result)) {
            stop_keeper(keeper);
            return result;
        }
    }
    ask_daemon("SET " + args.session + " " + std::to_string(args.value) + "\n", &result);
    save_owner_value(args.value);
    owner_log("owner: hold " + std::to_string(args.value) + " (keeper pid " + std::to_string(keeper) +
              "): " + result.reason);
    return result;
}

page_result owner_toggle(const owner_args& args) {
    owner_view view = look_at_panel(args.session);
    if (view.holder == panel_holder::owner) return owner_release(args);
    owner_args hold = args;
    hold.value = last_owner_value();
    if (hold.value == 0) {
        page_result none;
        std::string node = args.node.empty() ? module_node(&none) : args.node;
        if (node.empty()) return none;
        // No value held before: the one the panel shows now, kept in range.
        int32_t shown = read_sysfs_value(node.c_str());
        hold.value = shown < HELD_VALUE_MIN ? HELD_VALUE_MIN : shown;
    }
    return owner_hold(hold);
}

}  // namespace ctl
