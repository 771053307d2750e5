// The main-panel lease: the client's standing grant for a hold, one line
// "session pid deadline_ms active target" written by the system user.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "process/protocol.h"

struct lease_record {
    char session[SESSION_SIZE];
    int32_t pid;
    int32_t active;  // 1 hold, 0 paused
    int32_t target;
    int64_t deadline_ms;
};

// Judges lease text against now_ms and the node's maximum. Fills *out and
// returns 1 when it is a valid lease; returns 0 and leaves *out untouched
// otherwise. Pure.
int parse_main_panel_lease(const char* text, int64_t now_ms, int32_t maximum, lease_record* out);

// Judges what one read of the lease file gave: len bytes of text (NUL
// terminated), read into a buffer of LEASE_READ_SIZE. A read that filled
// the buffer may have cut the file, and a number cut short reads as
// another valid one: that is no lease. Otherwise as parse_main_panel_lease.
// Pure.
int judge_main_panel_lease_read(const char* text, size_t len, int64_t now_ms, int32_t maximum,
                                lease_record* out);

// Reads and judges the lease file; 1 with *out filled, else 0.
int read_main_panel_lease(int32_t maximum, lease_record* out);

// 1 when text is 1 to 80 of A-Z a-z 0-9 _ -.
int is_valid_session_token(const char* text);

// Reads the lease into *out; 1 when it is valid and names session and pid.
int lease_matches_request(const char* session, int32_t pid, int32_t maximum, lease_record* out);
