// The owner room's I/O helpers (owner_io.h).
#include "client/owner/owner_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

#include "common/clock.h"
#include "process/environment.h"

namespace ctl {

namespace {

enum : size_t { TEXT_READ_MAX = 65536 };

std::string time_stamp() {
    char buf[32] = "";
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) != nullptr) strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool process_runs(int32_t pid) {
    // Reaps it when it is our own child that has ended.
    waitpid(pid, nullptr, WNOHANG);
    std::string stat;
    if (pid <= 0 || !read_text_file(("/proc/" + std::to_string(pid) + "/stat").c_str(), &stat)) return false;
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool this_boot(const std::string& boot) {
    std::string now;
    return read_text_file(BOOT_ID_PATH, &now) && now.substr(0, now.find('\n')) == boot && !boot.empty();
}

}  // namespace

bool read_text_file(const char* path, std::string* text) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    std::vector<char> buf(TEXT_READ_MAX);
    size_t got = 0;
    for (;;) {
        ssize_t n = read(fd, buf.data() + got, buf.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (got += static_cast<size_t>(n)) == buf.size()) break;
    }
    close(fd);
    text->assign(buf.data(), got);
    return true;
}

bool write_private_file(const char* path, const std::string& text) {
    std::string tmp = std::string(path) + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = write_all(fd, text);
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

void owner_say(const std::string& line) {
    fprintf(stderr, "%s %s\n", time_stamp().c_str(), line.c_str());
    fflush(stderr);
}

int open_service_log() {
    return open(OWNER_SERVICE_LOG_PATH, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

void owner_log(const std::string& line) {
    int lock = open(OWNER_SERVICE_LOG_PATH ".lock", O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0) return;
    flock(lock, LOCK_EX);
    struct stat st;
    if (stat(OWNER_SERVICE_LOG_PATH, &st) == 0 && st.st_size > SERVICE_LOG_MAX)
        rename(OWNER_SERVICE_LOG_PATH, OWNER_SERVICE_LOG_PATH ".old");
    int fd = open_service_log();
    if (fd >= 0) {
        write_all(fd, time_stamp() + " " + line + "\n");
        close(fd);
    }
    close(lock);
}

std::string self_program() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("veltarisctl");
}

std::string sibling_program(const char* name) {
    std::string self = self_program();
    size_t slash = self.rfind('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
}

bool record_keeper(int32_t pid) {
    std::string boot;
    if (!read_text_file(BOOT_ID_PATH, &boot)) return false;
    boot = boot.substr(0, boot.find('\n'));
    return write_private_file(OWNER_KEEPER_PID_PATH,
                              std::to_string(pid) + " " + boot + "\n" OWNER_KEEPER_WORD "\n");
}

int32_t running_keeper() {
    std::string text;
    if (!read_text_file(OWNER_KEEPER_PID_PATH, &text)) return 0;
    int pid = 0;
    char boot[BOOT_ID_SIZE] = {0};
    if (sscanf(text.c_str(), "%d %39s", &pid, boot) != 2 || !this_boot(boot) || !process_runs(pid)) return 0;
    std::string cmdline;
    read_text_file(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), &cmdline);
    std::string word = std::string("\0" OWNER_KEEPER_WORD "\0", sizeof OWNER_KEEPER_WORD + 1);
    return cmdline.find(word) != std::string::npos ? pid : 0;
}

void stop_keeper(int32_t pid) {
    kill(pid, SIGTERM);
    int64_t deadline = monotonic_ms() + KEEPER_STOP_WAIT_MS;
    while (process_runs(pid) && monotonic_ms() < deadline) {
        struct timespec ts = {0, OWNER_ACK_POLL_MS * 1000000L};
        nanosleep(&ts, nullptr);
    }
    if (process_runs(pid)) kill(pid, SIGKILL);
    std::string text;
    if (read_text_file(OWNER_KEEPER_PID_PATH, &text) && atoi(text.c_str()) == pid) unlink(OWNER_KEEPER_PID_PATH);
}

owner_view look_at_panel(const std::string& session) {
    owner_view v;
    std::string reply, error;
    if (!control_exchange("STATUS\n", &reply, &error)) {
        v.status_error = errno == EACCES || errno == EPERM ? "socket_denied" : "no_daemon";
        v.status_detail = error;
    } else if (reply_exit_code(reply) == EXIT_NO_DAEMON) {
        v.status_error = "no_reply";
        v.status_detail = "the daemon closed the connection without a reply";
    } else {
        v.status_reply = reply;
        v.panel.daemon_answered = true;
        v.panel.armed = json_value(reply, "armed") == "true";
        v.panel.session = json_value(reply, "session");
    }
    std::string lease;
    if (read_text_file(MAIN_PANEL_LEASE_PATH, &lease)) {
        v.panel.lease_valid = view_main_panel_lease(lease, monotonic_ms(), SYSFS_VALUE_MAX).accepted;
        if (lease_identity(lease, &v.panel.lease_session, &v.panel.lease_pid))
            v.panel.lease_pid_alive = process_runs(v.panel.lease_pid);
    }
    v.panel.keeper_pid = running_keeper();
    v.holder = judge_holder(v.panel, session);
    return v;
}

std::string module_node(page_result* result, const probe_report* report, bool* from_file) {
    std::string text;
    bool present = read_text_file(OWNER_NODE_FILE_PATH, &text);
    if (from_file) *from_file = present;
    if (present) {
        size_t from = text.find_first_not_of(" \t\r\n");
        size_t to = text.find_first_of("\r\n", from == std::string::npos ? 0 : from);
        std::string node = from == std::string::npos ? "" : text.substr(from, to - from);
        while (!node.empty() && (node.back() == ' ' || node.back() == '\t')) node.pop_back();
        if (!node.empty()) return node;
    }
    probe_report gathered;
    if (report == nullptr) {
        gathered = gather_probe(monotonic_ms);
        report = &gathered;
    }
    if (report->choice.index >= 0) return report->nodes[static_cast<size_t>(report->choice.index)].path;
    *result = {false, "no_node", 0, "", "no node for the main panel: " + report->choice.reason};
    return "";
}

void save_owner_value(int32_t value) {
    write_private_file(OWNER_VALUE_PATH, std::to_string(value) + "\n");
}

int32_t last_owner_value() {
    std::string text;
    return read_text_file(OWNER_VALUE_PATH, &text) ? parse_owner_value(text) : 0;
}

}  // namespace ctl
