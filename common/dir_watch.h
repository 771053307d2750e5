// Watching one directory for changes to one file in it: the lease
// directory, where the leases' writers replace, move away or delete them.
#pragma once
#include <stdint.h>

enum { DIR_WATCH_DRAIN_SIZE = 4096 };

// An inotify descriptor (non-blocking, close-on-exec) watching dir for
// mask; -1 with errno when either step fails (nothing is left open).
int dir_watch_open(const char* dir, uint32_t mask);

// Reads the queued events without blocking (one read when they all fit). Returns 1 when one of them
// can matter to the file called name: it names that file, or the queue
// overflowed, or the watch went away (then nothing can be trusted and the
// file must be looked at). Events about other files return 0.
int dir_watch_drain(int fd, const char* name);

// Reads the queued events once (up to DIR_WATCH_DRAIN_SIZE bytes), without
// blocking, and throws them away; any left make the next wait return.
void dir_watch_discard(int fd);
