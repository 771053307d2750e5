// The one process-wide record of main-panel mode. Outdoor mode uses only
// the node fields and the stop flag. It has static lifetime and is reached
// directly; text fields are always NUL-terminated.
#pragma once
#include <signal.h>
#include <stdint.h>

enum {
    NODE_PATH_SIZE = 256,       // at most 255 bytes
    CANONICAL_PATH_SIZE = 768,  // at most 767 bytes
    SESSION_MAX = 80,
    SESSION_SIZE = SESSION_MAX + 1,
    BOOT_ID_SIZE = 40,
    BOOT_ID_LENGTH = 36,
};

struct daemon_state {
    char max_path[NODE_PATH_SIZE];
    int32_t maximum;
    char node_path[NODE_PATH_SIZE];
    char canonical_path[CANONICAL_PATH_SIZE];
    char session[SESSION_SIZE];
    int32_t lease_pid;
    int32_t target;
    int32_t armed;
    int32_t paused;
    int64_t lease_deadline_ms;
    volatile sig_atomic_t stop_requested;
    int64_t next_correction_ms;
    int64_t last_health_ms;
    int32_t last_error;
    int32_t corrections;
    int64_t last_correction_log_ms;
    char boot_id[BOOT_ID_SIZE];
    uint64_t node_dev;
    uint64_t node_ino;
    int32_t write_attempts;
    int32_t write_successes;
    int32_t held_fd;
    int32_t lock_fd;
    int32_t saved_mode;
};

extern daemon_state g_daemon;

// Puts every field back to its process-start value (tests reuse the record).
void reset_daemon_state(void);

// Empty session, lease_pid 0, armed and paused 0, deadline 0, target -1.
void clear_hold(void);
