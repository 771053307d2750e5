#include "process/state.h"

#include <string.h>

daemon_state g_daemon = {
    .node = {},
    .hold = {},
    .guard = {.held_fd = -1, .saved_mode = -1, .release_errno = 0},
    .counters = {},
    .process = {.stop_requested = 0, .lock_fd = -1, .boot_id = {}},
};

void reset_daemon_state(daemon_state* s) {
    memset(s, 0, sizeof *s);
    s->guard.held_fd = -1;
    s->guard.saved_mode = -1;
    s->process.lock_fd = -1;
}
