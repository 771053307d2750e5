// Launching the daemon binary and collecting its output.
#include "sandbox/daemon_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>

#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

#ifndef VELTARISD_DEFAULT_PATH
#define VELTARISD_DEFAULT_PATH "veltarisd"
#endif

namespace sandbox {

std::string daemon_binary() {
    const char* env = getenv("VELTARISD");
    return env && *env ? env : VELTARISD_DEFAULT_PATH;
}

std::string client_binary() { return VELTARISCTL_DEFAULT_PATH; }

std::vector<std::string> daemon_emulator() {
    std::vector<std::string> out;
    const char* env = getenv("VELTARIS_EMULATOR");
    if (!env) return out;
    std::istringstream in(env);
    std::string word;
    while (in >> word) out.push_back(word);
    return out;
}

Daemon::Daemon() { detail::register_daemon(this); }

Daemon::~Daemon() {
    shutdown();
    detail::unregister_daemon(this);
}

bool Daemon::start(const std::vector<std::string>& args, const DaemonOptions& options) {
    if (pid_ > 0) return false;
    std::vector<std::string> words = daemon_emulator();
    bool emulated = !words.empty();
    words.push_back(runnable_by(daemon_binary(), options.uid, options.gid));
    words.insert(words.end(), args.begin(), args.end());
    // Everything the child needs is built before the fork: the child only
    // makes system calls until exec.
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::string exec_fail = "sandbox: exec " + words[0] + " failed: ";

    int err_pipe[2];
    int out_pipe[2] = {-1, -1};
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return false;
    if (options.capture_stdout && pipe2(out_pipe, O_CLOEXEC) != 0) {
        close(err_pipe[0]);
        close(err_pipe[1]);
        return false;
    }
    pid_t pid = fork_child();
    if (pid < 0) {
        for (int fd : {err_pipe[0], err_pipe[1], out_pipe[0], out_pipe[1]}) {
            if (fd >= 0) close(fd);
        }
        return false;
    }
    if (pid == 0) {
        // Normally no setpgid here: a process-group leader cannot setsid,
        // and outdoor mode treats a failing setsid as fatal. The daemon's own
        // setsid makes its pid the group id, which shutdown then also
        // signals.
        if (options.group_leader && setpgid(0, 0) != 0) _exit(126);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) _exit(126);
        dup2(null_fd, 0);
        dup2(options.capture_stdout ? out_pipe[1] : null_fd, 1);
        dup2(err_pipe[1], 2);
        close_fds_from(3);
        if ((options.uid != 0 || options.gid != 0) && detail::drop_privileges(options.uid, options.gid) != 0) {
            const char* msg = "sandbox: could not switch user\n";
            ssize_t ignored = write(2, msg, strlen(msg));
            (void)ignored;
            _exit(126);
        }
        if (emulated) {
            execvp(argv[0], argv.data());
        } else {
            execv(argv[0], argv.data());
        }
        const char* why = strerror(errno);
        ssize_t ignored = write(2, exec_fail.data(), exec_fail.size());
        ignored = write(2, why, strlen(why));
        ignored = write(2, "\n", 1);
        (void)ignored;
        _exit(127);
    }
    detail::register_child(pid);
    pid_ = pid;
    close(err_pipe[1]);
    if (out_pipe[1] >= 0) close(out_pipe[1]);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        output_closed_ = false;
        stop_reader_ = false;
        close_after_ready_ = options.close_stderr_after_ready;
    }
    reader_ = std::thread(&Daemon::reader_main, this, err_pipe[0], out_pipe[0]);
    return true;
}

void Daemon::append(std::string& pending, const char* data, size_t n, bool is_stderr) {
    int64_t now = monotonic_ms();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_stderr) {
        stdout_all_.append(data, n);
        return;
    }
    stderr_all_.append(data, n);
    pending.append(data, n);
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        lines_.push_back({now, pending.substr(0, nl), true});
        pending.erase(0, nl + 1);
    }
    cv_.notify_all();
}

