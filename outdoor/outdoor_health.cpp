#include "outdoor/outdoor_health.h"

#include <stdio.h>
#include <unistd.h>

#include "common/atomic_file.h"
#include "common/clock.h"
#include "common/json.h"

int format_outdoor_health(char* buf, size_t size, int pid, const boost_state* state,
                          const char* reason, int64_t uptime_ms) {
    int len = snprintf(buf, size,
                       "{\"pid\":%d,\"held\":%s,\"inhibited\":%s,\"base\":%d,\"target\":%d,"
                       "\"reason\":\"%s\",\"uptime_ms\":%lld}\n",
                       pid, json_bool(state->held), json_bool(state->inhibited),
                       static_cast<int>(state->base), static_cast<int>(state->target), reason,
                       static_cast<long long>(uptime_ms));
    // A truncated line would be malformed JSON; refuse it instead.
    if (len < 1 || static_cast<size_t>(len) >= size) return -1;
    return len;
}

void write_outdoor_health(const boost_state* state, const char* reason) {
    char line[OUTDOOR_HEALTH_SIZE];
    // The line is made before anything on disk is touched, so a line that
    // does not fit leaves the previous record and no temporary file.
    int len = format_outdoor_health(line, sizeof line, static_cast<int>(getpid()), state,
                                    reason, monotonic_ms());
    if (len < 0) return;
    // Nobody acts on a failed record: the previous one simply stays.
    (void)replace_file_atomically(OUTDOOR_HEALTH_TMP_PATH, OUTDOOR_HEALTH_PATH, line,
                                  static_cast<size_t>(len), ATOMIC_KEEP_MODE);
}
