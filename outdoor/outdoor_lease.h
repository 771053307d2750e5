// The outdoor lease "v1|v2 pid deadline_ms value held", written by
// system_server to ask for a boost.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "process/protocol.h"

enum { CMDLINE_READ_SIZE = 64 };

struct outdoor_lease_record {
    int32_t pid;
    int32_t held;
    int32_t ratio_permille;
    int32_t is_v2;
    int32_t level;
    int64_t deadline_ms;
};

// Judges len bytes of lease text at now_ms; 1 with *out filled, or 0 with
// *out untouched. Pure.
int parse_outdoor_lease(const char* text, size_t len, int64_t now_ms,
                        outdoor_lease_record* out);

int read_outdoor_lease(outdoor_lease_record* out);

// 1 when len bytes of /proc/PID/cmdline start with "system_server\0". Pure.
int cmdline_is_system_server(const char* cmdline, size_t len);
int is_system_server(int32_t pid);
