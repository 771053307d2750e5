// The main-panel health record as the client sees it at each moment of a
// daemon's life: on arming, as a heartbeat while holding, and last at
// shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

class MainPanelHealthTest : public MainPanelTest {};

TEST_F(MainPanelHealthTest, ArmWritesTheRecordAndHeartbeatsKeepItFresh) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(path_exists(kMainPanelHealth)) << "nothing is written before a hold";

    int64_t before = monotonic_ms();
    ASSERT_EQ(reason_of(arm(Lease{})), "armed");
    int64_t after = monotonic_ms();
    auto text = read_file(kMainPanelHealth);
    ASSERT_TRUE(text);
    auto first = parse_health(*text);
    ASSERT_TRUE(first) << *text;
    EXPECT_EQ(*text, std::string(kSession) + " 1 0 " + std::to_string(first->time) + "\n");
    EXPECT_GE(first->time, before);
    EXPECT_LE(first->time, after);
    auto st = stat_path(kMainPanelHealth);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->st_mode & 07777, 0644u);
    EXPECT_EQ(st->st_uid, 0u);
    EXPECT_FALSE(path_exists(kMainPanelHealthTmp)) << "the temporary file was moved into place";

    // While armed the record is rewritten about every two seconds.
    std::vector<int64_t> times = {first->time};
    ASSERT_TRUE(wait_renewing(
        [&] {
            auto h = read_health();
            if (h && h->time != times.back()) {
                EXPECT_EQ(h->session, kSession);
                EXPECT_EQ(h->holding, 1);
                EXPECT_EQ(h->err, 0);
                times.push_back(h->time);
            }
            return times.size() >= 3;
        },
        std::chrono::seconds(12)));
    for (size_t i = 1; i < times.size(); ++i) {
        int64_t gap = times[i] - times[i - 1];
        EXPECT_GE(gap, 2000) << "no heartbeat before the period is over";
        EXPECT_LE(gap, 4500) << "a heartbeat is not much later than the period";
    }

    // The last record, after STOP, has no session and no holding flag.
    int64_t stop_at = monotonic_ms();
    EXPECT_EQ(reason_of(request("STOP")), "released");
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
    text = read_file(kMainPanelHealth);
    ASSERT_TRUE(text);
    auto last = parse_health(*text);
    ASSERT_TRUE(last) << *text;
    EXPECT_EQ(*text, " 0 0 " + std::to_string(last->time) + "\n");
    EXPECT_GE(last->time, stop_at);
    EXPECT_LE(last->time, monotonic_ms());
}

TEST_F(MainPanelHealthTest, SignalBeforeAnyArmLeavesAnIdleRecord) {
    Daemon* d = start_with_node();
    ASSERT_NE(d, nullptr);
    int64_t before = monotonic_ms();
    expect_sigterm_ends(*d);
    auto text = read_file(kMainPanelHealth);
    ASSERT_TRUE(text);
    auto h = parse_health(*text);
    ASSERT_TRUE(h) << *text;
    EXPECT_EQ(*text, " 0 0 " + std::to_string(h->time) + "\n");
    EXPECT_GE(h->time, before);
    EXPECT_LE(h->time, monotonic_ms());
    EXPECT_EQ(node_->writes_received(), 0);
    expect_node_released();
}

TEST_F(MainPanelHealthTest, NewSessionInTheLeaseIsRecordedAtOnce) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(reason_of(arm(Lease{})), "armed");
    auto first = read_health();
    ASSERT_TRUE(first);

    // The client names a new session under the same pid: the loop follows
    // it, records it without waiting for the heartbeat and says so.
    Lease renamed;
    renamed.session = "hold-B_2";
    write_lease(renamed);
    auto line = wait_line(*d, "NATIVE_RESUMED ", std::chrono::seconds(5));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_RESUMED target=150");
    auto h = read_health();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->session, "hold-B_2");
    EXPECT_EQ(h->holding, 1);
    EXPECT_LT(h->time - first->time, 2000) << "written on the change, not on the heartbeat";
    EXPECT_EQ(json_field(request("STATUS").value_or(""), "session"), "hold-B_2");

    EXPECT_EQ(reason_of(request("STOP hold-B_2", kSystemUid)), "released");
    EXPECT_EQ(d->wait_exit(std::chrono::seconds(10)), 0);
}

}  // namespace
}  // namespace sandbox::main_panel
