#include "mainpanel/hold_loop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "daemon/environment.h"
#include "daemon/state.h"
#include "mainpanel/control.h"
#include "mainpanel/health.h"
#include "mainpanel/lease.h"
#include "node/node_policy.h"
#include "node/node_value.h"
#include "node/write_guard.h"

namespace {

enum { POLL_LISTEN = 0, POLL_NOTIFY = 1, POLL_SLOTS = 2 };

int open_lease_notification(void) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -1;
    if (inotify_add_watch(fd, LEASE_DIR, IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Follows the lease for one armed turn. Returns 0 to go on, -1 to end the
// hold.
int follow_lease(int64_t now) {
    lease_record lease;
    if (!read_main_panel_lease(&lease)) return -1;
    if (lease.pid != g_daemon.lease_pid) return -1;
    if (kill(lease.pid, 0) != 0) return -1;

    int lease_paused = lease.active == 0;
    int changed = strcmp(lease.session, g_daemon.session) != 0 || lease_paused != g_daemon.paused;
    memcpy(g_daemon.session, lease.session, sizeof g_daemon.session);
    g_daemon.lease_deadline_ms = lease.deadline_ms;
    g_daemon.target = lease.target;
    g_daemon.paused = lease_paused;

    if (g_daemon.paused && g_daemon.held_fd >= 0 && release_write_guard() != 0) return -1;
    if (changed) {
        g_daemon.next_correction_ms = now;
        if (write_health_record(1) != 0) return -1;
        fprintf(stderr, "NATIVE_%s target=%d\n", g_daemon.paused ? "PAUSED" : "RESUMED",
                g_daemon.target);
    }
    if (now - g_daemon.last_health_ms >= HEALTH_PERIOD_MS && write_health_record(1) != 0) {
        return -1;
    }
    return 0;
}

// Reads every queued event without blocking. Returns 1 when one of them
// can matter to the hold: it names the lease, or the queue overflowed or
// the watch went away. Events about other files in the directory (our own
// health record, the client's temporary files) only cost a turn.
int drain_notifications(int notify_fd) {
    alignas(struct inotify_event) char buf[NOTIFY_DRAIN_SIZE];
    int relevant = 0;
    for (;;) {
        ssize_t n = read(notify_fd, buf, sizeof buf);
        if (n <= 0) return relevant;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
            if ((ev->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
                (ev->len > 0 && strcmp(ev->name, MAIN_PANEL_LEASE_NAME) == 0)) {
                relevant = 1;
            }
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
        }
    }
}

int correcting(void) {
    return g_daemon.armed && !g_daemon.paused && g_daemon.target >= HELD_VALUE_MIN;
}

// One read-back and, when another writer changed the node, one correction.
// Returns 0 to go on, -1 to end the hold with last_error set.
int correct_node(int64_t now) {
    if (!node_identity_ok()) {
        g_daemon.last_error = ESTALE;
        return -1;
    }
    // The device manager may have given the node its write bits back.
    enforce_guard_mode();
    int actual = read_sysfs_value(g_daemon.node_path);
    if (actual < 0) {
        g_daemon.last_error = EIO;
        return -1;
    }
    if (actual != 0 && actual != g_daemon.target) {
        int rc = verified_write(g_daemon.target);
        if (rc < 0) return -1;
        if (rc == 0) {
            int before = g_daemon.corrections++;
            if (before < CORRECTION_LINES_FREE ||
                now - g_daemon.last_correction_log_ms >= CORRECTION_LINE_INTERVAL_MS) {
                g_daemon.last_correction_log_ms = now;
                fprintf(stderr, "NATIVE_CORRECTION actual=%d target=%d count=%d\n", actual,
                        g_daemon.target, g_daemon.corrections);
            }
        }
    }
    g_daemon.next_correction_ms = now + CORRECTION_PERIOD_MS;
    return 0;
}

int64_t wake_up_time(int64_t idle_deadline_ms) {
    if (!g_daemon.armed) return idle_deadline_ms;
    int64_t wake = g_daemon.lease_deadline_ms;
    int64_t heartbeat = g_daemon.last_health_ms + HEALTH_PERIOD_MS;
    if (heartbeat < wake) wake = heartbeat;
    if (correcting() && g_daemon.next_correction_ms < wake) wake = g_daemon.next_correction_ms;
    return wake;
}

int poll_timeout(int64_t wake, int64_t now, int have_notify) {
    int64_t timeout = wake - now;
    if (timeout < 0) timeout = 0;
    if (timeout > INT32_MAX) timeout = INT32_MAX;
    if (!have_notify && timeout > POLL_CAP_WITHOUT_NOTIFY_MS) timeout = POLL_CAP_WITHOUT_NOTIFY_MS;
    return static_cast<int>(timeout);
}

// Waits until the nearest deadline, a connection or a change of the lease.
// Events about other files in /data/system are drained and the wait goes
// on, so the daemon's own heartbeat and a client's temporary files do not
// cost a turn. Returns what the last ppoll returned.
//
// After a failed accept4 (say, out of descriptors) the pending connection
// would keep the socket ready and the loop spinning, so the socket is left
// out of one wait of at most one correction period.
//
// When the turn wrote the health record, its events are already queued:
// they are drained before sleeping, so they do not even wake the wait.
int wait_for_work(struct pollfd* fds, nfds_t nfds, int64_t now, int64_t idle_deadline_ms,
                  const sigset_t* wait_mask, int accept_failed, int health_written) {
    int have_notify = nfds == POLL_SLOTS;
    fds[POLL_LISTEN].events = accept_failed ? 0 : POLLIN;
    int lease_event = have_notify && health_written && drain_notifications(fds[POLL_NOTIFY].fd);
    for (;;) {
        int timeout_ms = lease_event ? 0 : poll_timeout(wake_up_time(idle_deadline_ms), now, have_notify);
        lease_event = 0;
        if (accept_failed && timeout_ms > CORRECTION_PERIOD_MS) timeout_ms = CORRECTION_PERIOD_MS;
        struct timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        for (nfds_t i = 0; i < nfds; ++i) fds[i].revents = 0;
        int ready = ppoll(fds, nfds, &timeout, wait_mask);
        if (ready < 1) return ready;
        if (fds[POLL_LISTEN].revents & POLLIN) {
            if (have_notify && (fds[POLL_NOTIFY].revents & POLLIN)) drain_notifications(fds[POLL_NOTIFY].fd);
            return ready;
        }
        if (!have_notify || drain_notifications(fds[POLL_NOTIFY].fd)) return ready;
        now = monotonic_ms();
    }
}

}  // namespace

void run_hold_loop(int listen_fd) {
    clear_hold();
    int notify_fd = open_lease_notification();
    int64_t loop_start_ms = monotonic_ms();
    int64_t idle_deadline_ms = loop_start_ms + IDLE_LIMIT_MS;

    struct pollfd fds[POLL_SLOTS] = {};
    fds[POLL_LISTEN] = {listen_fd, POLLIN, 0};
    fds[POLL_NOTIFY] = {notify_fd, POLLIN, 0};
    nfds_t nfds = notify_fd >= 0 ? POLL_SLOTS : 1;

    // Stop signals are only let in while waiting, so one that arrives after
    // the flag test below still cuts the wait short.
    sigset_t wait_mask;
    block_stop_signals(&wait_mask);
    int accept_failed = 0;
    int64_t health_seen_ms = g_daemon.last_health_ms;

    for (;;) {
        if (g_daemon.stop_requested) break;
        int64_t now = monotonic_ms();
        if (g_daemon.armed && follow_lease(now) != 0) break;
        if (!g_daemon.armed && now >= idle_deadline_ms) break;
        if (correcting() && now >= g_daemon.next_correction_ms && correct_node(now) != 0) break;

        int health_written = g_daemon.last_health_ms != health_seen_ms;
        health_seen_ms = g_daemon.last_health_ms;
        int ready = wait_for_work(fds, nfds, now, idle_deadline_ms, &wait_mask, accept_failed,
                                  health_written);
        accept_failed = 0;
        if (ready < 1) continue;
        if (fds[POLL_LISTEN].revents & POLLIN) {
            int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0) {
                handle_control_connection(conn);
                close(conn);
            } else {
                accept_failed = errno != EAGAIN && errno != EINTR && errno != ECONNABORTED;
            }
        }
    }

    release_write_guard();
    write_health_record(0);
    if (notify_fd >= 0) close(notify_fd);
    close(listen_fd);
}
