// The loop of outdoor mode: a turn per change in the lease directory (or
// at a held lease's deadline) that reads the lease and the node, decides
// and writes, and reports through the outdoor health record.
#pragma once
#include <signal.h>
#include <stdint.h>

#include "outdoor/outdoor_lease.h"

// How long the loop may sleep after a turn that saw lease (null when the
// turn had no system lease): until its deadline while it holds a boost,
// otherwise without a limit (-1). Pure.
int64_t outdoor_wait_timeout_ms(const outdoor_lease_record* lease, int64_t now_ms);

// Sleeps until the lease directory changes (notify_fd), a stop signal
// arrives or, when timeout_ms is not negative, that many milliseconds
// pass; wait_mask is the signal mask during the wait, which lets the stop
// signals in. A stop signal that was already pending when the directory
// changed sets the stop flag before this returns.
void outdoor_wait(int notify_fd, int64_t timeout_ms, const sigset_t* wait_mask);

// Runs outdoor mode until it ends; returns the exit code (7 when the
// change notification cannot be set up, else 0). lock_fd is the outdoor
// lock, closed on the way out.
int run_outdoor_loop(int32_t maximum, int lock_fd);
