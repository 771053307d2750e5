#include "outdoor/boost.h"

#include <stdio.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "process/environment.h"

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
    // The main-panel lock's holder owns the node for now: write nothing,
    // and keep the boost, so that its base is not lost to a holder that
    // never touches the node (a recovery run, a start that fails). A node
    // that moved from our target is the other writer's, as during a boost
    // below; one still at it stays ours for when the lock is free. A value
    // being timed was not ours to watch meanwhile: its timing starts again.
    if (panel_busy) {
        if (state->held && current != state->target) {
            state->held = 0;
            state->inhibited = 1;
        } else if (!state->held && !state->inhibited) {
            state->candidate_since_ms = 0;
        }
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

int32_t write_outdoor_value(const node_identity* node, int32_t expected, int32_t value) {
    // The main-panel lock is held for the whole write, so a main-panel
    // daemon cannot start in the middle of it.
    unique_fd panel_lock(take_main_panel_lock());
    if (!panel_lock.ok()) return 1;
    if (value < 0) return 1;

    int maximum = read_sysfs_value(node->max_path);
    if (maximum < 0 || maximum < value) return 1;
    if (read_sysfs_value(node->node_path) != expected) return 1;
    if (!node_identity_ok(node)) return 1;

    unique_fd fd(open_node_for_write(node));
    if (!fd.ok()) return -1;

    char text[VALUE_TEXT_SIZE];
    int len = snprintf(text, sizeof text, "%d", static_cast<int>(value));
    if (len < 1 || static_cast<size_t>(len) >= sizeof text) return -1;

    // Last look before writing: a value that moved since the checks above
    // belongs to another writer and must not be overwritten.
    if (read_sysfs_value(node->node_path) != expected) return -1;

    ssize_t written = write(fd.get(), text, static_cast<size_t>(len));
    if (written != static_cast<ssize_t>(len)) return -1;

    return read_sysfs_value(node->node_path) == value ? 0 : -1;
}
