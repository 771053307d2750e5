// A lease that turns to paused hands the node back without ending the
// hold; turning active again takes it back and corrects it.
#include <gtest/gtest.h>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

class MainPanelPauseTest : public MainPanelTest {};

TEST_F(MainPanelPauseTest, PausedLeaseReleasesTheNodeAndResumeCorrectsIt) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));
    expect_node_guarded();

    Lease paused;
    paused.active = 0;
    write_lease(paused);
    auto line = wait_line(*d, "NATIVE_PAUSED ", std::chrono::seconds(5));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_PAUSED target=150");
    // The guard is released on the same turn, before the line.
    expect_node_released();
    auto paused_record = read_health();
    ASSERT_TRUE(paused_record);
    EXPECT_EQ(paused_record->session, kSession);
    EXPECT_EQ(paused_record->holding, 1);

    StatusExpect status{.target = 150, .actual = 150, .armed = true, .paused = true, .session = kSession,
        .write_attempts = 1, .write_successes = 1};
    EXPECT_EQ(request("STATUS"), status_json(status));
    EXPECT_EQ(reason_of(request("SET " + std::string(kSession) + " 150")), "stale_or_invalid_request")
        << "nothing is written while paused";

    // Another writer may now change the node, and it stays changed.
    node_->set_value(90);
    pass_time(std::chrono::milliseconds(1200));
    EXPECT_EQ(node_->value(), 90);
    EXPECT_TRUE(lines_starting(*d, "NATIVE_CORRECTION ").empty());

    // The heartbeat goes on while paused.
    ASSERT_TRUE(wait_renewing(
        [&] {
            auto h = read_health();
            return h && h->time != paused_record->time;
        },
        std::chrono::seconds(6)));
    auto beat = read_health();
    ASSERT_TRUE(beat);
    EXPECT_EQ(beat->session, kSession);
    EXPECT_EQ(beat->holding, 1);
    EXPECT_EQ(beat->err, 0);
    EXPECT_EQ(lines_starting(*d, "NATIVE_PAUSED ").size(), 1u) << "the pause is announced once";
    EXPECT_TRUE(d->running());

    // Active again: announced, and the foreign value is corrected at once.
    write_lease(Lease{});
    line = wait_line(*d, "NATIVE_RESUMED ", std::chrono::seconds(5));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_RESUMED target=150");
    ASSERT_TRUE(wait_renewing([&] { return node_->value() == 150; }, std::chrono::seconds(5)));
    line = wait_line(*d, "NATIVE_CORRECTION ", std::chrono::seconds(5));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_CORRECTION actual=90 target=150 count=1");
    expect_node_guarded();
    EXPECT_EQ(lines_starting(*d, "NATIVE_RESUMED ").size(), 1u);

    expect_stop_releases(*d);
}

// A supervisor that stops reading the daemon's standard error must not end
// the hold: each PAUSED, RESUMED and correction line then meets a pipe
// without a reader.
TEST_F(MainPanelPauseTest, LinesWithoutAReaderDoNotEndTheHold) {
    ASSERT_NE(make_node(node_at(150)), nullptr);
    Daemon* d = start_daemon(nullptr, {.close_stderr_after_ready = true});
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));
    Lease paused;
    paused.active = 0;
    write_lease(paused);
    ASSERT_TRUE(wait_renewing([&] { return request("STATUS").value_or("").find("\"paused\":true") != std::string::npos; },
                              std::chrono::seconds(5)))
        << "exit " << d->exit_code();
    node_->set_value(90);
    write_lease(Lease{});
    ASSERT_TRUE(wait_renewing([&] { return int_of(request("STATUS"), "corrections") == 1; }, std::chrono::seconds(5)))
        << "exit " << d->exit_code();
    EXPECT_EQ(node_->value(), 150);
    EXPECT_TRUE(d->running());
    expect_stop_releases(*d);
}

}  // namespace
}  // namespace sandbox::main_panel
