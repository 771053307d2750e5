// Crash consistency of the write guard: the real daemon is killed with
// SIGKILL at a random moment of a hold cycle (start-up, arming, a
// correction, a pause that releases the guard, a resume that arms it again,
// STOP and the shutdown after it), and every time the next `--recover` or
// main-panel start must find either an untouched node or a whole
// permission record that puts its bits back.
//
// Now and then the recovery itself is killed too, before the one that
// must finish the job.
//
// VELTARIS_CRASH_TRIALS sets the number of cycles (default 50) and
// VELTARIS_CRASH_SEED replays a run: the seed is always printed, and a
// failing trial names its kill moment, so it can be repeated exactly.
// VELTARIS_CRASH_VERBOSE=1 prints every trial.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "sandbox/sandbox.h"
#include "tests/integration/hold_client.h"

namespace sandbox {
namespace {

constexpr int kHeldValue = 150;

// The steps of one hold cycle, in order. A kill is planned as "this long
// after the client starts step N": the offsets are small for the steps the
// daemon handles in a few milliseconds (so the kill lands inside start-up,
// arming, a release, the shutdown), and span a whole correction period for
// the correction step. One trial in four instead kills at a uniform moment
// of the first 300 ms after the spawn.
enum class Step { spawn, arm, set, pause, resume, correction, stop, count };

const char* step_name(Step s) {
    static const char* const names[] = {"spawn", "arm", "set", "pause", "resume", "correction", "stop"};
    return names[(int)s];
}

struct KillPlan {
    Step after = Step::spawn;
    int offset_us = 0;
};

KillPlan plan_kill(std::mt19937_64& rng) {
    KillPlan plan;
    if (rng() % 4 == 0) {
        plan.offset_us = (int)(rng() % 300001);
        return plan;
    }
    plan.after = (Step)(rng() % (int)Step::count);
    // Start-up to the readiness line takes about a millisecond.
    const int window_us = plan.after == Step::correction ? 270000 : plan.after == Step::spawn ? 1500 : 5000;
    plan.offset_us = (int)(rng() % (window_us + 1));
    return plan;
}

struct KillStats {
    int trials = 0;
    int killed_before_ready = 0;     // no readiness line yet
    int killed_unarmed = 0;          // node writable and no record
    int killed_armed = 0;            // write bits cleared, record present
    int killed_record_writable = 0;  // record present, node writable: mid-arming,
                                     // mid-release, or bits given back meanwhile
    int ended_before_kill = 0;       // the cycle finished first
    int tmp_left = 0;                // a temporary record file was left behind
    int recoveries_killed = 0;       // a recovery was itself killed first
    int recoveries_cut_short = 0;    // ... before it had deleted the record
    int recovered_by_recover = 0;
    int recovered_by_start = 0;
    int64_t slowest_trial_ms = 0;
    int per_step[(int)Step::count] = {};
};

class CrashTest : public SandboxTest {
  protected:
    FakeNode* node_ = nullptr;
    std::string canonical_;
    unsigned mode_at_kill_ = 0;  // mode bits, plus 01000 when a record was there

    // Waits for pred, giving up early once the daemon has been killed.
    static bool wait_or_killed(const std::function<bool()>& pred, const std::atomic<bool>& killed,
                               std::chrono::milliseconds timeout) {
        return wait_until([&] { return killed.load() || pred(); }, timeout, 2ms) && !killed.load();
    }

