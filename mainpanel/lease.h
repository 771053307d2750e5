// The main-panel lease: the client's standing grant for a hold, one line
// "session pid deadline_ms active target" written by the system user.
#pragma once
#include <stdint.h>

#include "daemon/state.h"

#define MAIN_PANEL_LEASE_NAME "veltaris-main-panel-lease"
#define MAIN_PANEL_LEASE_PATH "/data/system/" MAIN_PANEL_LEASE_NAME

enum {
    SYSTEM_UID = 1000,
    LEASE_READ_SIZE = 160,       // at most 159 bytes are examined
    LEASE_MAX_AHEAD_MS = 8000,
    HELD_VALUE_MIN = 10,
};

struct lease_record {
    char session[SESSION_SIZE];
    int32_t pid;
    int32_t active;
    int32_t target;
    int64_t deadline_ms;
};

// Judges lease text against now_ms and maximum. Fills *out and returns 1
// when it is a valid lease; returns 0 and leaves *out untouched otherwise.
// Pure.
int parse_main_panel_lease(const char* text, int64_t now_ms, int32_t maximum,
                           lease_record* out);

// Reads and judges the lease file; 1 with *out filled, else 0.
int read_main_panel_lease(lease_record* out);

int is_valid_session_token(const char* text);

// Reads the lease into *out; 1 when valid and naming session and pid.
int lease_matches_request(const char* session, int32_t pid, lease_record* out);

// Decides against g_daemon whether value may be held for session at now_ms;
// stores it in g_daemon.target and returns 1 when it may.
int accept_set_value(const char* session, int32_t value, int32_t maximum, int64_t now_ms);
