// Opening files that the daemon trusts or that other users write.
#pragma once
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

// 1 when st describes a regular file with no group or other permission bits
// owned by owner; 0 otherwise.
int stat_is_trusted(const struct stat* st, uid_t owner);

// Opens path read-only without following a final symbolic link and checks
// the open descriptor with stat_is_trusted. O_NONBLOCK is added because the
// lease directory is writable by the system user: a FIFO planted there must
// not block the open; the type check then refuses it. Returns the
// descriptor, or -1 with errno (EPERM when the check refuses the file).
int open_trusted_file(const char* path, uid_t owner);

// One read of at most cap - 1 bytes into buf, which is cleared first and
// always NUL-terminated. Returns the count read, or -1 with errno.
ssize_t read_once(int fd, char* buf, size_t cap);
