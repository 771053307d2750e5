// Brightness values as the kernel prints them in sysfs files.
#pragma once
#include <stddef.h>

// Parses len bytes of value text the way the kernel prints it: optional
// leading white space and sign, decimal digits, then only " \t\n\r".
// Returns the value in 0..65535, or -1 (errno 0, or ERANGE on 64-bit
// overflow). Pure.
int parse_sysfs_value(const char* text, size_t len);

// One read of at most 31 bytes of path (no final symbolic link followed);
// the value, or -1.
int read_sysfs_value(const char* path);
