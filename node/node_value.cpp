#include "node/node_value.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include "common/small_file.h"
#include "process/protocol.h"

int parse_sysfs_value(const char* text, size_t len) {
    // strtoll needs a terminated copy; a value text is at most 31 bytes.
    char buf[SYSFS_READ_SIZE];
    if (len == 0 || len >= sizeof buf) {
        errno = 0;
        return -1;
    }
    memcpy(buf, text, len);
    buf[len] = '\0';
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(buf, &end, 10);
    int conv_errno = errno;
    if (end == buf) return -1;  // no digit converted
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') ++end;
    // An embedded NUL counts as a byte that remains.
    if (static_cast<size_t>(end - buf) != len || conv_errno != 0 || value < 0 ||
        value > SYSFS_VALUE_MAX) {
        errno = conv_errno;
        return -1;
    }
    return static_cast<int>(value);
}

int read_sysfs_value(const char* path) {
    char buf[SYSFS_READ_SIZE];
    // O_NONBLOCK: a FIFO at a node's path fails the parse instead of
    // blocking the loop; sysfs and regular files ignore the flag.
    ssize_t n = read_small_file(path, O_NOFOLLOW | O_NONBLOCK, SMALL_FILE_ANY_OWNER, buf, sizeof buf);
    if (n < 1) return -1;
    return parse_sysfs_value(buf, static_cast<size_t>(n));
}