    // One cycle of a client's hold. reach(step) is called just before each
    // step's action, so that a kill planned "shortly after step N" lands in
    // the daemon's handling of it. Returns early, without judging, once the
    // daemon is gone: a killed daemon answers nothing, and that is the point.
    void drive_cycle(Daemon& d, const std::string& session, const std::atomic<bool>& killed,
                     const std::function<void(Step)>& reach, bool give_bits_back) {
        const std::string pid = std::to_string(getpid());
        if (!wait_or_killed([&] { return d.wait_for_line("NATIVE_READY ", 0ms).has_value(); }, killed, 5s)) {
            return;
        }
        reach(Step::arm);
        send_request("ARM " + session + " " + pid, 0, 2s);
        if (killed) return;
        // SET arms the guard: record, open, clear the write bits, write.
        reach(Step::set);
        send_request("SET " + session + " " + std::to_string(kHeldValue), 0, 2s);
        if (killed) return;
        // Pause: the loop releases the guard (restores the bits, deletes
        // the record).
        reach(Step::pause);
        write_main_panel_lease(session, getpid(), monotonic_ms() + hold::kLeaseAheadMs, 0, kHeldValue);
        wait_or_killed([&] { return d.wait_for_line("NATIVE_PAUSED", 0ms).has_value(); }, killed, 2s);
        if (killed) return;
        node_->set_value(90);
        // Resume: an immediate read-back and correction arms it again. The
        // next foreign write waits for the correction line: one that came
        // between the daemon's write and its read-back would end the hold.
        reach(Step::resume);
        write_main_panel_lease(session, getpid(), monotonic_ms() + hold::kLeaseAheadMs, 1, kHeldValue);
        wait_or_killed([&] { return d.wait_for_line("NATIVE_CORRECTION actual=90 ", 0ms).has_value(); }, killed, 2s);
        if (killed) return;
        // A foreign writer, and (every other trial) a device manager that
        // gives the node its write bits back; the next turn's correction
        // (within 250 ms) clears the bits again and rewrites the value.
        reach(Step::correction);
        node_->set_value(70);
        if (give_bits_back) node_->set_mode(0664);
        wait_or_killed([&] { return d.wait_for_line("NATIVE_CORRECTION actual=70 ", 0ms).has_value(); }, killed, 2s);
        if (killed) return;
        // STOP releases the guard, answers, and the shutdown releases again
        // and writes the last health record.
        reach(Step::stop);
        send_request("STOP", 0, 2s);
    }

    // The state a kill left, before anything repairs it: the node may lack
    // its write bits only while a whole record holds the bits to put back,
    // and a record, when there is one, is never torn.
    void check_state_after_kill(KillStats& stats, bool saw_ready) {
        mode_t mode = node_->mode();
        auto record = read_file(kPermissionRecord);
        mode_at_kill_ = mode | (record ? 01000 : 0);
        bool writable = (mode & 0222) != 0;
        if (!writable) {
            ASSERT_TRUE(record.has_value()) << "the node lost its write bits (mode " << std::oct << mode << std::dec
                                            << ") and no permission record would restore them";
        }
        if (record) {
            EXPECT_TRUE(hold::permission_record_whole(*record, canonical_))
                << "torn or unexpected permission record: \"" << *record << "\"";
        }
        EXPECT_TRUE(mode == 0664 || mode == 0444) << "node mode " << std::oct << mode;
        if (auto health = read_file(kMainPanelHealth)) {
            EXPECT_TRUE(hold::health_record_whole(*health)) << "health record \"" << *health << "\"";
        }
        if (path_exists(kPermissionRecordTmp)) stats.tmp_left++;
        if (!saw_ready) {
            stats.killed_before_ready++;
        } else if (!writable) {
            stats.killed_armed++;
        } else if (record) {
            stats.killed_record_writable++;
        } else {
            stats.killed_unarmed++;
        }
    }

