#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/unique_fd.h"
#include "daemon/environment.h"
#include "daemon/startup.h"
#include "daemon/state.h"
#include "node/node_policy.h"
#include "node/node_value.h"
#include "outdoor/boost.h"
#include "outdoor/outdoor_health.h"
#include "outdoor/outdoor_lease.h"

#define LEASE_DIR "/data/system"

enum {
    // The lease's writer replaces it by rename or removes it; both show up
    // as one of these in its directory. Writes in place are not watched.
    LEASE_DIR_EVENTS = IN_MOVED_TO | IN_DELETE,
    INOTIFY_DRAIN_SIZE = 4096,
    MS_PER_SEC = 1000,
    NS_PER_MS = 1000000,
};

static const char kReasonWaiting[] = "waiting";
static const char kReasonStopped[] = "stopped";
static const char kReasonNodeChanged[] = "node_changed";
static const char kReasonWriteFailed[] = "write_failed";
static const char kReasonOverride[] = "system_override";
static const char kReasonBoosted[] = "boosted";
static const char kReasonReleased[] = "released";

static int same_boost_state(const boost_state* a, const boost_state* b) {
    return a->owner_pid == b->owner_pid && a->base == b->base && a->target == b->target &&
           a->held == b->held && a->inhibited == b->inhibited &&
           a->candidate_value == b->candidate_value &&
           a->candidate_since_ms == b->candidate_since_ms;
}

static int same_lease(const outdoor_lease_record* a, const outdoor_lease_record* b) {
    return a->pid == b->pid && a->deadline_ms == b->deadline_ms &&
           a->ratio_permille == b->ratio_permille && a->is_v2 == b->is_v2 &&
           a->level == b->level;
}

// 1 when the lease on disk still asks, unchanged, for what the raise was
// decided on. The writer check is not repeated: the pid is the same.
static int lease_still_asks(const outdoor_lease_record* decided_on) {
    outdoor_lease_record now = {};
    if (!read_outdoor_lease(&now)) return 0;
    return now.held == 1 && same_lease(&now, decided_on);
}

static const char* state_reason(const boost_state* state) {
    if (state->inhibited) return kReasonOverride;
    if (state->held) return kReasonBoosted;
    return kReasonReleased;
}

// Sleeps until the lease directory changes, a stop signal arrives or, when
// timeout_ms is not negative, that many milliseconds pass. The stop signals
// are blocked everywhere else, so one that came after the flag test is
// delivered here and ends the wait at once.
static void wait_for_change(int notify_fd, int64_t timeout_ms, const sigset_t* wait_mask) {
    struct pollfd pfd = {};
    pfd.fd = notify_fd;
    pfd.events = POLLIN;
    struct timespec ts = {};
    struct timespec* limit = nullptr;
    if (timeout_ms >= 0) {
        ts.tv_sec = static_cast<time_t>(timeout_ms / MS_PER_SEC);
        ts.tv_nsec = static_cast<long>((timeout_ms % MS_PER_SEC) * NS_PER_MS);
        limit = &ts;
    }
    if (ppoll(&pfd, 1, limit, wait_mask) > 0) {
        // Only the wake-up matters; the events themselves are not examined.
        char events[INOTIFY_DRAIN_SIZE];
        (void)read(notify_fd, events, sizeof events);
    }
}

int run_outdoor_loop(int32_t maximum, int lock_fd) {
    unique_fd outdoor_lock(lock_fd);

    // Keep the stop signals blocked outside the wait; the mask the caller
    // had is put back when the loop is done.
    sigset_t entry_mask;
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, nullptr, &entry_mask);
    block_stop_signals(&wait_mask);

    boost_state state = {};
    write_outdoor_health(&state, kReasonWaiting);

    unique_fd notify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!notify.ok() || inotify_add_watch(notify.get(), LEASE_DIR, LEASE_DIR_EVENTS) < 0) {
        sigprocmask(SIG_SETMASK, &entry_mask, nullptr);
        return EXIT_NOTIFY;
    }

    const char* stop_reason = kReasonStopped;
    while (!g_daemon.stop_requested) {
        outdoor_lease_record lease = {};
        int have_lease = read_outdoor_lease(&lease) && is_system_server(lease.pid);

        // A probe only: if a main-panel daemon runs, it holds this lock for
        // its whole life and we must keep off its node.
        int panel_busy;
        {
            unique_fd probe(take_main_panel_lock());
            panel_busy = probe.ok() ? 0 : 1;
        }

        int32_t current = read_sysfs_value(g_daemon.node_path);
        if (current < 0) {
            stop_reason = kReasonNodeChanged;
            break;
        }
        if (read_sysfs_value(g_daemon.max_path) != maximum || !node_identity_ok()) {
            stop_reason = kReasonNodeChanged;
            break;
        }

        boost_state before = state;
        int32_t r = decide_boost(&state, have_lease ? &lease : nullptr, current, maximum,
                                 panel_busy, monotonic_ms());
        if (r >= 0) {
            // A raise is only made while the lease still says what it said
            // when we decided; otherwise forget the decision and look again.
            if (r > current && !(have_lease && lease_still_asks(&lease))) {
                state = before;
                continue;
            }
            if (write_outdoor_value(current, r) != 0) {
                // Report the state the node was in before this turn; the way
                // out then restores the base if that state was a boost.
                state.base = before.base;
                state.target = before.target;
                state.held = before.held;
                state.inhibited = 1;
                write_outdoor_health(&state, kReasonWriteFailed);
                stop_reason = kReasonWriteFailed;
                break;
            }
        }

        if (!same_boost_state(&state, &before)) write_outdoor_health(&state, state_reason(&state));

        // Only a held lease needs a wake-up of its own, to notice that it
        // expired; everything else arrives as a change in the directory.
        int64_t timeout_ms = -1;
        if (have_lease && lease.held == 1) {
            timeout_ms = lease.deadline_ms - monotonic_ms();
            if (timeout_ms < 0) timeout_ms = 0;
        }
        wait_for_change(notify.get(), timeout_ms, &wait_mask);
    }

    if (state.held) (void)write_outdoor_value(state.target, state.base);
    state = boost_state{};
    write_outdoor_health(&state, stop_reason);

    notify.reset();
    outdoor_lock.reset();
    sigprocmask(SIG_SETMASK, &entry_mask, nullptr);
    return EXIT_OK;
}
