// The daemon keeps working when the files around it, or its clients, are
// hostile: obstacles planted at the health record's temporary path or the
// lease path, a client that drips its request, a stop signal at any
// moment, and a device manager that gives the held node its write bits
// back.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

class MainPanelMendTest : public MainPanelTest {
  protected:
    // Arms a hold on a fresh daemon and expects the health record to be
    // written whole despite whatever was planted before.
    Daemon* arm_and_check_record() {
        Daemon* d = start_daemon();
        if (d == nullptr) return nullptr;
        int64_t before = monotonic_ms();
        auto reply = arm(Lease{});
        if (reason_of(reply) != "armed") return nullptr;
        auto text = read_file(kMainPanelHealth);
        EXPECT_TRUE(text) << "no health record";
        if (!text) return d;
        auto h = parse_health(*text);
        EXPECT_TRUE(h) << *text;
        if (!h) return d;
        EXPECT_EQ(*text, std::string(kSession) + " 1 0 " + std::to_string(h->time) + "\n");
        EXPECT_GE(h->time, before);
        auto st = lstat_path(kMainPanelHealth);
        EXPECT_TRUE(st);
        if (st) {
            EXPECT_TRUE(S_ISREG(st->st_mode));
            EXPECT_EQ(st->st_uid, 0u) << "the record is the daemon's own file, not a planted one";
            EXPECT_EQ(st->st_mode & 07777, 0644u);
            EXPECT_EQ(st->st_nlink, 1u) << "the record shares its inode with no other name";
        }
        EXPECT_FALSE(path_exists(kMainPanelHealthTmp)) << "the temporary name was moved into place";
        return d;
    }

    void stop(Daemon* d) {
        EXPECT_EQ(reason_of(request("STOP")), "released");
        EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    }
};

// ---- the health record's temporary path ----

TEST_F(MainPanelMendTest, FifoAtHealthTempPathDoesNotBlock) {
    ASSERT_NE(make_node(node_at(150)), nullptr);
    ASSERT_EQ(run_as(kSystemUid, kSystemUid, [] { return mkfifo(kMainPanelHealthTmp, 0666) == 0 ? 0 : errno; }), 0);
    Daemon* d = arm_and_check_record();
    ASSERT_NE(d, nullptr);
    stop(d);
}

TEST_F(MainPanelMendTest, HardLinkAtHealthTempPathIsNotTruncated) {
    ASSERT_NE(make_node(node_at(150)), nullptr);
    // Another file of the system user, and a root-owned one it may link to
    // because anyone may write it (or where hard links are not protected).
    const std::string system_file = "/data/system/packages-of-the-system-user";
    const std::string root_file = "/data/system/root-owned-and-open";
    ASSERT_EQ(write_file_as(kSystemUid, kSystemUid, system_file, "keep me\n", 0600), 0);
    ASSERT_TRUE(write_file(root_file, "keep me\n", 0666));
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);
    for (const std::string& other : {system_file, root_file}) {
        SCOPED_TRACE(other);
        unlink(kMainPanelHealthTmp);
        ASSERT_EQ(link(other.c_str(), kMainPanelHealthTmp), 0) << strerror(errno);
        EXPECT_EQ(reason_of(arm(Lease{})), "armed");
        EXPECT_EQ(read_file(other), "keep me\n") << "the other file's content is untouched";
        auto st = stat_path(other);
        ASSERT_TRUE(st);
        EXPECT_EQ(st->st_nlink, 1u);
        EXPECT_EQ(st->st_mode & 07777, other == root_file ? 0666u : 0600u);
    }
    stop(d);
    EXPECT_EQ(read_file(system_file), "keep me\n");
}

TEST_F(MainPanelMendTest, FileOfAnotherOwnerAtHealthTempPathIsReplaced) {
    ASSERT_NE(make_node(node_at(150)), nullptr);
    ASSERT_EQ(run_as(kSystemUid, kSystemUid,
                     [] {
                         int fd = open(kMainPanelHealthTmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                         if (fd < 0) return errno;
                         int rc = write(fd, "planted\n", 8) == 8 && fchmod(fd, 0666) == 0 ? 0 : EIO;
                         close(fd);
                         return rc;
                     }),
              0);
    // The record that comes out is root's own file, not the planted one.
    Daemon* d = arm_and_check_record();
    ASSERT_NE(d, nullptr);
    stop(d);
}

TEST_F(MainPanelMendTest, SymlinkAtHealthTempPathFailsTheArm) {
    ASSERT_NE(make_node(node_at(150)), nullptr);
    const std::string target = "/data/system/health-link-target";
    ASSERT_EQ(symlink(target.c_str(), kMainPanelHealthTmp), 0);
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);
    write_lease(Lease{});
    StatusExpect failed{.ok = false, .reason = "health_state_failed", .actual = 150, .armed = true, .session = kSession,
        .err = ELOOP};
    EXPECT_EQ(request(arm_line()), status_json(failed));
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0) << "a hold without a record stops the daemon";
    EXPECT_FALSE(path_exists(target)) << "the link is never followed";
    EXPECT_FALSE(path_exists(kMainPanelHealth)) << "no record could be written, not even the last one";
    auto st = lstat_path(kMainPanelHealthTmp);
    ASSERT_TRUE(st);
    EXPECT_TRUE(S_ISLNK(st->st_mode));
    expect_node_released();
    EXPECT_EQ(node_->writes_received(), 0);
}

