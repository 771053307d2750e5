#include <gtest/gtest.h>

#include <errno.h>

#include <string>

#include "client/control/watch.h"

namespace {

ctl::file_snapshot text_snapshot(const std::string& text, bool system_owned = true) {
    ctl::file_snapshot s;
    s.text = text;
    s.system_owned = system_owned;
    return s;
}

ctl::file_snapshot error_snapshot(int err) {
    ctl::file_snapshot s;
    s.error = err;
    return s;
}

TEST(CtlWatch, DescribesMissingUnreadableAndEmptyFiles) {
    EXPECT_EQ(ctl::describe_snapshot(error_snapshot(ENOENT)), "absent");
    EXPECT_EQ(ctl::describe_snapshot(error_snapshot(EACCES)).rfind("unreadable (", 0), 0u);
    EXPECT_EQ(ctl::describe_snapshot(text_snapshot("")), "empty");
    EXPECT_EQ(ctl::describe_snapshot(text_snapshot("\n")), "empty");
}

TEST(CtlWatch, OneLinePerRecordWithControlBytesEscaped) {
    EXPECT_EQ(ctl::describe_snapshot(text_snapshot("120")), "120");
    EXPECT_EQ(ctl::describe_snapshot(text_snapshot(" 0 0 5\n")), " 0 0 5");
    EXPECT_EQ(ctl::describe_snapshot(text_snapshot("a\nb\tc\\\x01\n")), "a\\nb\\tc\\\\\\x01");
}

TEST(CtlWatch, HealthRecordsOfNoDaemonOfThisBootAreSaidToBeSo) {
    const int64_t now = 5000;
    EXPECT_EQ(ctl::judge_health_record(error_snapshot(ENOENT), now, false), " [no daemon of this boot]");
    EXPECT_EQ(ctl::judge_health_record(text_snapshot(""), now, true), " [no daemon of this boot]");
    EXPECT_EQ(ctl::judge_health_record(text_snapshot("s 1 0 9000\n"), now, false),
              " [written by an earlier boot: no daemon of this boot]");
    EXPECT_EQ(ctl::judge_health_record(text_snapshot("s 1 0"), now, false), " [malformed]");
    EXPECT_EQ(ctl::judge_health_record(text_snapshot("s 1 0 4000\n"), now, false), "");
    EXPECT_EQ(ctl::judge_health_record(error_snapshot(EACCES), now, false), "");
}

TEST(CtlWatch, JudgesTheMainPanelLeaseLikeTheDaemon) {
    const int64_t now = 5000;
    EXPECT_EQ(ctl::judge_main_panel_lease(text_snapshot("s 10 7000 1 120\n"), now, 255),
              " [accepted: active target 120 pid 10, 2000 ms left]");
    EXPECT_EQ(ctl::judge_main_panel_lease(text_snapshot("s 10 7000 0 120\n"), now, 255),
              " [accepted: paused target 120 pid 10, 2000 ms left]");
    // Over the node's maximum, expired, or written by the wrong user.
    EXPECT_NE(
        ctl::judge_main_panel_lease(text_snapshot("s 10 7000 1 120\n"), now, 100).find("refused"),
        std::string::npos);
    EXPECT_NE(
        ctl::judge_main_panel_lease(text_snapshot("s 10 5000 1 120\n"), now, 255).find("refused"),
        std::string::npos);
    EXPECT_NE(ctl::judge_main_panel_lease(text_snapshot("s 10 7000 1 120\n", false), now, 255)
                  .find("uid 1000"),
              std::string::npos);
    EXPECT_EQ(ctl::judge_main_panel_lease(error_snapshot(ENOENT), now, 255), "");
}

// The daemon reads one buffer of 159 bytes; a file that fills it may have
// been cut, and is refused whatever follows.
TEST(CtlWatch, MainPanelLeaseThatFillsTheDaemonsBufferIsRefused) {
    std::string line = "s 10 7000 1 120";
    std::string padded = line + std::string(200 - line.size(), ' ') + "junk";
    EXPECT_NE(ctl::judge_main_panel_lease(text_snapshot(padded), 5000, 255).find("refused"),
              std::string::npos);
    std::string fits = line + std::string(158 - line.size(), ' ');
    EXPECT_NE(ctl::judge_main_panel_lease(text_snapshot(fits), 5000, 255).find("accepted"),
              std::string::npos);
}

TEST(CtlWatch, JudgesTheOutdoorLeaseLikeTheDaemon) {
    const int64_t now = 5000;
    EXPECT_EQ(ctl::judge_outdoor_lease(text_snapshot("v1 42 6000 500 1\n"), now),
              " [accepted: held ratio 500/1000 pid 42, 1000 ms left]");
    EXPECT_EQ(ctl::judge_outdoor_lease(text_snapshot("v2 42 6000 0 0\n"), now),
              " [accepted: not held level maximum pid 42, 1000 ms left]");
    EXPECT_EQ(ctl::judge_outdoor_lease(text_snapshot("v2 42 6000 300 1\n"), now),
              " [accepted: held level 300 pid 42, 1000 ms left]");
    EXPECT_NE(ctl::judge_outdoor_lease(text_snapshot("v1 42 6501 500 1\n"), now).find("refused"),
              std::string::npos);
    EXPECT_NE(ctl::judge_outdoor_lease(text_snapshot(std::string(159, ' ')), now).find("refused"),
              std::string::npos);
}

TEST(CtlWatch, MaxBrightnessSibling) {
    EXPECT_EQ(ctl::max_brightness_path("/sys/class/backlight/panel0-backlight/brightness"),
              "/sys/class/backlight/panel0-backlight/max_brightness");
    EXPECT_EQ(ctl::max_brightness_path("brightness"), "max_brightness");
}

}  // namespace
