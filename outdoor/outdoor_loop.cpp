#include "outdoor/outdoor_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/dir_watch.h"
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
    MS_PER_SEC = 1000,
    NS_PER_MS = 1000000,
};

// The lease's writer replaces it by rename, moves it away or removes it;
// each shows up as one of these in its directory. Writes in place are not
// watched.
static const uint32_t kLeaseDirEvents = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

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

void outdoor_wait(int notify_fd, int64_t timeout_ms, const sigset_t* wait_mask) {
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
        // Only the wake-up matters; which file changed is not examined.
        (void)dir_watch_drain(notify_fd, OUTDOOR_LEASE_NAME);
        // Ready descriptors win over a stop signal that was already
        // pending: the wait puts the blocking mask back without delivering
        // it, so it is turned into the stop flag here.
        if (stop_signal_pending()) g_daemon.stop_requested = 1;
    }
}

int64_t outdoor_wait_timeout_ms(const outdoor_lease_record* lease, int64_t now_ms) {
    // Only a held lease needs a wake-up of its own, to notice that it
    // expired; everything else arrives as a change in the directory.
    if (lease == nullptr || lease->held != 1) return -1;
    int64_t left = lease->deadline_ms - now_ms;
    return left < 0 ? 0 : left;
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

    unique_fd notify(dir_watch_open(LEASE_DIR, kLeaseDirEvents));
    if (!notify.ok()) {
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

        int64_t timeout_ms = outdoor_wait_timeout_ms(have_lease ? &lease : nullptr, monotonic_ms());
        outdoor_wait(notify.get(), timeout_ms, &wait_mask);
    }

    if (state.held) (void)write_outdoor_value(state.target, state.base);
    state = boost_state{};
    write_outdoor_health(&state, stop_reason);

    notify.reset();
    outdoor_lock.reset();
    sigprocmask(SIG_SETMASK, &entry_mask, nullptr);
    return EXIT_OK;
}
