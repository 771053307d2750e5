#include "mainpanel/lease.h"

#include <string.h>

#include "common/clock.h"
#include "common/scan.h"
#include "common/trusted_file.h"
#include "common/unique_fd.h"

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

int read_main_panel_lease(lease_record* out) {
    unique_fd fd(open_trusted_file(MAIN_PANEL_LEASE_PATH, SYSTEM_UID));
    if (!fd.ok()) return 0;
    char buf[LEASE_READ_SIZE];
    ssize_t n = read_once(fd.get(), buf, sizeof buf);
    fd.reset();
    if (n < 1) return 0;
    int32_t maximum = g_daemon.maximum;
    return parse_main_panel_lease(buf, monotonic_ms(), maximum, out);
}

int lease_matches_request(const char* session, int32_t pid, lease_record* out) {
    if (!read_main_panel_lease(out)) return 0;
    return strcmp(out->session, session) == 0 && out->pid == pid;
}

int accept_set_value(const char* session, int32_t value, int32_t maximum, int64_t now_ms) {
    if (!g_daemon.armed) return 0;
    if (now_ms >= g_daemon.lease_deadline_ms) return 0;
    if (g_daemon.paused) return 0;
    if (strcmp(session, g_daemon.session) != 0) return 0;
    if (value > maximum || value < HELD_VALUE_MIN) return 0;
    g_daemon.target = value;
    return 1;
}
