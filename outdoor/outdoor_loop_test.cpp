#include "outdoor/outdoor_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "common/dir_watch.h"
#include "process/state.h"

namespace {

TEST(OutdoorWait, AHeldLeaseOrABoostKeptThroughABusyPanelSetsATimer) {
    const outdoor_lease_record held = {.pid = 42, .held = 1, .ratio_permille = 500, .is_v2 = 0, .level = 0,
                                       .deadline_ms = 5000};
    outdoor_lease_record unheld = held;
    unheld.held = 0;
    const boost_state idle = {};
    // owner_pid, base, target, held, inhibited, candidate_value, candidate_since_ms
    const boost_state boosted = {42, 100, 177, 1, 0, 0, 0};
    struct Row {
        const char* what;
        const outdoor_lease_record* lease;
        int panel_busy;
        boost_state state;
        int64_t now_ms;
        int64_t timeout_ms;
    };
    const Row rows[] = {
        {"a held lease: its deadline", &held, 0, boosted, 4000, 1000},
        {"a deadline passed during the turn", &held, 0, boosted, 6000, 0},
        {"a lease that asks for nothing", &unheld, 0, boosted, 4000, -1},
        {"no lease", nullptr, 0, idle, 4000, -1},
        {"no lease, a boost, the panel free", nullptr, 0, boosted, 4000, -1},
        {"no lease, idle, the panel busy", nullptr, 1, idle, 4000, -1},
        {"no lease, a boost, the panel busy", nullptr, 1, boosted, 4000, OUTDOOR_BUSY_RECHECK_MS},
        {"an unheld lease, a boost, the panel busy", &unheld, 1, boosted, 4000, OUTDOOR_BUSY_RECHECK_MS},
        {"a held lease further than the recheck", &held, 1, boosted, 3000, OUTDOOR_BUSY_RECHECK_MS},
        {"a held lease nearer than the recheck", &held, 1, boosted, 4600, 400},
        {"a deadline passed, the panel busy", &held, 1, boosted, 6000, 0},
        {"idle, a held lease, the panel busy", &held, 1, idle, 3000, 2000},
        // Only a boost has something to put back once the lock is free;
        // the busy turn cleared any other state.
        {"only held", nullptr, 1, {0, 0, 0, 1, 0, 0, 0}, 4000, OUTDOOR_BUSY_RECHECK_MS},
        {"an owner, a base, a target", nullptr, 1, {42, 100, 177, 0, 0, 0, 0}, 4000, -1},
        {"inhibited", nullptr, 1, {42, 100, 177, 0, 1, 0, 0}, 4000, -1},
        {"a candidate", nullptr, 1, {42, 0, 0, 0, 0, 100, 3000}, 4000, -1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(outdoor_wait_timeout_ms(r.lease, r.panel_busy, &r.state, r.now_ms), r.timeout_ms) << r.what;
    }
}

TEST(OutdoorWait, TheLimitKeepsItsMillisecondsAndNoneMeansNoLimit) {
    struct Row {
        int64_t timeout_ms;
        time_t sec;
        long nsec;
    };
    const Row rows[] = {{0, 0, 0}, {1, 0, 1000000}, {999, 0, 999000000}, {1000, 1, 0}, {1500, 1, 500000000}};
    for (const Row& r : rows) {
        struct timespec ts = {-1, -1};
        const struct timespec* limit = outdoor_wait_limit(r.timeout_ms, &ts);
        ASSERT_EQ(limit, &ts) << r.timeout_ms << " ms: a time limit, an expired one included";
        EXPECT_EQ(ts.tv_sec, r.sec) << r.timeout_ms << " ms";
        EXPECT_EQ(ts.tv_nsec, r.nsec) << r.timeout_ms << " ms";
    }
    struct timespec ts = {};
    EXPECT_EQ(outdoor_wait_limit(-1, &ts), nullptr);
}

TEST(OutdoorWait, APendingStopSignalIsSeenWhenTheDirectoryChanged) {
    reset_daemon_state(&g_daemon);
    char dir[] = "/tmp/veltaris-outdoor-wait-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    int notify = dir_watch_open(dir, IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE);
    ASSERT_GE(notify, 0);
    sigset_t term, old, during;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigemptyset(&during);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &term, &old), 0);
    struct sigaction sa = {}, old_sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGTERM, &sa, &old_sa);
    ASSERT_EQ(raise(SIGTERM), 0);
    std::string file = std::string(dir) + "/" OUTDOOR_LEASE_NAME;
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);

    outdoor_wait(notify, 1000, &during, &g_daemon.process.stop_requested);
    EXPECT_EQ(g_daemon.process.stop_requested, 1) << "the next turn must not act";

    struct timespec zero = {0, 0};
    sigtimedwait(&term, nullptr, &zero);
    sigaction(SIGTERM, &old_sa, nullptr);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close(notify);
    unlink(file.c_str());
    rmdir(dir);
    reset_daemon_state(&g_daemon);
}

}  // namespace
