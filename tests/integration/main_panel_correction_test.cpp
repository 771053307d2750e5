// A held node defends its value: foreign writes are corrected by the hold
// loop and reported, and writers bound by permission bits are locked out.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/integration/main_panel_fixture.h"

namespace sandbox::main_panel {
namespace {

class MainPanelCorrectionTest : public MainPanelTest {
  protected:
    // What a writer of the system user gets when it opens the node for
    // writing: 0 or the errno.
    static int open_for_write_as_system() { return open_for_write_as(kSystemUid, kNodePath); }
};

TEST_F(MainPanelCorrectionTest, ForeignWriteIsCorrectedAndPermissionBoundWritersAreLockedOut) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(open_for_write_as_system(), 0) << "before the hold the system user may write the node";

    ASSERT_TRUE(hold(Lease{}));
    EXPECT_EQ(open_for_write_as_system(), EACCES) << "while held only the daemon's descriptor writes";

    const size_t from = d->line_count();
    node_->set_value(80);
    ASSERT_TRUE(wait_renewing([&] { return node_->value() == 150; }, std::chrono::seconds(5)))
        << "the foreign value was not corrected";
    auto line = wait_line(*d, "NATIVE_CORRECTION ", std::chrono::seconds(5), from);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_CORRECTION actual=80 target=150 count=1");

    StatusExpect held{.target = 150, .actual = 150, .armed = true, .session = kSession, .write_attempts = 2,
        .write_successes = 2, .corrections = 1};
    EXPECT_EQ(request("STATUS"), status_json(held));
    expect_node_guarded();
    EXPECT_EQ(open_for_write_as_system(), EACCES);

    expect_stop_releases(*d);
    EXPECT_EQ(open_for_write_as_system(), 0) << "after the hold the system user may write again";
}

TEST_F(MainPanelCorrectionTest, NineQuickCorrectionsPrintEightLinesButCountNine) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));

    for (int i = 1; i <= 9; ++i) {
        SCOPED_TRACE(i);
        node_->set_value(80 + i);
        // The next foreign write waits until this correction has been read
        // back too (the status reply comes between turns); one that landed
        // before the read-back would make it fail and end the hold.
        ASSERT_TRUE(wait_renewing(
            [&] { return node_->value() == 150 && int_of(request("STATUS"), "corrections") == i; },
            std::chrono::seconds(5)));
    }
    auto status = request("STATUS");
    EXPECT_EQ(int_of(status, "corrections"), 9) << status.value_or("");
    EXPECT_EQ(int_of(status, "write_successes"), 10) << "the SET and nine corrections";

    // The eighth line must have come; give a ninth every chance to show.
    ASSERT_TRUE(wait_line(*d, "NATIVE_CORRECTION actual=88 ", std::chrono::seconds(5)));
    pass_time(std::chrono::milliseconds(500));
    std::vector<std::string> expected;
    for (int i = 1; i <= 8; ++i) {
        expected.push_back("NATIVE_CORRECTION actual=" + std::to_string(80 + i) +
                           " target=150 count=" + std::to_string(i));
    }
    EXPECT_EQ(lines_starting(*d, "NATIVE_CORRECTION "), expected);

    expect_stop_releases(*d);
}

TEST_F(MainPanelCorrectionTest, NewTargetInTheLeaseIsWrittenWithoutSet) {
    Daemon* d = start_with_node(node_at(150));
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(hold(Lease{}));

    Lease next;
    next.target = 60;
    write_lease(next);
    ASSERT_TRUE(wait_renewing([&] { return node_->value() == 60; }, std::chrono::seconds(5)));
    auto line = wait_line(*d, "NATIVE_CORRECTION ", std::chrono::seconds(5));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "NATIVE_CORRECTION actual=150 target=60 count=1");
    expect_node_guarded();

    expect_stop_releases(*d);
}

}  // namespace
}  // namespace sandbox::main_panel
