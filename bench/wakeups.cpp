// Counting the daemon's wake-ups: strace attached for a fixed window
// records every return of the loop's ppoll with its events, and every read
// that drains the inotify descriptor, so each wake-up can be told apart as
// a timeout, a lease write by the client, the daemon's own health record
// landing in the watched directory, or a control connection.
//
// strace rather than the voluntary context switch count: every request to
// the (FUSE) node blocks the daemon too, so context switches count node
// reads along with wake-ups.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "bench/bench.h"

namespace bench {
namespace {

// The descriptors listed in a "[{fd=3, events=POLLIN}, ...]" or
// "[{fd=5, revents=POLLIN}]" list starting at text.
std::vector<int> listed_fds(const std::string& text) {
    std::vector<int> out;
    size_t pos = 0;
    while ((pos = text.find("{fd=", pos)) != std::string::npos) {
        pos += 4;
        out.push_back(atoi(text.c_str() + pos));
    }
    return out;
}

}  // namespace

WakeupCount count_wakeups(pid_t pid, int64_t window_ms, const std::function<void()>& tick,
                          const std::function<long()>& renewals) {
    WakeupCount c;
    std::string strace;
    if (!tool_available("strace", &strace)) {
        c.why = "strace is not installed";
        return c;
    }
    // BENCH_KEEP_TRACES=DIR keeps the raw traces there (a host directory
    // the sandbox binds, such as /tmp) for a closer look.
    const char* keep_dir = getenv("BENCH_KEEP_TRACES");
    std::string out_path = std::string(keep_dir ? keep_dir : "/sandbox") + "/strace-" + std::to_string(pid) + "-" +
                           std::to_string(now_ns());
    // Only the calls that matter are stopped on: the loop's wait and the
    // reads (among them the inotify drain, whose bytes name the files).
    pid_t tracer = spawn({strace, "-f", "-qq", "-s", "4096", "-e", "trace=ppoll,read", "-e",
                          "signal=none", "-o", out_path, "-p", std::to_string(pid)});
    if (tracer < 0) {
        c.why = "strace could not be started";
        return c;
    }
    int64_t attach_deadline = now_ns() + 10000000000LL;
    while (status_field(pid, "TracerPid") <= 0) {
        if (now_ns() > attach_deadline || process_state(tracer) == 0 || process_state(tracer) == 'Z') {
            kill_and_wait(tracer);
            c.why = "strace did not attach";
            return c;
        }
        sleep_ms(1);
    }
    long renewals_before = renewals ? renewals() : 0;
    int64_t t0 = now_ns();
    int64_t end = t0 + window_ms * 1000000;
    while (now_ns() < end) {
        if (tick) tick();
        sleep_ms(10);
    }
    int64_t t1 = now_ns();
    kill(tracer, SIGINT);
    if (wait_pid(tracer, 10000) < 0) kill_and_wait(tracer);
    c.renewals = renewals ? renewals() - renewals_before : 0;
    c.window_s = static_cast<double>(t1 - t0) / 1e9;

    std::ifstream in(out_path);
    if (!in) {
        c.why = "no strace output";
        return c;
    }
    int listen_fd = -1;
    int notify_fd = -1;
    // A wake-up by the inotify descriptor waits for the drain that follows
    // to be classified.
    bool pending_notify = false;
    std::string line;
    while (std::getline(in, line)) {
        bool is_ppoll = line.find("ppoll(") != std::string::npos || line.find("ppoll resumed>") != std::string::npos;
        if (is_ppoll) {
            size_t call = line.find("ppoll([");
            if (call != std::string::npos && notify_fd < 0) {
                std::vector<int> fds = listed_fds(line.substr(call, line.find(']', call) - call));
                // Main-panel mode waits on the socket then the watch; outdoor
                // mode on the watch alone.
                if (fds.size() == 2) {
                    listen_fd = fds[0];
                    notify_fd = fds[1];
                } else if (fds.size() == 1) {
                    notify_fd = fds[0];
                }
            }
            size_t eq = line.find(") = ");
            if (eq == std::string::npos) continue;  // unfinished, or restarted
            const char* result = line.c_str() + eq + 4;
            if (*result == '?') continue;  // restarted by the kernel: the loop never saw it
            long rv = strtol(result, nullptr, 10);
            if (rv < 0) {
                ++c.returns;
                ++c.interrupted;
                continue;
            }
            ++c.returns;
            if (rv == 0) {
                ++c.timeouts;
                continue;
            }
            std::vector<int> ready = listed_fds(line.substr(eq));
            std::set<int> ready_set(ready.begin(), ready.end());
            if (ready_set.count(notify_fd)) {
                pending_notify = true;
            } else if (ready_set.count(listen_fd)) {
                ++c.socket_events;
            } else {
                ++c.other_events;
            }
            continue;
        }
        if (!pending_notify || notify_fd < 0) continue;
        std::string call = "read(" + std::to_string(notify_fd) + ",";
        size_t at = line.find(call);
        if (at == std::string::npos) continue;
        pending_notify = false;
        if (line.find("lease", at) != std::string::npos) {
            ++c.lease_events;
        } else if (line.find("health", at) != std::string::npos) {
            ++c.own_events;
        } else {
            ++c.other_events;
        }
    }
    if (pending_notify) ++c.other_events;
    if (!keep_dir) unlink(out_path.c_str());
    c.ok = true;
    return c;
}

}  // namespace bench
