// Runs the real daemon binary as a child of the test and collects what it
// prints on standard error, line by line with the monotonic time of
// arrival.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sandbox {

struct DaemonOptions {
    uid_t uid = 0;
    gid_t gid = 0;
    // Keep what the daemon writes on standard output (it should write
    // nothing there); otherwise it goes to /dev/null.
    bool capture_stdout = false;
    // Start it as a process-group leader, where setsid fails (EPERM).
    bool group_leader = false;
    // Close the reading end of its standard error once the readiness line
    // has come, as a supervisor that goes away does: its next line then
    // meets a pipe without a reader.
    bool close_stderr_after_ready = false;
};

struct OutputLine {
    int64_t at_ms;     // CLOCK_MONOTONIC milliseconds when it was read
    std::string text;  // without the line feed
    bool complete;     // false for a last fragment without a line feed
};

// The binary under test: $VELTARISD, else the one built with the tests.
std::string daemon_binary();
// The reference client built with the tests (run_program runs it as any
// user, see runnable_by).
std::string client_binary();
// Optional emulator command line from $VELTARIS_EMULATOR (split on blanks),
// put in front of the binary, so foreign-architecture builds run the same
// tests.
std::vector<std::string> daemon_emulator();

class Daemon {
  public:
    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts the binary with args (argv[1]...). False when the process
    // could not be created; a failing exec shows as exit 127 with a
    // "sandbox: exec ..." line.
    bool start(const std::vector<std::string>& args, const DaemonOptions& options = {});
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The first line (counting from line index `from`) that starts with
    // prefix / satisfies pred, waiting up to timeout for it to arrive.
    std::optional<std::string> wait_for_line(const std::string& prefix,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                             size_t from = 0);
    std::optional<std::string> wait_for_line(const std::function<bool(const std::string&)>& pred,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                             size_t from = 0);
    std::vector<OutputLine> lines() const;
    std::vector<std::string> line_texts() const;
    size_t line_count() const;
    // Every byte read from standard error (and standard output, when
    // captured) so far.
    std::string stderr_text() const;
    std::string stdout_text() const;

    // Waits for the process to end and for its output to be drained.
    // Returns the exit code, 128 + signal when killed, -1 on timeout.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    bool running();
    // The exit status once the process has ended (as wait_exit), else -1.
    int exit_code();
    bool signal(int sig);

    // SIGKILL, reap and stop the reader; idempotent (teardown uses it).
    void shutdown();

  private:
    void reader_main(int err_fd, int out_fd);
    bool ready_seen() const;
    void append(std::string& pending, const char* data, size_t n, bool is_stderr);
    bool wait_output_closed(std::chrono::milliseconds timeout);
    std::optional<int> poll_status(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    std::optional<int> status_;  // decoded exit status once reaped
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<OutputLine> lines_;
    std::string stderr_all_;
    std::string stdout_all_;
    bool output_closed_ = false;
    bool stop_reader_ = false;
    bool close_after_ready_ = false;
    std::thread reader_;
};

// Waits until a started daemon runs its loop: its readiness line in
// main-panel mode (kept in *ready_line), its first health record in outdoor
// mode, and in both its stop handlers, installed right after (a SIGTERM
// before them would kill the process outright instead of ending the loop).
// Each step may take up to timeout. False when a step never came, with
// *why naming it and, once the daemon has ended, its exit and stderr.
bool wait_ready(Daemon& d, std::string* why = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                std::string* ready_line = nullptr);
bool wait_outdoor_ready(Daemon& d, std::string* why = nullptr,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace sandbox
