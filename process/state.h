// The one process-wide record of main-panel mode, of static lifetime, made
// of sub-records that functions take one by one: the node's identity, the
// hold, the write guard, the counters and the process's own fields.
// Outdoor mode uses only the node's identity and the stop flag. Text
// fields are always NUL-terminated.
#pragma once
#include <signal.h>
#include <stdint.h>

#include "process/protocol.h"

// The node, captured once at start-up and only read afterwards.
struct node_identity {
    char node_path[NODE_PATH_SIZE];            // as given after --node
    char canonical_path[CANONICAL_PATH_SIZE];  // its real path, under /sys/devices/
    char max_path[NODE_PATH_SIZE];             // its max_brightness sibling
    uint64_t node_dev;
    uint64_t node_ino;
    int32_t maximum;  // read at main-panel start-up; outdoor mode keeps its own
};

// The hold the client armed, as the lease and the requests move it, and
// its timers.
struct hold_state {
    char session[SESSION_SIZE];  // empty when no hold is armed
    int32_t lease_pid;
    int32_t target;  // -1: none
    int32_t armed;
    int32_t paused;
    int64_t lease_deadline_ms;
    int64_t next_correction_ms;
    int64_t last_health_ms;  // the last health record written
    int64_t last_correction_log_ms;
};

// The write guard: the node's descriptor while its write bits are off, and
// the bits it had.
struct guard_state {
    int32_t held_fd;        // -1 when disarmed
    int32_t saved_mode;     // -1 once a release has put the bits back
    int32_t release_errno;  // why the last release that put nothing back failed; 0 when none did
};

// What the hold has done; never reset while the process lives.
struct hold_counters {
    int32_t write_attempts;
    int32_t write_successes;
    int32_t corrections;
    int32_t last_error;  // an errno value, 0 after a good verified write
};

struct process_state {
    volatile sig_atomic_t stop_requested;  // set once, by a signal or a terminating request
    int32_t lock_fd;                       // the main-panel lock, held for life
    char boot_id[BOOT_ID_SIZE];
};

struct daemon_state {
    node_identity node;
    hold_state hold;
    guard_state guard;
    hold_counters counters;
    process_state process;
};

extern daemon_state g_daemon;

// Puts every field of s back to its process-start value (tests reuse
// records).
void reset_daemon_state(daemon_state* s);
