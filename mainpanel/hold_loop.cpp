#include "mainpanel/hold_loop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/dir_watch.h"
#include "mainpanel/control.h"
#include "mainpanel/health.h"
#include "mainpanel/hold.h"
#include "mainpanel/lease.h"
#include "mainpanel/verified_write.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "node/write_guard.h"
#include "process/environment.h"

namespace {

// Every way the client can change the lease or end it: rewritten in place,
// moved in, moved away or deleted.
const uint32_t kLeaseDirEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

int write_heartbeat(daemon_state* s) {
    return write_health_record(&s->hold, s->counters.last_error, 1);
}

// Follows the lease, read into *lease, for one armed turn. Returns 0 to go
// on, -1 to end the hold.
int follow_lease(daemon_state* s, int64_t now, lease_record* lease) {
    if (!read_main_panel_lease(s->node.maximum, lease)) return -1;
    if (lease->pid != s->hold.lease_pid) return -1;
    if (kill(lease->pid, 0) != 0) return -1;

    int changed = hold_follow(&s->hold, lease);
    if (s->hold.paused && s->guard.held_fd >= 0 &&
        release_write_guard(&s->guard, s->process.boot_id) != 0) {
        return -1;
    }
    if (changed) {
        s->hold.next_correction_ms = now;
        if (write_heartbeat(s) != 0) return -1;
        fprintf(stderr, "NATIVE_%s target=%d\n", s->hold.paused ? "PAUSED" : "RESUMED",
                s->hold.target);
    }
    if (health_due(now, s->hold.last_health_ms) && write_heartbeat(s) != 0) return -1;
    return 0;
}

// One read-back and, when another writer changed the node, one correction,
// on the lease this turn has just read. Returns 0 to go on, -1 to end the
// hold with last_error set.
int correct_node(daemon_state* s, int64_t now, const lease_record* lease) {
    struct stat st;
    int actual = read_node_checked(&s->node, &st);
    if (actual < 0) {
        s->counters.last_error = errno == ESTALE ? ESTALE : EIO;
        return -1;
    }
    // The device manager may have given the node its write bits back.
    enforce_guard_mode(&s->guard, &st);
    if (actual != 0 && actual != s->hold.target) {
        int rc = verified_write(s, s->hold.target, lease, actual);
        if (rc < 0) return -1;
        if (rc == 0) {
            int32_t before = s->counters.corrections++;
            if (correction_line_due(before, now, s->hold.last_correction_log_ms)) {
                s->hold.last_correction_log_ms = now;
                fprintf(stderr, "NATIVE_CORRECTION actual=%d target=%d count=%d\n", actual,
                        s->hold.target, s->counters.corrections);
            }
        }
    }
    s->hold.next_correction_ms = next_correction_at(now);
    return 0;
}

void serve_connection(daemon_state* s, int listen_fd, int64_t* accept_retry_ms) {
    int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn >= 0) {
        handle_control_connection(s, conn);
        close(conn);
    } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        *accept_retry_ms = monotonic_ms() + ACCEPT_BACKOFF_MS;
    }
}

// The release when the hold ends, whatever ended it (a stop signal, STOP,
// the lease, the idle limit, the node). A node left without its write bits
// must not look like a clean end: the failure goes into the final health
// record and onto standard error. 0, or -1 with errno.
int release_at_end(daemon_state* s) {
    // An earlier release (STOP, a pause, a failed SET) may have failed
    // already, leaving this one nothing to do.
    if (release_write_guard(&s->guard, s->process.boot_id) == 0 && s->guard.release_errno == 0) return 0;
    int err = s->guard.release_errno;
    s->counters.last_error = err;
    fprintf(stderr, "NATIVE_RELEASE_FAILED errno=%d (%s)\n", err, strerror(err));
    errno = err;
    return -1;
}

}  // namespace

int64_t idle_deadline_ms(int64_t loop_start_ms) {
    return loop_start_ms + IDLE_LIMIT_MS;
}

