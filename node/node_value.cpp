#include "node/node_value.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/trusted_file.h"
#include "common/unique_fd.h"
#include "daemon/state.h"
#include "mainpanel/lease.h"
#include "node/node_policy.h"
#include "node/write_guard.h"

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
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) return -1;
    char buf[SYSFS_READ_SIZE];
    ssize_t n = read_once(fd.get(), buf, sizeof buf);
    fd.reset();
    if (n < 1) return -1;
    return parse_sysfs_value(buf, static_cast<size_t>(n));
}

static int fail_verified_write(int code) {
    g_daemon.last_error = code;
    return -1;
}

static int fallback_code(void) {
    return errno != 0 ? errno : EIO;
}

static int lease_names_hold(const lease_record* lease) {
    return lease->pid == g_daemon.lease_pid && strcmp(lease->session, g_daemon.session) == 0;
}

int verified_write(int value) {
    lease_record lease;
    if (!read_main_panel_lease(&lease) || !lease_names_hold(&lease)) {
        return fail_verified_write(ECANCELED);
    }
    if (!node_identity_ok()) return fail_verified_write(ESTALE);
    if (lease.active == 0 || lease.target != value) return 1;
    if (read_sysfs_value(g_daemon.node_path) < 1) return 1;  // unreadable or panel off

    g_daemon.write_attempts++;
    errno = 0;
    if (arm_write_guard() != 0) return fail_verified_write(fallback_code());

    // Arming may have just changed the node's mode: a lease withdrawn in the
    // meantime must find the node restored and unwritten.
    lease_record again;
    if (!read_main_panel_lease(&again) || again.active == 0 || again.target != value ||
        !lease_names_hold(&again)) {
        release_write_guard();
        return 1;
    }

    char text[VALUE_TEXT_SIZE];
    int len = snprintf(text, sizeof text, "%d", value);
    errno = 0;
    if (lseek(g_daemon.held_fd, 0, SEEK_SET) != 0) return fail_verified_write(fallback_code());
    errno = 0;
    ssize_t written = write(g_daemon.held_fd, text, static_cast<size_t>(len));
    if (written != len) return fail_verified_write(fallback_code());

    // A write raises a change event, on which the device manager may give
    // the node its write bits back.
    enforce_guard_mode();

    if (read_sysfs_value(g_daemon.node_path) != value) return fail_verified_write(ERANGE);
    g_daemon.write_successes++;
    g_daemon.last_error = 0;
    return 0;
}
