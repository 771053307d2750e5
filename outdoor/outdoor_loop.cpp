#include "outdoor/outdoor_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/dir_watch.h"
#include "common/unique_fd.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "outdoor/outdoor_health.h"
#include "outdoor/outdoor_write.h"
#include "process/environment.h"
#include "process/exit_codes.h"

namespace {

enum {
    MS_PER_SEC = 1000,
    NS_PER_MS = 1000000,
};

// The lease's writer replaces it by rename, moves it away or removes it;
// each shows up as one of these in its directory. Writes in place are not
// watched.
const uint32_t kLeaseDirEvents = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

const char kReasonWaiting[] = "waiting";
const char kReasonStopped[] = "stopped";
const char kReasonNodeChanged[] = "node_changed";
const char kReasonWriteFailed[] = "write_failed";
const char kReasonOverride[] = "system_override";
const char kReasonBoosted[] = "boosted";
const char kReasonReleased[] = "released";

int same_boost_state(const boost_state* a, const boost_state* b) {
    return a->owner_pid == b->owner_pid && a->base == b->base && a->target == b->target &&
           a->held == b->held && a->inhibited == b->inhibited &&
           a->candidate_value == b->candidate_value &&
           a->candidate_since_ms == b->candidate_since_ms;
}

int same_lease(const outdoor_lease_record* a, const outdoor_lease_record* b) {
    return a->pid == b->pid && a->deadline_ms == b->deadline_ms &&
           a->ratio_permille == b->ratio_permille && a->is_v2 == b->is_v2 &&
           a->level == b->level;
}

// 1 when the lease on disk still asks, unchanged, for what the raise was
// decided on. The writer check is not repeated: the pid is the same.
int lease_still_asks(const outdoor_lease_record* decided_on) {
    outdoor_lease_record now = {};
    if (!read_outdoor_lease(&now)) return 0;
    return now.held == 1 && same_lease(&now, decided_on);
}

const char* state_reason(const boost_state* state) {
    if (state->inhibited) return kReasonOverride;
    if (state->held) return kReasonBoosted;
    return kReasonReleased;
}

// A probe only: a main-panel daemon holds this lock for its whole life, and
// while it runs the node is its own.
int main_panel_busy(void) {
    unique_fd probe(take_main_panel_lock());
    return probe.ok() ? 0 : 1;
}

}  // namespace

outdoor_turn_result outdoor_turn(outdoor_run* run, outdoor_lease_record* lease, int* have_lease) {
    *have_lease = read_outdoor_lease(lease) && is_system_server(lease->pid);
    int panel_busy = main_panel_busy();
    run->panel_busy = panel_busy;

    // The node's identity and its value through one descriptor, then its
    // maximum; any change ends the loop.
    int32_t current = read_node_checked(run->node);
    if (current < 0 || read_sysfs_value(run->node->max_path) != run->maximum) {
        run->stop_reason = kReasonNodeChanged;
        return OUTDOOR_LEAVE;
    }

    boost_state before = run->state;
    int32_t r = decide_boost(&run->state, *have_lease ? lease : nullptr, current, run->maximum,
                             panel_busy, monotonic_ms());
    if (r >= 0) {
        // A raise is only made while the lease still says what it said
        // when we decided; otherwise forget the decision and look again.
        if (r > current && !(*have_lease && lease_still_asks(lease))) {
            run->state = before;
            return OUTDOOR_AGAIN;
        }
        if (write_outdoor_value(run->node, current, r) != 0) {
            // Report the state the node was in before this turn; the way
            // out then restores the base if that state was a boost.
            run->state.base = before.base;
            run->state.target = before.target;
            run->state.held = before.held;
            run->state.inhibited = 1;
            write_outdoor_health(&run->state, kReasonWriteFailed);
            run->stop_reason = kReasonWriteFailed;
            return OUTDOOR_LEAVE;
        }
    }
    if (!same_boost_state(&run->state, &before)) write_outdoor_health(&run->state, state_reason(&run->state));
    return OUTDOOR_WAIT;
}

