// Brightness values as sysfs texts, and the verified write through the
// write guard with read-back.
#pragma once
#include <stddef.h>

enum { SYSFS_VALUE_MAX = 65535, SYSFS_READ_SIZE = 32, VALUE_TEXT_SIZE = 24 };

// Parses len bytes of value text the way the kernel prints it: optional
// leading white space and sign, decimal digits, then only " \t\n\r".
// Returns the value in 0..65535, or -1 (errno 0, or ERANGE on 64-bit
// overflow). Pure.
int parse_sysfs_value(const char* text, size_t len);

// One read of at most 31 bytes of path (no final symbolic link followed);
// the value, or -1.
int read_sysfs_value(const char* path);

// Writes value through the armed write guard and reads it back, after
// checking that the lease still names the held session, pid and value.
// 0 written and read back equal; 1 declined (nothing written); -1 failed
// with g_daemon.last_error set.
int verified_write(int value);
