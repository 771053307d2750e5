// What the daemon syncs to flash, counted call by call under strace: the
// permission record and then the directory that names it, once per arming
// of the write guard, and nothing else. The health records of both modes
// are rewritten for as long as a hold lasts and are never synced. Also
// under strace: outdoor mode never waits for the main-panel lock, and the
// owner's keeper, which renews its lease for hours, syncs nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/integration/main_panel_fixture.h"
#include "tests/integration/tracing.h"

namespace sandbox::main_panel {
namespace {

class FlashSyncTest : public MainPanelTest {
  protected:
    std::string strace_;

    void SetUp() override {
        MainPanelTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string why;
        strace_ = tracing::usable_strace(&why);
        if (strace_.empty()) {
            if (running_in_ci()) FAIL() << why;
            GTEST_SKIP() << why;
        }
        ASSERT_NE(make_node(node_at(150)), nullptr);
    }

    // Starts the daemon with strace in front (and in front of any emulator)
    // logging every call that syncs, links or renames, with the paths of
    // its descriptors.
    static constexpr const char* kSyncsLinksRenames =
        "fsync,fdatasync,syncfs,sync_file_range,sync,msync,link,linkat,rename,renameat,renameat2";

    Daemon& spawn_traced(const std::vector<std::string>& args, const std::string& log,
                         const std::string& calls = kSyncsLinksRenames) {
        const char* prior = getenv("VELTARIS_EMULATOR");
        std::string saved = prior ? prior : "";
        setenv("VELTARIS_EMULATOR",
               (strace_ + " -f -qq -e signal=none -y -o " + log + " -e trace=" + calls + " " + saved).c_str(),
               1);
        Daemon& d = spawn_daemon(args);
        if (prior) {
            setenv("VELTARIS_EMULATOR", saved.c_str(), 1);
        } else {
            unsetenv("VELTARIS_EMULATOR");
        }
        return d;
    }

    struct Calls {
        std::vector<std::string> syncs_and_links;  // in order, named by what they touch
        std::vector<std::string> renames;
        int renames_of(const std::string& name) const {
            int n = 0;
            for (const std::string& r : renames) n += r.find(name) != std::string::npos ? 1 : 0;
            return n;
        }
    };

