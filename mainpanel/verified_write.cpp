#include "mainpanel/verified_write.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "mainpanel/lease.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "node/write_guard.h"

static int fail_verified_write(hold_counters* counters, int code) {
    counters->last_error = code;
    return -1;
}

static int fallback_code(void) {
    return errno != 0 ? errno : EIO;
}

static int lease_names_hold(const lease_record* lease, const hold_state* hold) {
    return lease->pid == hold->lease_pid && strcmp(lease->session, hold->session) == 0;
}

int verified_write(daemon_state* s, int32_t value, const lease_record* lease, int checked_value) {
    hold_counters* counters = &s->counters;
    lease_record read_now;
    if (lease == nullptr) {
        lease = read_main_panel_lease(s->node.maximum, &read_now) ? &read_now : nullptr;
    }
    if (lease == nullptr || !lease_names_hold(lease, &s->hold)) {
        return fail_verified_write(counters, ECANCELED);
    }
    // The identity is checked, and the node read, through one descriptor.
    int current = checked_value;
    if (current < 0) {
        current = read_node_checked(&s->node);
        if (current < 0 && errno == ESTALE) return fail_verified_write(counters, ESTALE);
    }
    if (lease->active == 0 || lease->target != value) return 1;
    if (current < 1) return 1;  // unreadable or panel off

    counters->write_attempts++;
    errno = 0;
    if (arm_write_guard(&s->guard, &s->node, s->process.boot_id) != 0) {
        return fail_verified_write(counters, fallback_code());
    }

    // Arming may have just changed the node's mode: a lease withdrawn in the
    // meantime must find the node restored and unwritten.
    lease_record again;
    if (!read_main_panel_lease(s->node.maximum, &again) || again.active == 0 ||
        again.target != value || !lease_names_hold(&again, &s->hold)) {
        release_write_guard(&s->guard, s->process.boot_id);
        return 1;
    }

    char text[VALUE_TEXT_SIZE];
    int len = snprintf(text, sizeof text, "%d", static_cast<int>(value));
    errno = 0;
    if (lseek(s->guard.held_fd, 0, SEEK_SET) != 0) return fail_verified_write(counters, fallback_code());
    errno = 0;
    ssize_t written = write(s->guard.held_fd, text, static_cast<size_t>(len));
    if (written != len) return fail_verified_write(counters, fallback_code());

    // A write raises a change event, on which the device manager may give
    // the node its write bits back.
    enforce_guard_mode(&s->guard);

    if (read_sysfs_value(s->node.node_path) != value) return fail_verified_write(counters, ERANGE);
    counters->write_successes++;
    counters->last_error = 0;
    return 0;
}
