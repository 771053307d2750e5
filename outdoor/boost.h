// Outdoor mode's boost decision and the node write that carries it out.
#pragma once
#include <stdint.h>

#include "outdoor/outdoor_lease.h"
#include "process/state.h"

enum {
    BOOST_STABLE_MS = 500,  // a node value this old becomes the base
    PERMILLE = 1000,
};

struct boost_state {
    int32_t owner_pid;
    int32_t base;
    int32_t target;
    int32_t held;
    int32_t inhibited;
    int32_t candidate_value;
    int64_t candidate_since_ms;
};

// Decides this turn's write: -1 to leave the node alone, or a value >= 0 to
// write now. lease is null when the turn has no system lease. Pure.
int32_t decide_boost(boost_state* state, const outdoor_lease_record* lease, int32_t current,
                     int32_t maximum, int panel_busy, int64_t now_ms);

// Writes value to the node while it still shows expected, holding the
// main-panel lock for the whole write, and reads it back. 0 written and
// read back; 1 not attempted (the lock is busy, the maximum or the node
// changed); -1 failed.
int32_t write_outdoor_value(const node_identity* node, int32_t expected, int32_t value);