int64_t outdoor_wait_timeout_ms(const outdoor_lease_record* lease, int panel_busy, const boost_state* state,
                                int64_t now_ms) {
    int64_t timeout = -1;
    // A held lease needs a wake-up of its own, to notice that it expired;
    // everything else arrives as a change in the directory ...
    if (lease != nullptr && lease->held == 1) {
        int64_t left = lease->deadline_ms - now_ms;
        timeout = left < 0 ? 0 : left;
    }
    // ... except the release of the main-panel lock. A boost kept while it
    // was taken must be put back or go on once it is free, so the loop
    // looks again now and then; any other state was cleared by the busy
    // turn and has nothing to act on.
    if (panel_busy && state->held && (timeout < 0 || timeout > OUTDOOR_BUSY_RECHECK_MS)) {
        timeout = OUTDOOR_BUSY_RECHECK_MS;
    }
    return timeout;
}

const struct timespec* outdoor_wait_limit(int64_t timeout_ms, struct timespec* ts) {
    if (timeout_ms < 0) return nullptr;
    ts->tv_sec = static_cast<time_t>(timeout_ms / MS_PER_SEC);
    ts->tv_nsec = static_cast<long>((timeout_ms % MS_PER_SEC) * NS_PER_MS);
    return ts;
}

void outdoor_wait(int notify_fd, int64_t timeout_ms, const sigset_t* wait_mask,
                  volatile sig_atomic_t* stop) {
    struct pollfd pfd = {};
    pfd.fd = notify_fd;
    pfd.events = POLLIN;
    struct timespec ts = {};
    if (ppoll(&pfd, 1, outdoor_wait_limit(timeout_ms, &ts), wait_mask) < 1) return;
    // Any change in the directory is a turn: the node and its maximum are
    // looked at then too, and a lease rewritten in place is seen at the
    // next event of any file. Which file changed is not examined.
    dir_watch_discard(notify_fd);
    // Ready descriptors win over a stop signal that was already pending:
    // the wait puts the blocking mask back without delivering it, so it is
    // turned into the stop flag here.
    if (stop_signal_pending()) *stop = 1;
}

int run_outdoor_loop(const node_identity* node, int32_t maximum, int lock_fd,
                     volatile sig_atomic_t* stop) {
    unique_fd outdoor_lock(lock_fd);
    outdoor_run run = {node, maximum, boost_state{}, kReasonStopped, 0};
    write_outdoor_health(&run.state, kReasonWaiting);
    unique_fd notify(dir_watch_open(LEASE_DIR, kLeaseDirEvents));
    if (!notify.ok()) return EXIT_NOTIFY;

    // The stop signals are let in only during the wait, so one that comes
    // after the flag test still ends the wait at once. The caller's mask is
    // put back when the loop is done.
    sigset_t entry_mask;
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, nullptr, &entry_mask);
    block_stop_signals(&wait_mask);

    while (!*stop) {
        outdoor_lease_record lease = {};
        int have_lease = 0;
        outdoor_turn_result r = outdoor_turn(&run, &lease, &have_lease);
        if (r == OUTDOOR_LEAVE) break;
        if (r == OUTDOOR_AGAIN) continue;
        int64_t timeout = outdoor_wait_timeout_ms(have_lease ? &lease : nullptr, run.panel_busy, &run.state,
                                                  monotonic_ms());
        outdoor_wait(notify.get(), timeout, &wait_mask, stop);
    }

    if (run.state.held) (void)write_outdoor_value(node, run.state.target, run.state.base);
    run.state = boost_state{};
    write_outdoor_health(&run.state, run.stop_reason);

    notify.reset();
    outdoor_lock.reset();
    sigprocmask(SIG_SETMASK, &entry_mask, nullptr);
    return EXIT_OK;
}
