#include "mainpanel/lease.h"

#include <fcntl.h>
#include <string.h>

#include "common/clock.h"
#include "common/scan.h"
#include "common/small_file.h"

int is_valid_session_token(const char* text) {
    size_t len = strnlen(text, SESSION_MAX + 1);
    if (len < 1 || len > SESSION_MAX) return 0;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-')) {
            return 0;
        }
    }
    return 1;
}

int parse_main_panel_lease(const char* text, int64_t now_ms, int32_t maximum,
                           lease_record* out) {
    lease_record rec = {};
    const char* p = text;
    char spare;
    if (!scan_word(&p, rec.session, SESSION_MAX) || !scan_i32(&p, &rec.pid) ||
        !scan_i64(&p, &rec.deadline_ms) || !scan_i32(&p, &rec.active) ||
        !scan_i32(&p, &rec.target) || scan_char(&p, &spare)) {
        return 0;
    }
    if (!is_valid_session_token(rec.session)) return 0;
    if (rec.pid < 1) return 0;
    if (static_cast<uint32_t>(rec.active) > 1) return 0;
    if (rec.target < HELD_VALUE_MIN || rec.target > maximum) return 0;
    // Subtract only when it cannot overflow: deadlines are client-written.
    if (rec.deadline_ms <= now_ms || rec.deadline_ms - now_ms > LEASE_MAX_AHEAD_MS) return 0;
    *out = rec;
    return 1;
}

int judge_main_panel_lease_read(const char* text, size_t len, int64_t now_ms, int32_t maximum,
                                lease_record* out) {
    if (len < 1 || len >= LEASE_READ_SIZE - 1) return 0;
    return parse_main_panel_lease(text, now_ms, maximum, out);
}

int read_main_panel_lease(int32_t maximum, lease_record* out) {
    // The system user's file, not readable by others; a FIFO planted in the
    // lease directory must not block the open.
    char buf[LEASE_READ_SIZE];
    ssize_t n = read_small_file(MAIN_PANEL_LEASE_PATH, O_NOFOLLOW | O_NONBLOCK, SYSTEM_UID, buf,
                                sizeof buf);
    if (n < 1) return 0;
    // The clock is read after the file, so a slow read cannot make an
    // expired deadline look current.
    return judge_main_panel_lease_read(buf, static_cast<size_t>(n), monotonic_ms(), maximum, out);
}

int lease_matches_request(const char* session, int32_t pid, int32_t maximum, lease_record* out) {
    if (!read_main_panel_lease(maximum, out)) return 0;
    return strcmp(out->session, session) == 0 && out->pid == pid;
}
