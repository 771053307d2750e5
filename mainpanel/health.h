// The main-panel health record "session holding last_error time", the
// client's heartbeat of the hold.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "process/state.h"

enum { HEALTH_LINE_SIZE = 128 };

// The record line; its length, or -1 when it would not fit. Pure.
int format_health_record(char* buf, size_t size, const char* session, int holding,
                         int last_error, int64_t now_ms);

// Replaces the record atomically with hold's session, the holding flag and
// last_error; on success sets hold->last_health_ms. 0, or -1 with errno.
int write_health_record(hold_state* hold, int32_t last_error, int holding);
