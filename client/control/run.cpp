// The I/O side of the control room: the control socket, the lease files
// and the watcher. The texts themselves come from lines.cpp, already
// checked against the daemon's parsers, and watch.cpp.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "client/control/exit_status.h"
#include "client/control/lease_file.h"
#include "client/control/lines.h"
#include "client/control/run.h"
#include "client/control/watch.h"
#include "common/clock.h"
#include "common/small_file.h"
#include "mainpanel/control.h"
#include "mainpanel/health.h"
#include "mainpanel/lease.h"
#include "node/node_value.h"
#include "outdoor/outdoor_health.h"
#include "outdoor/outdoor_lease.h"

namespace ctl {

namespace {

enum : int {
    RENEW_DIVISOR = 3,  // renew three times per lease lifetime
    WATCH_READ_MAX = 4096,
};

std::string errno_text(int err) {
    return strerror(err);
}

// SIGINT, SIGTERM and SIGHUP stay blocked and are collected with
// sigtimedwait, which doubles as the sleep between renewals or polls: a
// signal that arrives at any moment ends the wait, with no handler and no
// race between testing a flag and going to sleep.
void block_client_stop_signals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
    sigprocmask(SIG_BLOCK, set, nullptr);
}

// Sleeps up to ms; true when a stop signal arrived.
bool wait_for_stop(const sigset_t* set, int64_t ms) {
    if (ms < 0) ms = 0;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    // A timeout (EAGAIN) or an interruption by some other signal (EINTR,
    // after a stop and continue, say) both return false; callers look at
    // the clock rather than trusting that the full time has passed.
    return sigtimedwait(set, nullptr, &ts) > 0;
}

// ---- control socket ----------------------------------------------------

int64_t ms_until(int64_t deadline) {
    int64_t left = deadline - monotonic_ms();
    return left > 0 ? left : 0;
}

// Sends one request and collects the reply until the daemon closes the
// connection or the time runs out. True with *reply (possibly empty) once
// the request went out; false with *error when it could not be sent.
bool exchange(const std::string& request, std::string* reply, std::string* error) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = "cannot create a unix socket: " + errno_text(errno);
        return false;
    }
    // Bounds connect too: a full listen backlog makes connect wait.
    struct timeval tv = {REPLY_TIMEOUT_MS / 1000, (REPLY_TIMEOUT_MS % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    sockaddr_un addr;
    socklen_t addr_len;
    fill_control_address(&addr, &addr_len);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), addr_len) != 0) {
        *error = std::string("no daemon on the control socket @") + CONTROL_SOCKET_NAME +
                 " (connect: " + errno_text(errno) + ")";
        // Callers tell a policy's refusal (EACCES) from no daemon.
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }

    int64_t deadline = monotonic_ms() + REPLY_TIMEOUT_MS;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "sending the request failed: " + errno_text(errno);
            close(fd);
            return false;
        }
        sent += static_cast<size_t>(n);
    }

    // The daemon closes the connection after its one reply line.
    char buf[REPLY_SIZE];
    for (;;) {
        int64_t left = ms_until(deadline);
        if (left == 0) break;
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// ---- lease files -------------------------------------------------------

// The lease line written at now_ms, checked; false with *error.
using line_maker = std::function<bool(int64_t now_ms, std::string* line, std::string* error)>;

// Writes the lease at path (naming pid) once, or with hold renews it every
// ttl_ms / 3 until a stop signal and then removes it.
int write_and_hold(const char* path, int32_t pid, int32_t ttl_ms, bool hold, const line_maker& make) {
    sigset_t stop_set;
    if (hold) block_client_stop_signals(&stop_set);

    std::string line;
    std::string error;
    remove_temporary_leftovers(path);
    int64_t written_at = monotonic_ms();
    if (!make(written_at, &line, &error) || !replace_lease_file(path, line, &error)) {
        complain(error);
        return EXIT_REFUSED;
    }
    fputs(line.c_str(), stdout);
    fflush(stdout);
    if (!hold) return EXIT_OK;
    std::string written = line;

    int64_t interval = ttl_ms / RENEW_DIVISOR;
    if (interval < 1) interval = 1;
    fprintf(stderr, "veltarisctl: holding %s as pid %d, renewing every %lld ms until interrupted\n",
            path, static_cast<int>(pid), static_cast<long long>(interval));
    int rc = EXIT_OK;
    for (;;) {
        if (wait_for_stop(&stop_set, written_at + interval - monotonic_ms())) break;
        if (monotonic_ms() < written_at + interval) continue;
        written_at = monotonic_ms();
        if (!make(written_at, &line, &error) || !replace_lease_file(path, line, &error)) {
            complain(error);
            rc = EXIT_REFUSED;
            break;
        }
        written = line;
    }
    remove_own_lease(path, written);
    return rc;
}

// ---- watch ---------------------------------------------------------------

enum class watch_kind { plain, main_lease, outdoor_lease, main_health, outdoor_health };

struct watch_source {
    const char* name;
    std::string path;
    watch_kind kind;
    bool seen;
    std::string last_key;
};

file_snapshot take_snapshot(const std::string& path) {
    file_snapshot snap;
    // Lease files are opened the way the daemons open them: a symbolic link
    // or a FIFO planted there shows up as such instead of being followed.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        snap.error = errno;
        return snap;
    }
    struct stat st;
    if (fstat(fd, &st) == 0) snap.system_owned = stat_is_trusted(&st, SYSTEM_UID) != 0;
    char buf[WATCH_READ_MAX];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        snap.error = errno;
    } else {
        snap.text.assign(buf, static_cast<size_t>(n));
    }
    close(fd);
    return snap;
}

}  // namespace

