#include "outdoor/outdoor_lease.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/scan.h"
#include "common/small_file.h"

enum {
    // A full read buffer means the file may be longer than we looked at, so
    // the longest acceptable text is one byte shorter than a full read.
    OUTDOOR_LEASE_MAX_LEN = OUTDOOR_LEASE_READ_SIZE - 2,
    LEASE_VERSION_WIDTH = 2,
    LEASE_FIELD_COUNT = 5,
    V2_FULL_RATIO = 1000,
    CMDLINE_PATH_SIZE = 64,
};

static const char kSystemServerArg0[] = "system_server";  // compared with its NUL

// Scans "version pid deadline value held" and probes for anything after
// them. Returns how many fields were converted, counting a sixth for any
// non-blank byte that follows, the way a formatted scan with a trailing
// " %c" would.
static int scan_lease_fields(const char* text, char* version, int32_t* pid,
                             int64_t* deadline_ms, int32_t* value, int32_t* held) {
    const char* p = text;
    char extra;
    if (!scan_word(&p, version, LEASE_VERSION_WIDTH)) return 0;
    if (!scan_i32(&p, pid)) return 1;
    if (!scan_i64(&p, deadline_ms)) return 2;
    if (!scan_i32(&p, value)) return 3;
    if (!scan_i32(&p, held)) return 4;
    if (!scan_char(&p, &extra)) return 5;
    return 6;
}

int parse_outdoor_lease(const char* text, size_t len, int64_t now_ms,
                        outdoor_lease_record* out) {
    if (len < 1 || len > OUTDOOR_LEASE_MAX_LEN) return 0;

    // The scanners stop at a NUL; the caller's text need not carry one.
    char buf[OUTDOOR_LEASE_READ_SIZE];
    memcpy(buf, text, len);
    buf[len] = '\0';

    // Exactly one blank after the version: "v1\t" or "v10" are not leases.
    if (len < 3 || buf[0] != 'v' || (buf[1] != '1' && buf[1] != '2') || buf[2] != ' ') return 0;

    char version[LEASE_VERSION_WIDTH + 1];
    int32_t pid = 0;
    int64_t deadline_ms = 0;
    int32_t value = 0;
    int32_t held = 0;
    if (scan_lease_fields(buf, version, &pid, &deadline_ms, &value, &held) != LEASE_FIELD_COUNT)
        return 0;

    if (pid < 1) return 0;
    // The difference is taken unsigned once the deadline is known to lie
    // ahead, so an absurd deadline cannot overflow the subtraction.
    if (deadline_ms <= now_ms) return 0;
    if (static_cast<uint64_t>(deadline_ms) - static_cast<uint64_t>(now_ms) >
        static_cast<uint64_t>(OUTDOOR_LEASE_MAX_AHEAD_MS))
        return 0;
    if (held != 0 && held != 1) return 0;

    int32_t ratio_permille;
    int32_t is_v2;
    int32_t level;
    if (strcmp(version, "v2") == 0) {
        // 0 asks for the maximum; anything else is an absolute level that
        // must be one a boost could actually start from.
        if (value != 0 && (value < OUTDOOR_V2_LEVEL_MIN || value > OUTDOOR_V2_LEVEL_MAX)) return 0;
        ratio_permille = V2_FULL_RATIO;
        is_v2 = 1;
        level = value;
    } else if (strcmp(version, "v1") == 0) {
        if (value < 0 || value > OUTDOOR_V1_RATIO_MAX) return 0;
        ratio_permille = value;
        is_v2 = 0;
        level = 0;
    } else {
        return 0;
    }

    out->pid = pid;
    out->held = held;
    out->ratio_permille = ratio_permille;
    out->is_v2 = is_v2;
    out->level = level;
    out->deadline_ms = deadline_ms;
    return 1;
}

int read_outdoor_lease(outdoor_lease_record* out) {
    // The lease directory belongs to the system user, so the file must too,
    // and it must not be a link, a FIFO or readable by anyone else.
    char buf[OUTDOOR_LEASE_READ_SIZE];
    ssize_t n = read_small_file(OUTDOOR_LEASE_PATH, O_NOFOLLOW | O_NONBLOCK, SYSTEM_UID, buf,
                                sizeof buf);
    if (n < 1) return 0;
    // The clock is read after the file so that a slow read cannot make an
    // expired deadline look current.
    int64_t now_ms = monotonic_ms();
    return parse_outdoor_lease(buf, static_cast<size_t>(n), now_ms, out);
}

int cmdline_is_system_server(const char* cmdline, size_t len) {
    if (len < sizeof kSystemServerArg0) return 0;
    return memcmp(cmdline, kSystemServerArg0, sizeof kSystemServerArg0) == 0 ? 1 : 0;
}

int is_system_server(int32_t pid) {
    char path[CMDLINE_PATH_SIZE];
    int plen = snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    if (plen < 1 || static_cast<size_t>(plen) >= sizeof path) return 0;
    char buf[CMDLINE_READ_SIZE];
    ssize_t n = read_small_file(path, 0, SMALL_FILE_ANY_OWNER, buf, sizeof buf);
    if (n < 1) return 0;
    // The reader leaves at least one zero byte after what it read. A
    // process that rewrote its title may end its first element there rather
    // than with its own NUL, so that byte counts as the terminator.
    return cmdline_is_system_server(buf, static_cast<size_t>(n) + 1);
}
