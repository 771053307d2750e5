#include "node/node_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string backlight(const std::string& name) {
    return "/sys/class/backlight/" + name + "/brightness";
}
std::string led(const std::string& name) {
    return "/sys/class/leds/" + name + "/brightness";
}

TEST(NodePathPolicy, AcceptsMainPanelNames) {
    for (const std::string& path :
         {backlight("panel0-backlight"), backlight("Panel0-Backlight"), backlight("lcd01"),
          backlight("white"), backlight("mdss_dsi0:bl"), backlight("..."), backlight("panel_0"),
          backlight("lcd"), led("lcd-backlight"), led("MDSS-BL"), led("primary-backlight"),
          led("panel0"), backlight(std::string(96, 'a'))}) {
        EXPECT_TRUE(node_path_allowed(path.c_str())) << path;
    }
}

TEST(NodePathPolicy, RefusesSecondPanelsAndOtherLights) {
    for (const std::string& path :
         {backlight("panel1-backlight"), backlight("panel_2"), backlight("display-3"),
          backlight("lcd10"), backlight("lcd0panel9"), backlight("secondary_panel"),
          backlight("keyboard-backlight"), backlight("sub-display"), backlight("KBD"),
          backlight("Torch"), backlight("rgb"), backlight("notification"),
          led("flashlight"), led("white"), led("lcd0-backlight0"), led("panel1")}) {
        EXPECT_FALSE(node_path_allowed(path.c_str())) << path;
    }
}

TEST(NodePathPolicy, RefusesMalformedShapes) {
    for (const std::string& path :
         {std::string("/sys/class/backlight/./brightness"),
          std::string("/sys/class/backlight/../brightness"),
          std::string("/sys/class/backlight//brightness"),
          std::string("/sys/class/backlight/x/brightness/"),
          std::string("/sys/class/backlight/x/y/brightness"),
          std::string("/sys/class/backlight/x/max_brightness"),
          std::string("/sys/class/backlight/x"), std::string("/SYS/class/backlight/x/brightness"),
          std::string("/sys/devices/x/brightness"), std::string(""),
          backlight(std::string(97, 'a')), backlight("a b"), backlight("a+b"), backlight("a@b"),
          backlight("caf\xc3\xa9"), backlight("tab\there")}) {
        EXPECT_FALSE(node_path_allowed(path.c_str())) << path;
    }
}

TEST(NodePathPolicy, NumberedSiblingScanContinuesAfterEachWord) {
    // The first "panel" is followed by 0, the second by 7.
    EXPECT_FALSE(node_path_allowed(backlight("panel0panel-7").c_str()));
    EXPECT_TRUE(node_path_allowed(backlight("panel0panel-0").c_str()));
    // Only one separator is skipped.
    EXPECT_TRUE(node_path_allowed(backlight("panel__1").c_str()));
    EXPECT_FALSE(node_path_allowed(backlight("display_1").c_str()));
}

}  // namespace

namespace {

struct verdict_case {
    std::string path;
    node_path_verdict verdict;
};

// The first rule a path breaks is the one named.
TEST(NodePathPolicy, VerdictNamesTheFirstRuleBroken) {
    const verdict_case cases[] = {
        {backlight("panel0-backlight"), NODE_PATH_ACCEPTED},
        {led("lcd-backlight"), NODE_PATH_ACCEPTED},
        {"/sys/devices/x/brightness", NODE_PATH_NOT_CLASS_NODE},
        {"/sys/class/backlight/x/max_brightness", NODE_PATH_NOT_CLASS_NODE},
        {"/sys/class/backlight//brightness", NODE_PATH_NAME_LENGTH},
        {backlight(std::string(97, 'a')), NODE_PATH_NAME_LENGTH},
        {backlight("a b"), NODE_PATH_BAD_BYTE},
        {backlight("second panel1"), NODE_PATH_BAD_BYTE},
        {backlight(".."), NODE_PATH_DOT_NAME},
        {backlight("keyboard-backlight"), NODE_PATH_DENY_WORD},
        {backlight("panel1-rgb"), NODE_PATH_DENY_WORD},
        {backlight("panel1-backlight"), NODE_PATH_NUMBERED_SIBLING},
        {led("white"), NODE_PATH_NOT_LED_PANEL},
    };
    for (const verdict_case& c : cases) {
        EXPECT_EQ(judge_node_path(c.path.c_str()), c.verdict) << c.path;
        EXPECT_EQ(node_path_allowed(c.path.c_str()), c.verdict == NODE_PATH_ACCEPTED) << c.path;
    }
}

TEST(NodePathPolicy, RealPathVerdict) {
    EXPECT_EQ(judge_real_path("/sys/devices/platform/panel/backlight/panel0/brightness"), REAL_PATH_OK);
    EXPECT_EQ(judge_real_path("/sys/devices/\xc3\xa9/brightness"), REAL_PATH_OK);
    EXPECT_EQ(judge_real_path("/data/panel/brightness"), REAL_PATH_OUTSIDE_DEVICES);
    EXPECT_EQ(judge_real_path("/sys/device/x"), REAL_PATH_OUTSIDE_DEVICES);
    std::string longest = "/sys/devices/" + std::string(767 - 13, 'a');
    EXPECT_EQ(judge_real_path(longest.c_str()), REAL_PATH_OK);
    EXPECT_EQ(judge_real_path((longest + "a").c_str()), REAL_PATH_TOO_LONG);
    EXPECT_EQ(judge_real_path("/sys/devices/a b/brightness"), REAL_PATH_BAD_BYTE);
    EXPECT_EQ(judge_real_path("/sys/devices/a\"b/brightness"), REAL_PATH_BAD_BYTE);
    EXPECT_EQ(judge_real_path("/sys/devices/a\\b/brightness"), REAL_PATH_BAD_BYTE);
}

}  // namespace
