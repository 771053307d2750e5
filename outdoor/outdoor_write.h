// The outdoor node write: carries out a boost decision on the node while
// the main-panel lock keeps a main-panel daemon from starting meanwhile.
#pragma once
#include <stdint.h>

#include "process/state.h"

// Writes value to the node while it still shows expected, holding the
// main-panel lock for the whole write, and reads it back. 0 written and
// read back; 1 not attempted (the lock is busy, the maximum or the node
// changed); -1 failed.
int32_t write_outdoor_value(const node_identity* node, int32_t expected, int32_t value);
