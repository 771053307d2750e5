#include "mainpanel/hold.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

const int64_t kNow = 100000;
const int32_t kMax = 255;

class SetAcceptance : public ::testing::Test {
  protected:
    void SetUp() override {
        hold_clear(&hold_);
        hold_arm(&hold_, "s1", 4242, kNow + 1000);
        hold_.target = 50;
    }
    hold_state hold_ = {};
};

TEST_F(SetAcceptance, StoresValuesWithinRange) {
    EXPECT_TRUE(accept_set_value(&hold_, "s1", 10, kMax, kNow));
    EXPECT_EQ(hold_.target, 10);
    EXPECT_TRUE(accept_set_value(&hold_, "s1", kMax, kMax, kNow));
    EXPECT_EQ(hold_.target, kMax);
}

TEST_F(SetAcceptance, RefusalsKeepTheTarget) {
    EXPECT_FALSE(accept_set_value(&hold_, "s1", 9, kMax, kNow));
    EXPECT_FALSE(accept_set_value(&hold_, "s1", kMax + 1, kMax, kNow));
    EXPECT_FALSE(accept_set_value(&hold_, "s2", 100, kMax, kNow));
    EXPECT_FALSE(accept_set_value(&hold_, "s1", 100, kMax, kNow + 1000));
    hold_.paused = 1;
    EXPECT_FALSE(accept_set_value(&hold_, "s1", 100, kMax, kNow));
    hold_.paused = 0;
    hold_.armed = 0;
    EXPECT_FALSE(accept_set_value(&hold_, "s1", 100, kMax, kNow));
    EXPECT_EQ(hold_.target, 50);
}

}  // namespace
