#include "outdoor/boost.h"

#include "process/protocol.h"

static void clear_boost(boost_state* state) {
    *state = boost_state{};
}

static int lease_asks_for_boost(const outdoor_lease_record* lease) {
    if (lease == nullptr || lease->held != 1) return 0;
    return (lease->is_v2 || lease->ratio_permille > 0) ? 1 : 0;
}

// The value the lease wants on top of base, never above the maximum.
static int32_t desired_value(const outdoor_lease_record* lease, int32_t base, int32_t maximum) {
    int32_t desired;
    if (lease->is_v2) {
        desired = lease->level == 0 ? maximum : lease->level;
    } else {
        // A share of the distance from base to the maximum, truncated. The
        // lease limits the ratio to 1000 and a node value to 65535, so the
        // product stays far inside 32 bits.
        desired = base + (maximum - base) * lease->ratio_permille / PERMILLE;
    }
    return desired < maximum ? desired : maximum;
}

int32_t decide_boost(boost_state* state, const outdoor_lease_record* lease, int32_t current,
                     int32_t maximum, int panel_busy, int64_t now_ms) {
    // The main-panel lock's holder owns the node for now: write nothing.
    // A boost the node still shows is kept, so that its base is not lost
    // to a holder that never touches the node (a recovery run, a start
    // that fails): once the lock is free it goes on or is put back. Any
    // other state has nothing to put back: a node that left our target is
    // the other writer's, and a value being timed was not ours to watch.
    if (panel_busy) {
        if (!(state->held && current == state->target)) clear_boost(state);
        return -1;
    }

    // A lease that stops asking, or one written by a restarted system
    // process, ends the boost. The base goes back only while the node still
    // shows our target: anything else means another writer has moved it.
    if (!lease_asks_for_boost(lease) || (state->owner_pid != 0 && state->owner_pid != lease->pid)) {
        int32_t restore = (state->held && current == state->target) ? state->base : -1;
        clear_boost(state);
        return restore;
    }

    state->owner_pid = lease->pid;

    if (state->held) {
        if (current != state->target) {
            // Someone else wrote the node during the boost; step aside until
            // the lease ends or changes hands.
            state->held = 0;
            state->inhibited = 1;
            return -1;
        }
        if (state->inhibited) return -1;
    } else {
        if (state->inhibited) return -1;
        // Too dark to be a real panel value, or nothing left to boost to;
        // such readings do not disturb a candidate being timed.
        if (current < HELD_VALUE_MIN || current >= maximum) return -1;
        if (state->candidate_since_ms == 0 || state->candidate_value != current) {
            state->candidate_value = current;
            state->candidate_since_ms = now_ms;
            return -1;
        }
        // The value must have settled before it becomes the base, so that
        // a boost does not capture a value in the middle of a ramp.
        if (now_ms - state->candidate_since_ms < BOOST_STABLE_MS) return -1;
        state->base = current;
    }

    int32_t desired = desired_value(lease, state->base, maximum);
    if (desired <= state->base) {
        if (state->held) {
            // The lease now asks for nothing above the base: put it back and
            // time the node afresh before boosting again.
            state->held = 0;
            state->candidate_since_ms = 0;
            return state->base;
        }
        return -1;
    }
    if (state->held && desired == state->target) return -1;
    state->target = desired;
    state->held = 1;
    return desired;
}
