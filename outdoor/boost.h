// Outdoor mode's boost decision: what to write on the node this turn, if
// anything. Pure; the write itself is outdoor_write.h's.
#pragma once
#include <stdint.h>

#include "outdoor/outdoor_lease.h"

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
