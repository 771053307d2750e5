// The hold's write: the target written through the armed write guard and
// read back, after checking that the lease still names the held session,
// pid and value, and again after arming.
#pragma once
#include <stdint.h>

#include "process/state.h"

// 0 written and read back equal; 1 declined (the lease no longer asks for
// value, or the node reads 0 or cannot be read: nothing written); -1 failed
// with s->counters.last_error set. Counts attempts and successes.
int verified_write(daemon_state* s, int32_t value);