    // Starts a recovery (--recover, or a main-panel start, which restores
    // first) and kills it after offset_us; the state must still satisfy
    // the same rules as after any kill.
    void kill_a_recovery(int offset_us, bool use_recover) {
        SCOPED_TRACE("recovery killed after " + std::to_string(offset_us) + " us");
        Daemon r;
        ASSERT_TRUE(use_recover ? r.start({"--recover"}) : r.start({"--daemon", "--node", kNodePath}));
        std::this_thread::sleep_for(std::chrono::microseconds(offset_us));
        kill(r.pid(), SIGKILL);  // not reaped yet, so still ours
        int code = r.wait_exit(20s);
        EXPECT_TRUE(code == 0 || code == 128 + SIGKILL) << "exit " << code << ": " << r.stderr_text();
        mode_t mode = node_->mode();
        auto record = read_file(kPermissionRecord);
        if ((mode & 0222) == 0) {
            EXPECT_TRUE(record.has_value()) << "an interrupted recovery left the node without write bits and "
                                               "without a record";
        }
        if (record) {
            EXPECT_TRUE(hold::permission_record_whole(*record, canonical_)) << "torn record: \"" << *record << "\"";
        }
    }

    void recover_with_recover_command() {
        Outcome o = run_to_end({"--recover"});
        EXPECT_OUTCOME(o, 0, "");
    }

    void recover_with_main_panel_start() {
        Daemon r;
        ASSERT_TRUE(r.start({"--daemon", "--node", kNodePath}));
        std::string why;
        ASSERT_TRUE(wait_ready(r, &why)) << "the next start did not come up: " << why;
        auto stop = send_request("STOP", 0, 5s);
        EXPECT_EQ(reason_of(stop), "released") << stop.value_or("");
        EXPECT_EQ(r.wait_exit(20s), 0) << r.stderr_text();
    }

