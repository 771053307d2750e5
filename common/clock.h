// Monotonic milliseconds: the one clock of the system. Lease deadlines,
// health time stamps and every timer are on it.
#pragma once
#include <stdint.h>

// CLOCK_MONOTONIC as seconds * 1000 + nanoseconds / 1000000.
int64_t monotonic_ms(void);
