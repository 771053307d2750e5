// The loop of outdoor mode: a turn per change in the lease directory (or
// at a held lease's deadline) that reads the lease and the node, decides
// and writes, and reports through the outdoor health record.
#pragma once
#include <signal.h>
#include <stdint.h>
#include <time.h>

#include "outdoor/boost.h"
#include "outdoor/outdoor_lease.h"
#include "process/state.h"

// What one run of the loop carries from turn to turn.
struct outdoor_run {
    const node_identity* node;
    int32_t maximum;          // captured at start-up, fixed for the run
    boost_state state;
    const char* stop_reason;  // what the final record will say
    int panel_busy;           // the last turn found the main-panel lock taken
};

enum {
    // How often a boost kept while the main-panel lock was busy is looked
    // at again: the lock's release makes no event to wake us.
    OUTDOOR_BUSY_RECHECK_MS = 1000,
};

enum outdoor_turn_result {
    OUTDOOR_WAIT,   // sleep until the next change or the lease's deadline
    OUTDOOR_AGAIN,  // a raise was dropped because the lease changed: look again at once
    OUTDOOR_LEAVE,  // the node changed or a write failed: end the loop
};

// One turn: reads the lease (into *lease, *have_lease says whether the turn
// had a lease from system_server), probes the main-panel lock, reads the
// node, decides and writes. Reports a changed boost state.
outdoor_turn_result outdoor_turn(outdoor_run* run, outdoor_lease_record* lease, int* have_lease);

// How long the loop may sleep after a turn, -1 for no limit: until the
// deadline of a held system lease (lease, null when the turn had none),
// and at most OUTDOOR_BUSY_RECHECK_MS while the turn found the main-panel
// lock taken (panel_busy) and kept a boost (state). Pure.
int64_t outdoor_wait_timeout_ms(const outdoor_lease_record* lease, int panel_busy, const boost_state* state,
                                int64_t now_ms);

// The wait's time limit for ppoll: *ts filled from timeout_ms and returned,
// or null (no limit) when timeout_ms is negative. Pure.
const struct timespec* outdoor_wait_limit(int64_t timeout_ms, struct timespec* ts);

// Sleeps until a file is moved or deleted in the lease directory
// (notify_fd), a stop signal arrives or, when timeout_ms is not negative,
// that many milliseconds pass; wait_mask is the signal mask during the
// wait, which lets the stop signals in. The events are read once and not
// examined. A stop signal that was already pending when the directory
// changed sets *stop before this returns.
void outdoor_wait(int notify_fd, int64_t timeout_ms, const sigset_t* wait_mask,
                  volatile sig_atomic_t* stop);

// Runs outdoor mode on node until *stop is set, the node changes or a
// write fails; returns the exit code (7 when the lease directory cannot be
// watched, else 0). lock_fd is the outdoor lock, closed on the way out.
int run_outdoor_loop(const node_identity* node, int32_t maximum, int lock_fd,
                     volatile sig_atomic_t* stop);