    // After recovery the node has exactly its original bits and nothing is
    // left at the record's path.
    void check_recovered() {
        EXPECT_EQ(node_->mode(), 0664u);
        EXPECT_EQ(file_mode(kNodePath), 0664);
        EXPECT_FALSE(path_exists(kPermissionRecord)) << "record left: " << read_file(kPermissionRecord).value_or("?");
        if (auto health = read_file(kMainPanelHealth)) {
            EXPECT_TRUE(hold::health_record_whole(*health)) << "health record \"" << *health << "\"";
        }
    }
};

TEST_F(CrashTest, KillAtRandomMomentsLeavesNodeRecoverable) {
    node_ = add_node();
    ASSERT_NE(node_, nullptr);
    canonical_ = node_->real_brightness_path();

    const long trials = hold::env_number("VELTARIS_CRASH_TRIALS", 50);
    uint64_t seed = (uint64_t)hold::env_number("VELTARIS_CRASH_SEED", -1);
    if (seed == (uint64_t)-1) seed = std::random_device{}() ^ ((uint64_t)monotonic_ms() << 20);
    printf("crash: %ld trials, seed %llu (VELTARIS_CRASH_SEED=%llu replays them)\n", trials, (unsigned long long)seed,
           (unsigned long long)seed);
    fflush(stdout);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 rng(seed);
    KillStats stats;

    for (long trial = 0; trial < trials; ++trial) {
        const KillPlan plan = plan_kill(rng);
        const bool use_recover = trial % 2 == 0;
        const bool give_bits_back = rng() % 2 == 0;
        const std::string session = "crash" + std::to_string(trial);
        const std::string what = "trial " + std::to_string(trial) + " (seed " + std::to_string(seed) + "): kill " +
                                 std::to_string(plan.offset_us) + " us after " + step_name(plan.after) +
                                 ", recovery by " + (use_recover ? "--recover" : "the next start");
        SCOPED_TRACE(what);
        const int64_t trial_start = monotonic_ms();

        node_->set_value(100);
        ASSERT_EQ(write_main_panel_lease(session, getpid(), monotonic_ms() + hold::kLeaseAheadMs, 1, kHeldValue), 0);

        std::atomic<bool> killed{false};
        int exit_code = -1;
        bool saw_ready = false;
        std::string daemon_err;
        {
            std::mutex mutex;
            std::condition_variable cv;
            int reached = -1;
            bool cycle_over = false;
            auto reach = [&](Step s) {
                std::lock_guard<std::mutex> lock(mutex);
                reached = (int)s;
                cv.notify_all();
            };

            Daemon d;
            reach(Step::spawn);
            ASSERT_TRUE(d.start({"--daemon", "--node", kNodePath}));
            const pid_t pid = d.pid();
            // The process is not reaped before this thread is joined, so
            // the pid cannot have been reused when it is signalled. When the
            // cycle ends before the planned step, the kill comes at once
            // (into the shutdown, or into nothing).
            std::thread killer([&] {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    cv.wait(lock, [&] { return reached >= (int)plan.after || cycle_over; });
                }
                std::this_thread::sleep_for(std::chrono::microseconds(plan.offset_us));
                kill(pid, SIGKILL);
                killed = true;
            });
            drive_cycle(d, session, killed, reach, give_bits_back);
            {
                std::lock_guard<std::mutex> lock(mutex);
                cycle_over = true;
                cv.notify_all();
            }
            killer.join();
            exit_code = d.wait_exit(20s);
            saw_ready = d.wait_for_line("NATIVE_READY ", 0ms).has_value();
            daemon_err = d.stderr_text();
        }
        ASSERT_TRUE(exit_code == 128 + SIGKILL || exit_code == 0) << "exit " << exit_code << ", stderr: " << daemon_err;
        if (exit_code == 0) stats.ended_before_kill++;
        stats.per_step[(int)plan.after]++;

        check_state_after_kill(stats, saw_ready);
        // Now and then the recovery itself is killed: putting the bits back
        // and deleting the record must be safe to cut short and repeat.
        if (!HasFailure() && path_exists(kPermissionRecord) && rng() % 3 == 0) {
            kill_a_recovery((int)(rng() % 1501), use_recover);
            stats.recoveries_killed++;
            if (path_exists(kPermissionRecord)) stats.recoveries_cut_short++;
        }
        if (!HasFailure()) {
            if (use_recover) {
                recover_with_recover_command();
                stats.recovered_by_recover++;
            } else {
                recover_with_main_panel_start();
                stats.recovered_by_start++;
            }
            check_recovered();
        }
        if (HasFailure()) {
            printf("crash: %s FAILED; daemon stderr:\n%s\n", what.c_str(), daemon_err.c_str());
            break;
        }
        if (getenv("VELTARIS_CRASH_VERBOSE")) {
            printf("crash: %s: exit %d, node mode %o%s after the kill, %lld ms\n", what.c_str(), exit_code,
                   mode_at_kill_ & 0777, (mode_at_kill_ & 01000) ? " with a record" : "",
                   (long long)(monotonic_ms() - trial_start));
        }
        stats.trials++;
        stats.slowest_trial_ms = std::max(stats.slowest_trial_ms, monotonic_ms() - trial_start);
    }

    std::ostringstream summary;
    summary << stats.trials << " trials passed: killed before readiness " << stats.killed_before_ready
            << ", while unarmed " << stats.killed_unarmed << ", while armed (bits cleared) " << stats.killed_armed
            << ", with a record but write bits present " << stats.killed_record_writable
            << ", cycle finished before the kill " << stats.ended_before_kill << "; temporary record file left "
            << stats.tmp_left << " times; recoveries killed " << stats.recoveries_killed << " ("
            << stats.recoveries_cut_short << " before deleting the record)"
            << "; recovered by --recover " << stats.recovered_by_recover << ", by the next start "
            << stats.recovered_by_start << "; slowest trial " << stats.slowest_trial_ms << " ms; kills planned after";
    for (int i = 0; i < (int)Step::count; ++i) summary << " " << step_name((Step)i) << " " << stats.per_step[i];
    printf("crash: %s\n", summary.str().c_str());
    RecordProperty("summary", summary.str());
    RecordProperty("killed_armed", stats.killed_armed);
    RecordProperty("killed_record_writable", stats.killed_record_writable);
}

}  // namespace
}  // namespace sandbox
