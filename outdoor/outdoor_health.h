#pragma once
#include <stddef.h>
#include <stdint.h>

#include "daemon/environment.h"
#include "outdoor/boost.h"

#define OUTDOOR_HEALTH_PATH PRIVATE_DIR "/outdoor-node-health.json"
#define OUTDOOR_HEALTH_TMP_PATH PRIVATE_DIR "/outdoor-node-health.json.new"

enum { OUTDOOR_HEALTH_SIZE = 400 };

// The JSON line; its length or -1 when it does not fit. Pure.
int format_outdoor_health(char* buf, size_t size, int pid, const boost_state* state,
                          const char* reason, int64_t uptime_ms);

// Replaces the record atomically; failures are silent.
void write_outdoor_health(const boost_state* state, const char* reason);
