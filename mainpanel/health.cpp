#include "mainpanel/health.h"

#include <stdio.h>

#include "common/atomic_file.h"
#include "common/clock.h"

int format_health_record(char* buf, size_t size, const char* session, int holding,
                         int last_error, int64_t now_ms) {
    int n = snprintf(buf, size, "%s %d %d %lld\n", session, holding, last_error,
                     static_cast<long long>(now_ms));
    if (n < 1 || static_cast<size_t>(n) >= size) return -1;
    return n;
}

int write_health_record(hold_state* hold, int32_t last_error, int holding) {
    int64_t now = monotonic_ms();
    char line[HEALTH_LINE_SIZE];
    int len = format_health_record(line, sizeof line, hold->session, holding, last_error, now);
    if (len < 0) return -1;
    if (replace_file_atomically(MAIN_PANEL_HEALTH_TMP_PATH, MAIN_PANEL_HEALTH_PATH, line,
                                static_cast<size_t>(len), ATOMIC_SET_MODE_0644) != 0) {
        return -1;
    }
    hold->last_health_ms = now;
    return 0;
}