    // "sync(record)" for the permission record's file, "sync(dir)" for
    // the private directory, "link" for the record's name; any other sync
    // or link with its whole line.
    static Calls read_calls(const std::string& log) {
        Calls calls;
        for (std::string line : tracing::read_lines(log)) {
            line = line.substr(std::min(line.size(), line.find_first_not_of("0123456789 ")));
            const std::string name = line.substr(0, line.find('('));
            if (name.starts_with("rename")) {  // renameat* where the emulator runs an arm binary
                calls.renames.push_back(line);
            } else if (name == "link" || name == "linkat") {
                bool record = line.find("\"" PERMISSION_RECORD_PATH "\"") != std::string::npos;
                calls.syncs_and_links.push_back(record ? "link" : line);
            } else if (line.find("<" PRIVATE_DIR ">)") != std::string::npos) {
                calls.syncs_and_links.push_back("sync(dir)");
            } else if (name == "fsync" && line.find("<" PRIVATE_DIR "/#") != std::string::npos) {
                calls.syncs_and_links.push_back("sync(record)");  // still unnamed
            } else if (!name.empty()) {
                calls.syncs_and_links.push_back(line);
            }
        }
        return calls;
    }
};

TEST_F(FlashSyncTest, OnlyThePermissionRecordAndItsNameAreSynced) {
    const std::string log = "/sandbox/flash-sync-main.log";
    Daemon& d = spawn_traced({"--daemon", "--node", kNodePath}, log);
    // The daemon is strace's child; its readiness line names it.
    auto ready = d.wait_for_line("NATIVE_READY ", 20s);
    ASSERT_TRUE(ready) << d.stderr_text();
    ASSERT_TRUE(wait_signal_caught(atoi(ready->c_str() + ready->find(" pid=") + 5), SIGTERM, 20s));
    // Arming at SET, a heartbeat, the release at a pause, the arming
    // again at resume, the release at STOP.
    ASSERT_TRUE(hold(Lease{}));
    auto armed = read_health();
    ASSERT_TRUE(armed);
    ASSERT_TRUE(wait_renewing([&] { auto h = read_health(); return h && h->time != armed->time; }, 6s))
        << "no heartbeat";
    Lease paused;
    paused.active = 0;
    write_lease(paused);
    ASSERT_TRUE(wait_line(d, "NATIVE_PAUSED ", 5s));
    node_->set_value(90);  // so that the resume writes, and arms the guard
    write_lease(Lease{});
    ASSERT_TRUE(wait_line(d, "NATIVE_RESUMED ", 5s));
    ASSERT_TRUE(wait_renewing([&] { return node_->mode() == 0444; }, 5s)) << "not armed again";
    expect_stop_releases(d);

    Calls calls = read_calls(log);
    const std::vector<std::string> twice = {"sync(record)", "link", "sync(dir)",
                                            "sync(record)", "link", "sync(dir)"};
    EXPECT_EQ(calls.syncs_and_links, twice)
        << "each arming syncs the record, names it, then syncs the directory; nothing else is synced";
    EXPECT_GE(calls.renames_of(MAIN_PANEL_HEALTH_NAME), 5) << "arm, heartbeat, pause, resume, shutdown";
}

TEST_F(FlashSyncTest, OutdoorModeSyncsNothing) {
    const std::string log = "/sandbox/flash-sync-outdoor.log";
    Daemon& d = spawn_traced({"--outdoor", "--node", kNodePath}, log);
    // The daemon is strace's child; its first health record names it.
    pid_t pid = 0;
    auto recorded = [&] {
        pid = atoi(read_file(kOutdoorHealth).value_or("{\"pid\":0").c_str() + strlen("{\"pid\":"));
        return pid > 0;
    };
    ASSERT_TRUE(wait_until(recorded, 20s, 5ms));
    ASSERT_TRUE(wait_signal_caught(pid, SIGTERM, 20s));
    kill(pid, SIGTERM);
    EXPECT_EQ(d.wait_exit(20s), 0);

    Calls calls = read_calls(log);
    EXPECT_EQ(calls.syncs_and_links, std::vector<std::string>{});
    EXPECT_EQ(calls.renames_of("outdoor-node-health.json"), 2) << "\"waiting\" and \"stopped\"";
}

// The owner's keeper renews the lease every few seconds for as long as the
// owner's hold lasts: each renewal is one rename and no sync, since a
// lease's deadline means nothing after a reboot.
TEST_F(FlashSyncTest, TheOwnersKeeperSyncsNothing) {
    if (getenv("VELTARIS_EMULATOR")) GTEST_SKIP() << "the client starts the daemon beside it, not the emulated one";
    ProgramResult hold = run_program({client_binary(), "hold", "150", "--node", kNodePath});
    ASSERT_EQ(hold.code, 0) << hold;
    pid_t keeper = atoi(read_file(PRIVATE_DIR "/owner-hold.pid").value_or("0").c_str());
    ASSERT_GT(keeper, 0);
    const std::string log = "/sandbox/flash-sync-keeper.log";
    pid_t tracer = start_program({strace_, "-qq", "-e", "signal=none", "-y", "-o", log, "-e",
                                  std::string("trace=") + kSyncsLinksRenames, "-p", std::to_string(keeper)});
    ASSERT_GT(tracer, 0);
    // Two renewals seen whole.
    EXPECT_TRUE(wait_until([&] { return read_calls(log).renames_of(MAIN_PANEL_LEASE_NAME) >= 2; }, 20s))
        << read_file(log).value_or("(no trace)");
    stop_process(tracer, SIGINT);
    EXPECT_EQ(run_program({client_binary(), "release"}).code, 0);
    // Its links are the naming of each new lease file before the rename.
    std::vector<std::string> syncs;
    for (const std::string& call : read_calls(log).syncs_and_links) {
        if (!call.starts_with("linkat(") && call != "link") syncs.push_back(call);
    }
    EXPECT_EQ(syncs, std::vector<std::string>{});
}

// Outdoor mode takes the main-panel lock for an instant, as a probe and
// for each write: a lock found taken is a main-panel daemon's, and the
// turn goes on at once. Waiting for it, as a main-panel start does, would
// stall every turn (and a stop) for as long as that daemon runs.
TEST_F(FlashSyncTest, OutdoorModeNeverWaitsForTheMainPanelLock) {
    // An emulator's own threads sleep (qemu-user's RCU thread, every 10 ms),
    // and strace cannot tell them from the daemon's: the host binary shows
    // what the code does.
    const char* emulator = getenv("VELTARIS_EMULATOR");
    if (emulator != nullptr && *emulator != '\0') GTEST_SKIP() << "under " << emulator;
    int lock = open(kMainPanelLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0) << strerror(errno);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const std::string log = "/sandbox/outdoor-lock.log";
    Daemon& d = spawn_traced({"--outdoor", "--node", kNodePath}, log, "flock,nanosleep,clock_nanosleep");
    auto probes = [&] {
        int n = 0;
        for (const std::string& line : tracing::read_lines(log)) n += line.find("LOCK_NB") != std::string::npos;
        return n;
    };
    // The outdoor lock at start, then a probe a turn: the first, and one
    // for each file moved into /data/system.
    const std::string moved = std::string(kSystemDir) + "/turn";
    ASSERT_TRUE(wait_until([&] { return probes() >= 2; }, 20s)) << "no first turn";
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(write_file(moved + ".tmp", "x", 0600));
        ASSERT_EQ(rename((moved + ".tmp").c_str(), moved.c_str()), 0);
        ASSERT_TRUE(wait_until([&] { return probes() >= 2 + i; }, 20s)) << "turn " << i << " made no probe";
    }
    pid_t pid = atoi(read_file(kOutdoorHealth).value_or("{\"pid\":0").c_str() + strlen("{\"pid\":"));
    ASSERT_GT(pid, 0);
    kill(pid, SIGTERM);
    EXPECT_EQ(d.wait_exit(20s), 0);
    close(lock);
    for (const std::string& line : tracing::read_lines(log)) {
        EXPECT_EQ(line.find("sleep"), std::string::npos) << line;
        if (line.find("flock(") != std::string::npos) {
            EXPECT_NE(line.find("LOCK_NB"), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace sandbox::main_panel
