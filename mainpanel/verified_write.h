// The hold's write: the target written through the armed write guard and
// read back, after checking that the lease still names the held session,
// pid and value, and again after arming.
#pragma once
#include <stdint.h>

#include "mainpanel/lease.h"
#include "process/state.h"

// 0 written and read back equal; 1 declined (the lease no longer asks for
// value, or the node reads 0 or cannot be read: nothing written); -1 failed
// with s->counters.last_error set. Counts attempts and successes.
//
// A caller that has just read the lease, or just checked the node's
// identity and read its value, hands them over instead of having them read
// again: lease (null: read it here) and checked_value (-1: check and read
// here). The checks on them are the same; the lease is read again after
// arming whatever the caller had.
int verified_write(daemon_state* s, int32_t value, const lease_record* lease = nullptr,
                   int checked_value = -1);
