#include "mainpanel/hold_loop.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "common/clock.h"
#include "common/dir_watch.h"
#include "process/state.h"
#include "mainpanel/lease.h"

namespace {

hold_state holding(int32_t target, int64_t deadline, int64_t last_health, int64_t next_correction) {
    hold_state h = {};
    h.armed = 1;
    h.target = target;
    h.lease_deadline_ms = deadline;
    h.last_health_ms = last_health;
    h.next_correction_ms = next_correction;
    return h;
}

// The loop's timing rules with a given clock. The numbers are written out,
// not taken from the constants, so that a changed limit fails here.
TEST(HoldTiming, IdleLimitAndHeartbeat) {
    EXPECT_EQ(idle_deadline_ms(5000), 15000);
    EXPECT_FALSE(health_due(6999, 5000));
    EXPECT_TRUE(health_due(7000, 5000));

    hold_state idle = {};
    EXPECT_EQ(hold_wake_up_ms(&idle, 15000), 15000) << "not armed: only the idle limit";

    hold_state t = holding(150, 9000, 5000, 8000);
    EXPECT_EQ(hold_wake_up_ms(&t, 15000), 7000) << "the heartbeat comes first";
    t.next_correction_ms = 5250;
    EXPECT_EQ(hold_wake_up_ms(&t, 15000), 5250) << "then the correction";
    t.lease_deadline_ms = 5100;
    EXPECT_EQ(hold_wake_up_ms(&t, 15000), 5100) << "then the lease deadline";
}

TEST(HoldTiming, CorrectionsOnlyWhileActiveWithATarget) {
    hold_state t = holding(10, 9000, 5000, 5250);
    EXPECT_TRUE(hold_correcting(&t));
    EXPECT_EQ(hold_wake_up_ms(&t, 0), 5250);
    hold_state paused = t, low = holding(9, 9000, 5000, 5250), unarmed = t;
    paused.paused = 1;
    unarmed.armed = 0;
    for (const hold_state& off : {paused, low, unarmed}) {
        EXPECT_FALSE(hold_correcting(&off));
        if (off.armed) {
            EXPECT_EQ(hold_wake_up_ms(&off, 0), 7000) << "no correction timer";
        }
    }
}

TEST(HoldTiming, CorrectionPeriodAndPollCap) {
    EXPECT_EQ(next_correction_at(5000), 5250);
    EXPECT_EQ(hold_poll_timeout_ms(7000, 5000, 1), 2000);
    EXPECT_EQ(hold_poll_timeout_ms(7000, 5000, 0), 250) << "without the watch, at most 250 ms";
    EXPECT_EQ(hold_poll_timeout_ms(5249, 5000, 0), 249);
    EXPECT_EQ(hold_poll_timeout_ms(4000, 5000, 1), 0) << "already due";
    EXPECT_EQ(hold_poll_timeout_ms(INT64_MAX, 0, 1), INT32_MAX);
}

TEST(HoldTiming, CorrectionLinesEightFreeThenOneEveryThirtySeconds) {
    for (int before = 0; before < 8; ++before) EXPECT_TRUE(correction_line_due(before, 1000, 999));
    EXPECT_FALSE(correction_line_due(8, 30999, 1000));
    EXPECT_TRUE(correction_line_due(8, 31000, 1000));
    EXPECT_FALSE(correction_line_due(500, 60999, 31000));
    EXPECT_TRUE(correction_line_due(500, 61000, 31000));
}

// The wait itself, on real descriptors: a scratch directory stands in for
// the lease directory and a socket pair for the listening socket.
class HoldWait : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_daemon_state(&g_daemon);
        char tmpl[] = "/tmp/veltaris-wait-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        notify_ = dir_watch_open(dir_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE);
        ASSERT_GE(notify_, 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, peer_), 0);
        fds_[POLL_LISTEN] = {peer_[0], POLLIN, 0};
        fds_[POLL_NOTIFY] = {notify_, POLLIN, 0};
        sigemptyset(&mask_);
    }
    void TearDown() override {
        close(notify_);
        close(peer_[0]);
        close(peer_[1]);
        for (const char* name : {"other", MAIN_PANEL_LEASE_NAME}) unlink((dir_ + "/" + name).c_str());
        rmdir(dir_.c_str());
        reset_daemon_state(&g_daemon);
    }
    void touch(const char* name) {
        FILE* f = fopen((dir_ + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }

    std::string dir_;
    int notify_ = -1;
    int peer_[2] = {-1, -1};
    struct pollfd fds_[POLL_SLOTS] = {};
    sigset_t mask_;
};

TEST_F(HoldWait, OtherFilesDoNotEndTheWaitButTheLeaseDoes) {
    touch("other");
    EXPECT_EQ(hold_wait(&g_daemon.process, fds_, POLL_SLOTS, monotonic_ms() + 300, &mask_, 0), 0) << "only the timer ends it";
    touch(MAIN_PANEL_LEASE_NAME);
    EXPECT_EQ(hold_wait(&g_daemon.process, fds_, POLL_SLOTS, monotonic_ms() + 60000, &mask_, 0), 1);
}

TEST_F(HoldWait, ALostWatchEndsTheWait) {
    // Without its watch the loop cannot know what became of the lease.
    ASSERT_EQ(rmdir(dir_.c_str()), 0);
    EXPECT_EQ(hold_wait(&g_daemon.process, fds_, POLL_SLOTS, monotonic_ms() + 60000, &mask_, 0), 1);
}

TEST_F(HoldWait, ALeaseEventSeenBeforeTheWaitIsNotForgotten) {
    // The turn already drained a lease event; another file's event must not
    // turn the wait into a full one (the answer would then be the timeout).
    touch("other");
    EXPECT_EQ(hold_wait(&g_daemon.process, fds_, POLL_SLOTS, monotonic_ms() + 1000, &mask_, 1), 1);
}

TEST_F(HoldWait, APendingStopSignalComesBeforeAReadyConnection) {
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &term, &old), 0);
    struct sigaction sa = {}, old_sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGTERM, &sa, &old_sa);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_EQ(write(peer_[1], "STATUS\n", 7), 7);

    EXPECT_LT(hold_wait(&g_daemon.process, fds_, POLL_SLOTS, monotonic_ms() + 1000, &mask_, 0), 1) << "the connection is not served";
    EXPECT_EQ(g_daemon.process.stop_requested, 1);

    struct timespec zero = {0, 0};
    sigtimedwait(&term, nullptr, &zero);
    sigaction(SIGTERM, &old_sa, nullptr);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace
