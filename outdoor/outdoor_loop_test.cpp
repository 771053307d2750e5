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

TEST(OutdoorWait, OnlyAHeldLeaseSetsATimer) {
    outdoor_lease_record lease = {.pid = 42, .held = 1, .ratio_permille = 500, .is_v2 = 0, .level = 0,
                                  .deadline_ms = 5000};
    EXPECT_EQ(outdoor_wait_timeout_ms(&lease, 4000), 1000);
    EXPECT_EQ(outdoor_wait_timeout_ms(&lease, 6000), 0) << "a deadline already passed";
    lease.held = 0;
    EXPECT_EQ(outdoor_wait_timeout_ms(&lease, 4000), -1) << "a lease that asks for nothing";
    EXPECT_EQ(outdoor_wait_timeout_ms(nullptr, 4000), -1);
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
