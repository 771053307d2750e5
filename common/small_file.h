// Reading the small files the daemon trusts or that other users write (its
// records, the leases, sysfs values, the boot identity, a process's command
// line): one open, an optional owner and mode check of the open
// descriptor, one read, close.
#pragma once
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

enum { SMALL_FILE_ANY_OWNER = -1 };

// Which step of read_small_file failed, for the callers that answer each
// differently.
enum small_file_step { SMALL_FILE_OPEN = 1, SMALL_FILE_CHECK, SMALL_FILE_READ };

// 1 when st describes a regular file with no group or other permission bits
// owned by owner; 0 otherwise.
int stat_is_trusted(const struct stat* st, uid_t owner);

// Opens path read-only and close-on-exec with extra_flags added (O_NOFOLLOW
// to refuse a final symbolic link; O_NONBLOCK where another user may plant
// a FIFO, which the check then refuses). Unless owner is
// SMALL_FILE_ANY_OWNER, the open descriptor must pass stat_is_trusted for
// that owner. Then one read of at most cap - 1 bytes into buf, which is
// cleared first and always NUL-terminated, and the descriptor is closed.
// Returns the count read (0 for an empty file), or -1 with errno from the
// call that failed and, when failed is not null, the step in *failed; a
// file that fails the check gives -1 and leaves errno as it was, for the
// caller to judge.
ssize_t read_small_file(const char* path, int extra_flags, int owner, char* buf, size_t cap,
                        small_file_step* failed = nullptr);
