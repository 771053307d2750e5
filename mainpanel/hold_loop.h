// The hold loop of main-panel mode: follows the lease, heartbeats, reads
// the node back and corrects it, and serves the control socket, until the
// hold ends.
#pragma once
#include <poll.h>
#include <signal.h>
#include <stdint.h>

#include "process/state.h"

// The loop's own timing; the idle limit and the health period are in the
// protocol, since the client depends on them.
enum {
    CORRECTION_PERIOD_MS = 250,
    POLL_CAP_WITHOUT_NOTIFY_MS = 250,
    // After a failed accept4 (say, out of descriptors) the pending
    // connection keeps the socket ready; it is left out of the waits for
    // this long so that the loop does not spin on it.
    ACCEPT_BACKOFF_MS = 250,
    CORRECTION_LINE_INTERVAL_MS = 30000,
    CORRECTION_LINES_FREE = 8,
};

// The wait's fixed slots: the listening socket, and the lease directory's
// watch when there is one.
enum { POLL_LISTEN = 0, POLL_NOTIFY = 1, POLL_SLOTS = 2 };

// The time a loop started at loop_start_ms ends unless it is armed.
int64_t idle_deadline_ms(int64_t loop_start_ms);
// 1 when the heartbeat is due at now_ms.
int health_due(int64_t now_ms, int64_t last_health_ms);
// 1 while the node is read back and corrected.
int hold_correcting(const hold_state* hold);
// When the loop must wake up at the latest: the idle deadline while not
// armed; otherwise the nearest of the lease deadline, the heartbeat and,
// while correcting, the next correction.
int64_t hold_wake_up_ms(const hold_state* hold, int64_t idle_deadline_ms);
// When the node is next read back, after a read-back or write at now_ms.
int64_t next_correction_at(int64_t now_ms);
// The wait's timeout from now_ms until wake_ms: 0 when already due, and
// without a watch on the lease directory at most the poll cap.
int hold_poll_timeout_ms(int64_t wake_ms, int64_t now_ms, int have_notify);
// 1 when a correction that makes the count count_before + 1 is printed.
int correction_line_due(int32_t count_before, int64_t now_ms, int64_t last_line_ms);

// Waits until wake_ms, a connection or a change of the lease. Events about
// other files in the lease directory are drained and the wait goes on.
// lease_event says that a lease event was already drained before the
// wait: it then only looks for a pending connection and returns. Returns
// what the last ppoll returned; 0 also when a stop signal is pending, with
// the stop flag set, so that the turn does nothing before the loop ends.
int hold_wait(process_state* process, struct pollfd* fds, nfds_t nfds, int64_t wake_ms,
              const sigset_t* wait_mask, int lease_event);

// One turn at now_ms: follows the lease while armed, ends an unarmed loop
// at the idle deadline, and reads back and corrects the node when due.
// Returns 0 to go on, -1 to end the hold (with last_error set where the
// node failed).
int hold_turn(daemon_state* s, int64_t now_ms, int64_t idle_deadline_ms);

// Runs the hold on s until it ends, then releases the guard, writes the
// final health record and closes listen_fd. 0, or -1 with errno when the
// release could not give the node's bits back (the record names the
// error, and a line says so).
int run_hold_loop(daemon_state* s, int listen_fd);
