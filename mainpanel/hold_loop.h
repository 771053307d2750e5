#pragma once

enum {
    IDLE_LIMIT_MS = 10000,
    HEALTH_PERIOD_MS = 2000,
    CORRECTION_PERIOD_MS = 250,
    POLL_CAP_WITHOUT_NOTIFY_MS = 250,
    CORRECTION_LINE_INTERVAL_MS = 30000,
    CORRECTION_LINES_FREE = 8,
    NOTIFY_DRAIN_SIZE = 4096,
};

#define LEASE_DIR "/data/system"

// Runs the hold until it ends, then releases the guard, writes the final
// health record and closes listen_fd.
void run_hold_loop(int listen_fd);