void remove_own_lease(const char* path, const std::string& last) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    char buf[LEASE_READ_SIZE + 1];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n < 0 || std::string(buf, static_cast<size_t>(n)) != last) {
        complain(std::string("left ") + path + " in place: someone else has rewritten it");
        return;
    }
    if (unlink(path) != 0 && errno != ENOENT)
        complain(std::string("cannot remove ") + path + ": " + errno_text(errno));
}

bool control_exchange(const std::string& request, std::string* reply, std::string* error) {
    return exchange(request, reply, error);
}

int run_control_command(const request_fields& fields) {
    std::string request;
    std::string error;
    if (!format_request(fields, &request, &error)) {
        complain(error);
        return EXIT_USAGE;
    }
    std::string reply;
    if (!exchange(request, &reply, &error)) {
        complain(error);
        return EXIT_NO_DAEMON;
    }
    if (reply.empty()) {
        complain(
            "no reply: the daemon closed the connection or stayed silent for 3 s (it answers "
            "only uid 0 and uid 1000)");
        return EXIT_NO_DAEMON;
    }
    fputs(reply.c_str(), stdout);
    if (reply.back() != '\n') fputc('\n', stdout);
    fflush(stdout);
    int code = reply_exit_code(reply);
    if (code == EXIT_NO_DAEMON) complain("the reply is not a status line");
    return code;
}

int run_main_panel_lease(const main_panel_lease_args& lease) {
    auto make = [&lease](int64_t now_ms, std::string* line, std::string* error) {
        return format_main_panel_lease(lease.session, lease.pid, now_ms + lease.ttl_ms, !lease.paused,
                                       lease.target, now_ms, line, error);
    };
    return write_and_hold(MAIN_PANEL_LEASE_PATH, lease.pid, lease.ttl_ms, lease.hold, make);
}

int run_outdoor_lease(const outdoor_lease_args& lease) {
    // Only a hint: the outdoor daemon checks the writer on every turn, and
    // a test may well hand it a stand-in process.
    if (!is_system_server(lease.pid)) {
        complain("note: pid " + std::to_string(lease.pid) +
                 " is not system_server; the outdoor daemon ignores leases from other processes");
    }
    auto make = [&lease](int64_t now_ms, std::string* line, std::string* error) {
        return format_outdoor_lease(lease.v2, lease.pid, now_ms + lease.ttl_ms, lease.value, lease.held,
                                    now_ms, line, error);
    };
    return write_and_hold(OUTDOOR_LEASE_PATH, lease.pid, lease.ttl_ms, lease.hold, make);
}

int run_watch(const std::string& node_path) {
    sigset_t stop_set;
    block_client_stop_signals(&stop_set);
    watch_source sources[] = {
        {"node", node_path, watch_kind::plain, false, {}},
        {"main-panel-lease", MAIN_PANEL_LEASE_PATH, watch_kind::main_lease, false, {}},
        {"main-panel-health", MAIN_PANEL_HEALTH_PATH, watch_kind::main_health, false, {}},
        {"outdoor-lease", OUTDOOR_LEASE_PATH, watch_kind::outdoor_lease, false, {}},
        {"outdoor-health", OUTDOOR_HEALTH_PATH, watch_kind::outdoor_health, false, {}},
    };
    std::string max_path = max_brightness_path(node_path);
    for (;;) {
        for (watch_source& src : sources) {
            file_snapshot snap = take_snapshot(src.path);
            std::string text = describe_snapshot(snap);
            // Ownership belongs to the key: a lease that is rewritten with
            // the same text but by the wrong user is a change worth seeing.
            std::string key = (snap.system_owned ? "1:" : "0:") + text;
            if (src.seen && key == src.last_key) continue;
            src.seen = true;
            src.last_key = key;
            int64_t now = monotonic_ms();
            std::string note;
            if (src.kind == watch_kind::main_lease) {
                int maximum = read_sysfs_value(max_path.c_str());
                note = judge_main_panel_lease(snap, now, maximum >= 0 ? maximum : SYSFS_VALUE_MAX);
            } else if (src.kind == watch_kind::outdoor_lease) {
                note = judge_outdoor_lease(snap, now);
            } else if (src.kind != watch_kind::plain) {
                note = judge_health_record(snap, now, src.kind == watch_kind::outdoor_health);
            }
            printf("%lld %s %s%s\n", static_cast<long long>(now), src.name, text.c_str(),
                   note.c_str());
            fflush(stdout);
        }
        if (wait_for_stop(&stop_set, WATCH_INTERVAL_MS)) return EXIT_OK;
    }
}

}  // namespace ctl
