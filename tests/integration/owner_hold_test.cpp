// The owner's hold (veltarisctl hold, release, page) against the real
// daemon and a fake node: the keeper writes the lease as uid 1000 and
// renews it, a second hold changes the value through it, release and the
// keeper's death give the node's bits back, and nothing overrides a
// platform client or starts on a value the node refuses.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

constexpr const char* kKeeperPid = PRIVATE_DIR "/owner-hold.pid";
constexpr auto kSettle = std::chrono::seconds(15);

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

ProgramResult ctl(const std::vector<std::string>& args, uid_t uid = 0) {
    std::vector<std::string> argv = {client_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramOptions options;
    options.uid = uid;
    options.gid = uid;
    return run_program(argv, options);
}

pid_t keeper_pid() {
    auto text = read_file(kKeeperPid);
    return text ? static_cast<pid_t>(atoi(text->c_str())) : 0;
}

// The real uid of a process, from its status.
long uid_of(pid_t pid) {
    auto status = read_file("/proc/" + std::to_string(pid) + "/status").value_or("");
    size_t at = status.find("\nUid:");
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + 5, nullptr, 10);
}

// The processes of this sandbox (its own network namespace) that run one
// of the project's binaries: what the hold command started.
std::vector<pid_t> started_here() {
    std::vector<pid_t> pids;
    char own_ns[64] = "";
    ssize_t n = readlink("/proc/self/ns/net", own_ns, sizeof own_ns - 1);
    if (n <= 0) return pids;
    DIR* dir = opendir("/proc");
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid() || !process_alive(pid)) continue;
        char ns[64] = "", exe[512] = "";
        std::string base = "/proc/" + std::to_string(pid);
        ssize_t a = readlink((base + "/ns/net").c_str(), ns, sizeof ns - 1);
        ssize_t b = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
        if (a != n || b <= 0 || std::string(ns) != own_ns) continue;
        std::string path(exe);
        if (has(path, "/veltarisd") || has(path, "/veltarisctl")) pids.push_back(pid);
    }
    if (dir) closedir(dir);
    return pids;
}

class OwnerHoldTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        node_ = add_node();
        ASSERT_NE(node_, nullptr);
    }
    void TearDown() override {
        for (pid_t pid : started_here()) stop_process(pid, SIGKILL);
        SandboxTest::TearDown();
    }
    // Until the daemon has ended and the node has its bits back.
    bool released() {
        return wait_until([&] { return !control_socket_listening() && (node_->mode() & 0222) != 0; }, kSettle);
    }
    FakeNode* node_ = nullptr;
};