int health_due(int64_t now_ms, int64_t last_health_ms) {
    return now_ms - last_health_ms >= HEALTH_PERIOD_MS;
}

int hold_correcting(const hold_state* hold) {
    return hold->armed && !hold->paused && hold->target >= HELD_VALUE_MIN;
}

int64_t hold_wake_up_ms(const hold_state* hold, int64_t idle_deadline) {
    if (!hold->armed) return idle_deadline;
    int64_t wake = hold->lease_deadline_ms;
    int64_t heartbeat = hold->last_health_ms + HEALTH_PERIOD_MS;
    if (heartbeat < wake) wake = heartbeat;
    if (hold_correcting(hold) && hold->next_correction_ms < wake) wake = hold->next_correction_ms;
    return wake;
}

int64_t next_correction_at(int64_t now_ms) {
    return now_ms + CORRECTION_PERIOD_MS;
}

int hold_poll_timeout_ms(int64_t wake_ms, int64_t now, int have_notify) {
    int64_t timeout = wake_ms - now;
    if (timeout < 0) timeout = 0;
    if (timeout > INT32_MAX) timeout = INT32_MAX;
    if (!have_notify && timeout > POLL_CAP_WITHOUT_NOTIFY_MS) timeout = POLL_CAP_WITHOUT_NOTIFY_MS;
    return static_cast<int>(timeout);
}

int correction_line_due(int32_t count_before, int64_t now_ms, int64_t last_line_ms) {
    return count_before < CORRECTION_LINES_FREE || now_ms - last_line_ms >= CORRECTION_LINE_INTERVAL_MS;
}

int hold_wait(process_state* process, struct pollfd* fds, nfds_t nfds, int64_t wake_ms,
              const sigset_t* wait_mask, int lease_event) {
    int have_notify = nfds == POLL_SLOTS;
    for (;;) {
        int timeout_ms = lease_event ? 0 : hold_poll_timeout_ms(wake_ms, monotonic_ms(), have_notify);
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
            process->stop_requested = 1;
            return 0;
        }
        return ready;
    }
}

int hold_turn(daemon_state* s, int64_t now, int64_t idle_deadline) {
    lease_record lease;
    if (s->hold.armed && follow_lease(s, now, &lease) != 0) return -1;
    if (!s->hold.armed && now >= idle_deadline) return -1;
    if (hold_correcting(&s->hold) && now >= s->hold.next_correction_ms &&
        correct_node(s, now, &lease) != 0) {
        return -1;
    }
    return 0;
}

int run_hold_loop(daemon_state* s, int listen_fd) {
    hold_clear(&s->hold);
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
    int64_t health_seen_ms = s->hold.last_health_ms;

    while (!s->process.stop_requested) {
        int64_t now = monotonic_ms();
        if (hold_turn(s, now, idle_deadline) != 0) break;

        // A health record written this turn has queued its own events:
        // drain them now so that they do not even wake the wait.
        int lease_event = 0;
        if (s->hold.last_health_ms != health_seen_ms && notify_fd >= 0) {
            lease_event = dir_watch_drain(notify_fd, MAIN_PANEL_LEASE_NAME);
        }
        health_seen_ms = s->hold.last_health_ms;

        // After a failed accept the socket sits out the waits until a set
        // time, however often other events wake them meanwhile.
        int64_t wake = hold_wake_up_ms(&s->hold, idle_deadline);
        int backing_off = now < accept_retry_ms;
        fds[POLL_LISTEN].events = backing_off ? 0 : POLLIN;
        if (backing_off && accept_retry_ms < wake) wake = accept_retry_ms;

        if (hold_wait(&s->process, fds, nfds, wake, &wait_mask, lease_event) < 1) continue;
        if (fds[POLL_LISTEN].revents & POLLIN) serve_connection(s, listen_fd, &accept_retry_ms);
    }

    int released = release_at_end(s);
    write_health_record(&s->hold, s->counters.last_error, 0);
    if (notify_fd >= 0) close(notify_fd);
    close(listen_fd);
    return released;
}
