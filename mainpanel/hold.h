// The hold's transitions, in one place: cleared at the loop's start, by
// STOP and by a failed SET; armed by ARM; its target set by SET; and
// following the lease on every armed turn.
#pragma once
#include <stdint.h>

#include "mainpanel/lease.h"
#include "process/state.h"

// Empty session, lease_pid 0, armed and paused 0, deadline 0, target -1;
// the timers keep their values.
void hold_clear(hold_state* hold);

// An accepted ARM: the session and pid of the request, the lease's
// deadline, armed and not paused. The target is left as it was.
void hold_arm(hold_state* hold, const char* session, int32_t pid, int64_t deadline_ms);

// Decides whether SET may hold value for session at now_ms: armed, before
// the deadline, not paused, the same session, and 10..maximum. When it
// may, value becomes the target and the result is 1; otherwise 0 and
// nothing changes.
int accept_set_value(hold_state* hold, const char* session, int32_t value, int32_t maximum,
                     int64_t now_ms);

// Takes the session, deadline, target and pause state from the lease.
// Returns 1 when the session or the pause state changed.
int hold_follow(hold_state* hold, const lease_record* lease);