TEST_F(OwnerHoldTest, HoldIsAUid1000LeaseOfALiveKeeperArmedAndSetOverTheSocket) {
    ProgramResult hold = ctl({"hold", "150"});
    ASSERT_EQ(hold.code, 0) << hold;
    EXPECT_TRUE(has(hold.out, "\"reason\":\"readback_ok\"")) << hold;
    EXPECT_EQ(node_->value(), 150);
    EXPECT_EQ(node_->mode() & 0222, 0u) << "the write bits are off while held";

    pid_t keeper = keeper_pid();
    ASSERT_TRUE(process_alive(keeper));
    EXPECT_EQ(file_mode(kKeeperPid), 0600);
    EXPECT_EQ(uid_of(keeper), static_cast<long>(kSystemUid)) << "the keeper runs as the system user";
    auto st = stat_path(kMainPanelLease);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->st_uid, kSystemUid);
    EXPECT_EQ(st->st_mode & 07777, 0600u);
    std::string first = read_file(kMainPanelLease).value_or("");
    EXPECT_TRUE(has(first, "owner " + std::to_string(keeper) + " ")) << first;
    // A new value comes from root alone: the system user's is not taken.
    ASSERT_EQ(run_as(kSystemUid, kSystemUid, [keeper] { return sigqueue(keeper, SIGUSR1, sigval{20}) == 0 ? 0 : 1; }),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(has(read_file(kMainPanelLease).value_or(""), " 1 150\n")) << read_file(kMainPanelLease).value_or("");
    // The keeper renews: a new deadline within one renewal period.
    EXPECT_TRUE(wait_until([&] { return read_file(kMainPanelLease).value_or("") != first; }, kSettle));

    // A second hold changes the value through the same keeper, up to the
    // node's maximum.
    ProgramResult change = ctl({"hold", "255"});
    ASSERT_EQ(change.code, 0) << change;
    EXPECT_EQ(node_->value(), 255);
    ASSERT_EQ(ctl({"hold", "90"}).code, 0);
    EXPECT_EQ(node_->value(), 90);
    EXPECT_EQ(keeper_pid(), keeper);
    EXPECT_EQ(started_here().size(), 2u) << "one daemon and one keeper";
    EXPECT_TRUE(wait_until([&] { return has(read_file(kMainPanelLease).value_or(""), " 1 90"); }, kSettle));

    ProgramResult status = ctl({"page", "status"});
    EXPECT_TRUE(has(status.out, "\"holder\":\"owner\"")) << status;
    EXPECT_TRUE(has(status.out, "\"owner\":{\"holding\":true,\"session\":\"owner\",\"value\":90,\"keeper_pid\":" +
                                    std::to_string(keeper)))
        << status;

    ProgramResult release = ctl({"page", "release"});
    EXPECT_TRUE(has(release.out, "{\"ok\":true,\"reason\":\"released\"")) << release;
    EXPECT_TRUE(released());
    EXPECT_FALSE(process_alive(keeper));
    EXPECT_FALSE(path_exists(kMainPanelLease));
    EXPECT_FALSE(path_exists(kKeeperPid));
    EXPECT_FALSE(path_exists(PRIVATE_DIR "/main-panel-permissions"));
    EXPECT_EQ(read_file(PRIVATE_DIR "/owner-hold.value").value_or(""), "90\n");
    EXPECT_EQ(file_mode(PRIVATE_DIR "/owner-hold.value"), 0600);
    EXPECT_TRUE(has(ctl({"release"}).err + ctl({"release"}).out, "owner holds nothing"));
}