// ---- a client that drips its request ----

TEST_F(MainPanelMendTest, AFailedAcceptBacksOffForAWhileNotForAsLongAsTheDirectoryIsBusy) {
    Daemon* d = start_with_node();
    ASSERT_NE(d, nullptr);
    // The daemon's descriptor table is full: its next accept4 fails with
    // EMFILE and the socket is left out of the waits for a while.
    const pid_t pid = d->pid();
    int lowest_free = 0;
    while (path_exists("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(lowest_free))) ++lowest_free;
    struct rlimit normal;
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &normal), 0);
    struct rlimit full = normal;
    full.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &full, nullptr), 0);

    // Meanwhile other files in /data/system keep changing, each a reason to
    // wait again; the table frees up soon after the failure.
    std::atomic<bool> churning{true};
    std::thread churn([&] {
        const std::string tmp = std::string(kSystemDir) + "/churn.tmp";
        const std::string name = std::string(kSystemDir) + "/churn";
        const int64_t freed_at = monotonic_ms() + 150;
        bool freed = false;
        while (churning) {
            write_file(tmp, "x\n");
            rename(tmp.c_str(), name.c_str());
            if (!freed && monotonic_ms() >= freed_at) freed = prlimit(pid, RLIMIT_NOFILE, &normal, nullptr) == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    int fd = connect_control(0);
    auto reply = fd >= 0 ? exchange(fd, "STATUS\n", std::chrono::seconds(5)) : std::nullopt;
    churning = false;
    churn.join();
    if (fd >= 0) close(fd);
    EXPECT_EQ(reason_of(reply), "status") << "the connection waited for the directory to fall quiet";
    EXPECT_TRUE(d->running());
    expect_sigterm_ends(*d);
}

TEST_F(MainPanelMendTest, DrippingClientsCannotStallTheHold) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));

    // Root clients that send one byte every 100 ms and never finish their
    // line, reconnecting whenever the daemon gives up on them; each byte
    // would be in time for a receive timeout that restarts per byte.
    constexpr int kDrippers = 2;
    int fds[kDrippers];
    for (int& fd : fds) {
        fd = connect_control(0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, "S", 1, MSG_NOSIGNAL), 1);
    }
    std::string replies;
    int reconnects = 0;
    const int64_t foreign_at = monotonic_ms();
    node_->set_value(80);
    int64_t corrected_at = -1;
    for (int round = 0; round < 40; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        renew_if_due();
        if (corrected_at < 0 && node_->value() == 150) corrected_at = monotonic_ms();
        for (int& fd : fds) {
            char buf[512];
            ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) replies.append(buf, static_cast<size_t>(n));
            bool closed = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
                          send(fd, "T", 1, MSG_NOSIGNAL) != 1;
            if (closed) {
                close(fd);
                fd = connect_control(0);
                ASSERT_GE(fd, 0);
                ++reconnects;
            }
        }
        if (corrected_at >= 0 && round >= 20) break;
    }
    for (int fd : fds) close(fd);

    ASSERT_GE(corrected_at, 0) << "the foreign value was never corrected while the clients dripped";
    EXPECT_LT(corrected_at - foreign_at, 3000);
    EXPECT_EQ(replies, "") << "a request that never completes is never answered";
    EXPECT_GE(reconnects, 1) << "the daemon gave up on a dripping connection";
    auto line = wait_line(*d, "NATIVE_CORRECTION ", std::chrono::seconds(5));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_CORRECTION actual=80 target=150 count=1");
    EXPECT_EQ(reason_of(request("STATUS")), "status");
    stop(d);
    expect_node_released();
}

// ---- a stop signal at any moment ----

TEST_F(MainPanelMendTest, SigtermAtAnyMomentEndsPromptly) {
    ASSERT_NE(make_node(), nullptr);
    const std::string churn = std::string(kSystemDir) + "/churn";
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(testing::Message() << "round " << i);
        Daemon d;
        ASSERT_TRUE(d.start({"--daemon", "--node", kNodePath}));
        std::string why;
        ASSERT_TRUE(wait_ready(d, &why)) << why;
        // Spread the signal over the loop's first moments (its set-up, its
        // first turn, its wait), over a connection being served, and over
        // a stream of turns woken by file events in the lease directory,
        // where it may land between the stop-flag test and the wait. An
        // unarmed loop that missed it would sleep until the idle limit.
        switch (i % 3) {
            case 0:
                std::this_thread::sleep_for(std::chrono::microseconds(300 * i));
                d.signal(SIGTERM);
                break;
            case 1: {
                int fd = connect_control(0);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(send(fd, "STAT", 4, MSG_NOSIGNAL), 4);
                std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
                d.signal(SIGTERM);
                close(fd);
                break;
            }
            default:
                for (int k = 0; k < 50 + 10 * i; ++k) {
                    int fd = open(churn.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                    ASSERT_GE(fd, 0);
                    close(fd);
                }
                d.signal(SIGTERM);
                break;
        }
        const int64_t sent_at = monotonic_ms();
        EXPECT_EQ(d.wait_exit(std::chrono::seconds(3)), 0) << "the signal was missed until a later wake-up";
        EXPECT_LT(monotonic_ms() - sent_at, 3000);
        d.shutdown();
        if (HasFailure()) break;
    }
    expect_node_released();
}

