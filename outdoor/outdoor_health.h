// The outdoor health record: one JSON line saying whether a boost is in
// force, from which base to which target, and why it was last written.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "outdoor/boost.h"

enum { OUTDOOR_HEALTH_SIZE = 400 };

// The JSON line; its length or -1 when it does not fit. Pure.
int format_outdoor_health(char* buf, size_t size, int pid, const boost_state* state,
                          const char* reason, int64_t uptime_ms);

// Replaces the record atomically; failures are silent.
void write_outdoor_health(const boost_state* state, const char* reason);
