// The hold loop of main-panel mode: follows the lease, heartbeats, reads
// the node back and corrects it, and serves the control socket, until the
// hold ends.
#pragma once
#include <poll.h>
#include <signal.h>
#include <stdint.h>

enum {
    IDLE_LIMIT_MS = 10000,
    HEALTH_PERIOD_MS = 2000,
    CORRECTION_PERIOD_MS = 250,
    POLL_CAP_WITHOUT_NOTIFY_MS = 250,
    // After a failed accept4 (say, out of descriptors) the pending
    // connection keeps the socket ready; it is left out of the waits for
    // this long so that the loop does not spin on it.
    ACCEPT_BACKOFF_MS = 250,
    CORRECTION_LINE_INTERVAL_MS = 30000,
    CORRECTION_LINES_FREE = 8,
};

#define LEASE_DIR "/data/system"

// The wait's fixed slots: the listening socket, and the lease directory's
// watch when there is one.
enum { POLL_LISTEN = 0, POLL_NOTIFY = 1, POLL_SLOTS = 2 };

// What the loop's timing depends on; a view of the daemon state so that
// the timing rules can be checked with a given clock.
struct hold_timing {
    int32_t armed;
    int32_t paused;
    int32_t target;
    int64_t lease_deadline_ms;
    int64_t last_health_ms;
    int64_t next_correction_ms;
};

// The time a loop started at loop_start_ms ends unless it is armed.
int64_t idle_deadline_ms(int64_t loop_start_ms);
// 1 when the heartbeat is due at now_ms.
int health_due(int64_t now_ms, int64_t last_health_ms);
// 1 while the node is read back and corrected.
int hold_correcting(const hold_timing* t);
// When the loop must wake up at the latest: the idle deadline while not
// armed; otherwise the nearest of the lease deadline, the heartbeat and,
// while correcting, the next correction.
int64_t hold_wake_up_ms(const hold_timing* t, int64_t idle_deadline_ms);
// 1 when a correction that makes the count count_before + 1 is printed.
int correction_line_due(int32_t count_before, int64_t now_ms, int64_t last_line_ms);

// Waits until wake_ms, a connection or a change of the lease. Events about
// other files in the lease directory are drained and the wait goes on.
// lease_event says that a lease event was already drained before the
// wait: it then only looks for a pending connection and returns. Returns
// what the last ppoll returned; 0 also when a stop signal is pending, with
// the stop flag set, so that the turn does nothing before the loop ends.
int hold_wait(struct pollfd* fds, nfds_t nfds, int64_t wake_ms, const sigset_t* wait_mask,
              int lease_event);

// Runs the hold until it ends, then releases the guard, writes the final
// health record and closes listen_fd.
void run_hold_loop(int listen_fd);
