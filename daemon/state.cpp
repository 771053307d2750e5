#include "daemon/state.h"

#include <string.h>

daemon_state g_daemon = {
    .max_path = {}, .maximum = 0, .node_path = {}, .canonical_path = {},
    .session = {}, .lease_pid = 0, .target = 0, .armed = 0, .paused = 0,
    .lease_deadline_ms = 0, .stop_requested = 0, .next_correction_ms = 0,
    .last_health_ms = 0, .last_error = 0, .corrections = 0,
    .last_correction_log_ms = 0, .boot_id = {}, .node_dev = 0, .node_ino = 0,
    .write_attempts = 0, .write_successes = 0, .held_fd = -1, .lock_fd = -1,
    .saved_mode = -1,
};

void reset_daemon_state(void) {
    memset(&g_daemon, 0, sizeof g_daemon);
    g_daemon.held_fd = -1;
    g_daemon.lock_fd = -1;
    g_daemon.saved_mode = -1;
}

void clear_hold(void) {
    g_daemon.session[0] = '\0';
    g_daemon.lease_pid = 0;
    g_daemon.armed = 0;
    g_daemon.paused = 0;
    g_daemon.lease_deadline_ms = 0;
    g_daemon.target = -1;
}