void Daemon::reader_main(int err_fd, int out_fd) {
    std::string pending;
    std::string ignored;
    bool err_open = true;
    bool out_open = out_fd >= 0;
    char buf[4096];
    while (err_open || out_open) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_reader_) break;
        }
        pollfd fds[2];
        nfds_t n = 0;
        if (err_open) fds[n++] = {err_fd, POLLIN, 0};
        if (out_open) fds[n++] = {out_fd, POLLIN, 0};
        // A bounded wait, so that a stop request is seen even when some
        // other process still holds a write end open.
        int r = poll(fds, n, 100);
        if (r < 0 && errno != EINTR) break;
        for (nfds_t i = 0; i < n && r > 0; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            bool is_err = fds[i].fd == err_fd;
            if (got <= 0) {
                if (is_err) {
                    err_open = false;
                } else {
                    out_open = false;
                }
                continue;
            }
            append(is_err ? pending : ignored, buf, (size_t)got, is_err);
            if (is_err && close_after_ready_ && ready_seen()) {
                close(err_fd);
                err_fd = -1;
                err_open = false;
            }
        }
    }
    if (err_fd >= 0) close(err_fd);
    if (out_fd >= 0) close(out_fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending.empty()) lines_.push_back({monotonic_ms(), pending, false});
    output_closed_ = true;
    cv_.notify_all();
}

bool Daemon::ready_seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_) {
        if (l.text.rfind("NATIVE_READY ", 0) == 0) return true;
    }
    return false;
}

std::optional<std::string> Daemon::wait_for_line(const std::string& prefix, std::chrono::milliseconds timeout,
                                                  size_t from) {
    return wait_for_line([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, timeout, from);
}

std::optional<std::string> Daemon::wait_for_line(const std::function<bool(const std::string&)>& pred,
                                                  std::chrono::milliseconds timeout, size_t from) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    size_t next = from;
    for (;;) {
        for (; next < lines_.size(); ++next) {
            if (pred(lines_[next].text)) return lines_[next].text;
        }
        if (output_closed_) return std::nullopt;
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; next < lines_.size(); ++next) {
                if (pred(lines_[next].text)) return lines_[next].text;
            }
            return std::nullopt;
        }
    }
}

std::vector<OutputLine> Daemon::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> Daemon::line_texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_) out.push_back(l.text);
    return out;
}

size_t Daemon::line_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::string Daemon::stderr_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_all_;
}

std::string Daemon::stdout_text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stdout_all_;
}

bool Daemon::wait_output_closed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return output_closed_; });
}

std::optional<int> Daemon::poll_status(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (!status_) status_ = detail::reap_child(pid_, timeout);
    return status_;
}

int Daemon::wait_exit(std::chrono::milliseconds timeout) {
    auto st = poll_status(timeout);
    if (!st) return -1;
    // The process is gone; its last words may still be in the pipe.
    wait_output_closed(std::chrono::seconds(2));
    return *st;
}

bool Daemon::running() { return pid_ > 0 && !poll_status(std::chrono::milliseconds(0)); }

int Daemon::exit_code() { return poll_status(std::chrono::milliseconds(0)).value_or(-1); }

bool Daemon::signal(int sig) {
    if (!running()) return false;
    return kill(pid_, sig) == 0;
}

void Daemon::shutdown() {
    if (pid_ > 0 && running()) {
        // Not yet reaped, so the pid (and the group id) cannot have been
        // reused.
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        if (!poll_status(std::chrono::seconds(10))) {
            fprintf(stderr, "sandbox: daemon %d survived SIGKILL\n", (int)pid_);
        }
    }
    if (reader_.joinable()) {
        wait_output_closed(std::chrono::seconds(1));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_reader_ = true;
        }
        reader_.join();
    }
}

namespace {

// The step that never came and, once the daemon has ended, how it ended
// (an exit of -1: it still runs, or never started).
bool not_ready(Daemon& d, std::string* why, const std::string& missing) {
    int code = d.wait_exit(std::chrono::seconds(5));
    if (why) *why = missing + "; exit " + std::to_string(code) + ", stderr: " + d.stderr_text();
    return false;
}

}  // namespace

bool wait_ready(Daemon& d, std::string* why, std::chrono::milliseconds timeout, std::string* ready_line) {
    auto ready = d.started() ? d.wait_for_line("NATIVE_READY ", timeout) : std::nullopt;
    if (!ready) return not_ready(d, why, "no readiness line");
    if (ready_line) *ready_line = *ready;
    return wait_signal_caught(d.pid(), SIGTERM, timeout) || not_ready(d, why, "no SIGTERM handler");
}

bool wait_outdoor_ready(Daemon& d, std::string* why, std::chrono::milliseconds timeout) {
    // Outdoor mode prints nothing; its health record names its pid.
    const std::string own = "{\"pid\":" + std::to_string(d.pid()) + ",";
    auto recorded = [&] { return read_file(kOutdoorHealth).value_or("").rfind(own, 0) == 0; };
    if (!d.started() || !wait_until(recorded, timeout, std::chrono::milliseconds(5))) {
        return not_ready(d, why, "no health record of its own");
    }
    return wait_signal_caught(d.pid(), SIGTERM, timeout) || not_ready(d, why, "no SIGTERM handler");
}

}  // namespace sandbox
