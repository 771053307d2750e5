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
