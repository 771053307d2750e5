#include "mainpanel/hold.h"

#include <stdio.h>
#include <string.h>

void hold_clear(hold_state* hold) {
    hold->session[0] = '\0';
    hold->lease_pid = 0;
    hold->armed = 0;
    hold->paused = 0;
    hold->lease_deadline_ms = 0;
    hold->target = -1;
}

void hold_arm(hold_state* hold, const char* session, int32_t pid, int64_t deadline_ms) {
    snprintf(hold->session, sizeof hold->session, "%s", session);
    hold->lease_pid = pid;
    hold->lease_deadline_ms = deadline_ms;
    hold->armed = 1;
    hold->paused = 0;
}

int accept_set_value(hold_state* hold, const char* session, int32_t value, int32_t maximum,
                     int64_t now_ms) {
    if (!hold->armed) return 0;
    if (now_ms >= hold->lease_deadline_ms) return 0;
    if (hold->paused) return 0;
    if (strcmp(session, hold->session) != 0) return 0;
    if (value > maximum || value < HELD_VALUE_MIN) return 0;
    hold->target = value;
    return 1;
}

int hold_follow(hold_state* hold, const lease_record* lease) {
    int lease_paused = lease->active == 0;
    int changed = strcmp(lease->session, hold->session) != 0 || lease_paused != hold->paused;
    memcpy(hold->session, lease->session, sizeof hold->session);
    hold->lease_deadline_ms = lease->deadline_ms;
    hold->target = lease->target;
    hold->paused = lease_paused;
    return changed;
}
