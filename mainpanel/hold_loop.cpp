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
#include "common/dir_watch.h"
#include "daemon/environment.h"
#include "daemon/state.h"
#include "mainpanel/control.h"
#include "mainpanel/health.h"
#include "mainpanel/lease.h"
#include "node/node_policy.h"
#include "node/node_value.h"
#include "node/write_guard.h"

namespace {

// Every way the client can change the lease or end it: rewritten in place,
// moved in, moved away or deleted.
const uint32_t kLeaseDirEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

hold_timing timing_of(const daemon_state* s) {
    return hold_timing{s->armed, s->paused, s->target, s->lease_deadline_ms, s->last_health_ms,
                       s->next_correction_ms};
}

int correcting(void) {
    hold_timing t = timing_of(&g_daemon);
    return hold_correcting(&t);
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
    if (health_due(now, g_daemon.last_health_ms) && write_health_record(1) != 0) return -1;
    return 0;
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
            if (correction_line_due(before, now, g_daemon.last_correction_log_ms)) {
                g_daemon.last_correction_log_ms = now;
                fprintf(stderr, "NATIVE_CORRECTION actual=%d target=%d count=%d\n", actual,
                        g_daemon.target, g_daemon.corrections);
            }
        }
    }
    g_daemon.next_correction_ms = now + CORRECTION_PERIOD_MS;
    return 0;
}

int poll_timeout(int64_t wake_ms, int64_t now, int have_notify) {
    int64_t timeout = wake_ms - now;
    if (timeout < 0) timeout = 0;
    if (timeout > INT32_MAX) timeout = INT32_MAX;
    if (!have_notify && timeout > POLL_CAP_WITHOUT_NOTIFY_MS) timeout = POLL_CAP_WITHOUT_NOTIFY_MS;
    return static_cast<int>(timeout);
}

void serve_connection(int listen_fd, int64_t* accept_retry_ms) {
    int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) {
        handle_control_connection(conn);
        close(conn);
    } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        *accept_retry_ms = monotonic_ms() + ACCEPT_BACKOFF_MS;
    }
}

}  // namespace

int64_t idle_deadline_ms(int64_t loop_start_ms) {
    return loop_start_ms + IDLE_LIMIT_MS;
}

int health_due(int64_t now_ms, int64_t last_health_ms) {
    return now_ms - last_health_ms >= HEALTH_PERIOD_MS;
}

int hold_correcting(const hold_timing* t) {
    return t->armed && !t->paused && t->target >= HELD_VALUE_MIN;
}

int64_t hold_wake_up_ms(const hold_timing* t, int64_t idle_deadline) {
    if (!t->armed) return idle_deadline;
    int64_t wake = t->lease_deadline_ms;
    int64_t heartbeat = t->last_health_ms + HEALTH_PERIOD_MS;
    if (heartbeat < wake) wake = heartbeat;
    if (hold_correcting(t) && t->next_correction_ms < wake) wake = t->next_correction_ms;
    return wake;
}

int correction_line_due(int32_t count_before, int64_t now_ms, int64_t last_line_ms) {
    return count_before < CORRECTION_LINES_FREE || now_ms - last_line_ms >= CORRECTION_LINE_INTERVAL_MS;
}

int hold_wait(struct pollfd* fds, nfds_t nfds, int64_t wake_ms, const sigset_t* wait_mask,
              int lease_event) {
    int have_notify = nfds == POLL_SLOTS;
    for (;;) {
        int timeout_ms = lease_event ? 0 : poll_timeout(wake_ms, monotonic_ms(), have_notify);
        struct timespec timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        for (nfds_t i = 0; i < nfds; ++i) fds[i].revents = 0;
        int ready = ppoll(fds, nfds, &timeout, wait_mask);
        if (ready < 1) return ready;
        if (have_notify && (fds[POLL_NOTIFY].revents & POLLIN) &&
            dir_watch_drain(fds[POLL_NOTIFY].fd, MAIN_PANEL_LEASE_NAME)) {
            lease_event = 1;
        }
        if (!(fds[POLL_LISTEN].revents & POLLIN) && !lease_event && have_notify) continue;
        // Ready descriptors win over a signal that was already pending: the
        // kernel puts the blocking mask back without delivering it. (Going
        // round again needs no such check: a wait with nothing ready
        // delivers it.)
        if (stop_signal_pending()) {
            g_daemon.stop_requested = 1;
            return 0;
        }
        return ready;
    }
}

void run_hold_loop(int listen_fd) {
    clear_hold();
    int notify_fd = dir_watch_open(LEASE_DIR, kLeaseDirEvents);
    int64_t idle_deadline = idle_deadline_ms(monotonic_ms());

    struct pollfd fds[POLL_SLOTS] = {};
    fds[POLL_LISTEN] = {listen_fd, POLLIN, 0};
    fds[POLL_NOTIFY] = {notify_fd, POLLIN, 0};
    nfds_t nfds = notify_fd >= 0 ? POLL_SLOTS : 1;

    // Stop signals are only let in while waiting, so one that arrives after
    // the flag test below still cuts the wait short.
    sigset_t wait_mask;
    block_stop_signals(&wait_mask);
    int64_t accept_retry_ms = 0;
    int64_t health_seen_ms = g_daemon.last_health_ms;

    for (;;) {
        if (g_daemon.stop_requested) break;
        int64_t now = monotonic_ms();
        if (g_daemon.armed && follow_lease(now) != 0) break;
        if (!g_daemon.armed && now >= idle_deadline) break;
        if (correcting() && now >= g_daemon.next_correction_ms && correct_node(now) != 0) break;

        // A health record written this turn has queued its own events:
        // drain them now so that they do not even wake the wait.
        int lease_event = 0;
        if (g_daemon.last_health_ms != health_seen_ms && notify_fd >= 0) {
            lease_event = dir_watch_drain(notify_fd, MAIN_PANEL_LEASE_NAME);
        }
        health_seen_ms = g_daemon.last_health_ms;

        hold_timing t = timing_of(&g_daemon);
        int64_t wake = hold_wake_up_ms(&t, idle_deadline);
        int backing_off = now < accept_retry_ms;
        fds[POLL_LISTEN].events = backing_off ? 0 : POLLIN;
        if (backing_off && accept_retry_ms < wake) wake = accept_retry_ms;

        if (hold_wait(fds, nfds, wake, &wait_mask, lease_event) < 1) continue;
        if (fds[POLL_LISTEN].revents & POLLIN) serve_connection(listen_fd, &accept_retry_ms);
    }

    release_write_guard();
    write_health_record(0);
    if (notify_fd >= 0) close(notify_fd);
    close(listen_fd);
}