TEST_F(MainPanelMendTest, SigtermInsideAStalledTurnEndsAtTheWait) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));

    // Stall the node's server, then pause the lease: the turn that follows
    // hands the node back and so blocks on the node, after its stop-flag
    // test. A SIGTERM sent while it is blocked must neither break the
    // release nor be lost: once the node answers, the turn completes (the
    // node is handed back and the pause announced) and the daemon ends,
    // rather than sleeping on towards its next heartbeat.
    const pid_t server = node_->server_pid();
    ASSERT_EQ(kill(server, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{server};
    Lease paused;
    paused.active = 0;
    write_lease(paused);
    const std::string wchan_path = "/proc/" + std::to_string(d->pid()) + "/wchan";
    std::string wchan;
    bool stalled = wait_until(
        [&] {
            wchan = read_file(wchan_path).value_or("");
            return wchan.find("fuse") != std::string::npos || wchan.find("request_wait") != std::string::npos;
        },
        std::chrono::seconds(5));
    if (!stalled && (wchan.empty() || wchan == "0")) {
        GTEST_SKIP() << "this kernel does not tell where a process waits";
    }
    ASSERT_TRUE(stalled) << "the turn did not stall on the node; it waits in " << wchan;
    d->signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(lines_starting(*d, "NATIVE_PAUSED ").empty()) << "the turn went on while the node was stalled";
    const int64_t resumed_at = monotonic_ms();
    ASSERT_EQ(kill(server, SIGCONT), 0);

    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    const int64_t ended_after = monotonic_ms() - resumed_at;
    std::string timeline;
    for (const auto& line : d->lines()) timeline += "\n  +" + std::to_string(line.at_ms - resumed_at) + " " + line.text;
    EXPECT_LT(ended_after, 3000) << "the signal was kept waiting; lines after the node answered:" << timeline;
    EXPECT_EQ(lines_starting(*d, "NATIVE_PAUSED "), std::vector<std::string>{"NATIVE_PAUSED target=150"});
    expect_node_released();
}

// ---- write bits given back while the node is held ----

TEST_F(MainPanelMendTest, WriteBitsGivenBackWhileHeldAreTakenAgain) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));
    expect_node_guarded();

    // As a device manager would on a change event.
    node_->set_mode(0664);
    ASSERT_TRUE(wait_renewing([&] { return node_->mode() == 0444u; }, std::chrono::seconds(3)))
        << "the write bits stayed on the held node";
    expect_node_guarded();
    EXPECT_EQ(node_->value(), 150);

    // And again, together with a foreign write.
    node_->set_mode(0666);
    node_->set_value(70);
    ASSERT_TRUE(wait_renewing([&] { return node_->mode() == 0444u && node_->value() == 150; },
                              std::chrono::seconds(3)));
    auto record = read_file(kPermissionRecord);
    ASSERT_TRUE(record);
    EXPECT_EQ(record_mode_line(*record), "664") << "the record keeps the bits found when the hold began";

    stop(d);
    expect_node_released();
}

// ---- an obstacle at the lease path ----

TEST_F(MainPanelMendTest, FifoAtLeasePathIsNoLeaseAndNeverHangs) {
    ASSERT_NE(make_node(node_at(150)), nullptr);
    const std::string fifo_tmp = "/data/system/.lease-fifo";
    auto plant_fifo = [&] {
        return run_as(kSystemUid, kSystemUid, [&] {
            unlink(fifo_tmp.c_str());
            if (mkfifo(fifo_tmp.c_str(), 0600) != 0) return errno;
            return rename(fifo_tmp.c_str(), kMainPanelLease) == 0 ? 0 : errno;
        });
    };
    ASSERT_EQ(plant_fifo(), 0);
    Daemon* d = start_daemon();
    ASSERT_NE(d, nullptr);

    StatusExpect stale{.ok = false, .reason = "stale_or_invalid_request", .actual = 150};
    EXPECT_EQ(request(arm_line()), status_json(stale)) << "a FIFO is no lease, and reading it does not block";
    StatusExpect idle{.actual = 150};
    EXPECT_EQ(request("STATUS"), status_json(idle));

    // A real lease, a hold, then the FIFO again in its place.
    ASSERT_TRUE(hold(Lease{}));
    expect_node_guarded();
    stop_renewing();
    int64_t since = monotonic_ms();
    ASSERT_EQ(plant_fifo(), 0);
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(5)), 0) << "the hold ends on a lease that is no lease";
    EXPECT_LT(monotonic_ms() - since, 5000);
    expect_node_released();
    auto h = read_health();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->holding, 0);
    EXPECT_EQ(h->session, kSession);
}

}  // namespace
}  // namespace sandbox::main_panel