TEST_F(OwnerHoldTest, AKeeperThatDiesEndsTheHoldWithTheBitsBack) {
    // The action button with no value held before: what the panel shows,
    // kept in the range the daemon holds.
    node_->set_value(5);
    ASSERT_EQ(ctl({"toggle"}).code, 0);
    EXPECT_EQ(node_->value(), 10);
    pid_t keeper = keeper_pid();
    ASSERT_TRUE(process_alive(keeper));
    ASSERT_EQ(stop_process(keeper, SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(released());
    EXPECT_FALSE(path_exists(PRIVATE_DIR "/main-panel-permissions"));
    // The owner holds again after that, at the last value, with a new keeper.
    node_->set_value(77);
    ASSERT_EQ(ctl({"toggle"}).code, 0);
    EXPECT_EQ(node_->value(), 10);
    EXPECT_NE(keeper_pid(), keeper);
}

TEST_F(OwnerHoldTest, NothingRunsOnARefusedValueOrOverAPlatformClient) {
    ProgramResult high = ctl({"page", "hold", "256"});
    EXPECT_TRUE(has(high.out, "\"reason\":\"value_out_of_range\"")) << high;
    EXPECT_TRUE(has(ctl({"hold", "9"}).err, "VALUE must be 10..65535"));
    EXPECT_TRUE(has(ctl({"page", "hold", "1;reboot"}).out, "\"reason\":\"usage\""));
    EXPECT_TRUE(started_here().empty());
    EXPECT_FALSE(path_exists(kMainPanelLease));
    EXPECT_TRUE(has(ctl({"page", "hold", "100"}, kSystemUid).out, "\"reason\":\"not_root\""));

    // The owner's choice of node is the module's node: a node the daemon
    // refuses is said so, and nothing is left running.
    FakeNodeOptions dim;
    dim.name = "dim";
    dim.maximum = 10;
    ASSERT_NE(add_node(dim), nullptr);
    ASSERT_TRUE(write_file(PRIVATE_DIR "/outdoor-node", "/sys/class/backlight/dim/brightness\n", 0600));
    ProgramResult refused = ctl({"page", "hold", "10"});
    EXPECT_TRUE(has(refused.out, "\"reason\":\"node_refused\",\"errno\":4,")) << refused;
    EXPECT_TRUE(started_here().empty());

    // Choosing outdoor mode's node: the usable nodes by number, 0 for the
    // probe's choice; only a process that is outdoor mode is ended for it.
    pid_t stranger = start_program({"sleep", "3600"});
    ASSERT_TRUE(write_file(PRIVATE_DIR "/outdoor.pid", std::to_string(stranger) + " " + boot_id() + "--outdoor\n"));
    EXPECT_TRUE(has(ctl({"page", "outdoor-node", "1"}).out, "{\"ok\":true,\"reason\":\"saved\""));
    EXPECT_EQ(read_file(PRIVATE_DIR "/outdoor-node"), std::string(kNodePath) + "\n");
    EXPECT_TRUE(has(ctl({"page", "outdoor-node", "2"}).out, "\"reason\":\"no_node\""));
    EXPECT_TRUE(has(ctl({"page", "outdoor-node", "0"}).out, "\"reason\":\"saved\""));
    EXPECT_FALSE(path_exists(PRIVATE_DIR "/outdoor-node"));
    EXPECT_TRUE(process_alive(stranger));
    stop_process(stranger);

    // A platform client's lease, armed: the owner neither holds nor releases.
    Daemon& d = spawn_daemon({"--daemon", "--node", kNodePath});
    std::string why;
    ASSERT_TRUE(wait_ready(d, &why)) << why;
    pid_t platform = start_named_process("system_server");
    ASSERT_GT(platform, 0);
    ASSERT_EQ(write_main_panel_lease("sys", platform, monotonic_ms() + 8000, 1, 200), 0);
    ASSERT_EQ(reason_of(send_request("ARM sys " + std::to_string(platform))), "armed");
    ProgramResult hold = ctl({"page", "hold", "100"});
    EXPECT_TRUE(has(hold.out, "\"reason\":\"platform_holds\"")) << hold;
    ProgramResult release = ctl({"release"});
    EXPECT_EQ(release.code, 1) << release;
    EXPECT_TRUE(has(release.err, "platform_holds")) << release;
    EXPECT_EQ(json_field(send_request("STATUS").value_or(""), "session").value_or(""), "sys");
    EXPECT_TRUE(has(read_file(kMainPanelLease).value_or(""), "sys "));
    stop_process(platform, SIGKILL);
}

// A main-panel daemon started by someone else and not armed: the owner's
// hold arms it rather than starting another.
TEST_F(OwnerHoldTest, HoldArmsADaemonThatRunsAlready) {
    Daemon& d = spawn_daemon({"--daemon", "--node", kNodePath});
    std::string why;
    ASSERT_TRUE(wait_ready(d, &why)) << why;
    ProgramResult hold = ctl({"hold", "120"});
    EXPECT_TRUE(has(hold.out, "\"reason\":\"readback_ok\"")) << hold;
    EXPECT_EQ(node_->value(), 120);
    EXPECT_TRUE(has(ctl({"release"}).out, "\"reason\":\"released\""));
    EXPECT_TRUE(released());
}

// A keeper record of another boot, or one naming a process that is no
// keeper, names no one: release signals nothing.
TEST_F(OwnerHoldTest, AKeeperRecordNamesOnlyAKeeperOfThisBoot) {
    // The word a keeper's command line holds, in a process of another kind.
    pid_t look_alike = start_program({"sh", "-c", "sleep 3600; :", "owner-keeper"});
    pid_t plain = start_program({"sleep", "3600"});
    std::string boot = boot_id();
    boot.pop_back();
    const std::string other_boot = "00000000-0000-4000-8000-000000000000";
    ASSERT_NE(boot, other_boot);
    for (const std::string& record : {std::to_string(look_alike) + " " + other_boot + "\nowner-keeper\n",
                                      std::to_string(plain) + " " + boot + "\nowner-keeper\n"}) {
        ASSERT_TRUE(write_file(kKeeperPid, record, 0600));
        ProgramResult release = ctl({"release"});
        EXPECT_EQ(release.code, 0) << release;
        EXPECT_TRUE(has(release.out, "owner holds nothing")) << release;
    }
    EXPECT_TRUE(process_alive(look_alike));
    EXPECT_TRUE(process_alive(plain));
    stop_process(look_alike);
    stop_process(plain);
}

}  // namespace
}  // namespace sandbox
