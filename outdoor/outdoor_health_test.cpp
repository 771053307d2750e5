#include "outdoor/outdoor_health.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

struct health_row {
    const char* what;
    int pid;
    boost_state state;  // only held, inhibited, base and target are reported
    const char* reason;
    int64_t uptime_ms;
    const char* line;
};

TEST(OutdoorHealthFormat, ExactLines) {
    const health_row rows[] = {
        {"first record of a run", 321, {}, "waiting", 5,
         "{\"pid\":321,\"held\":false,\"inhibited\":false,\"base\":0,\"target\":0,"
         "\"reason\":\"waiting\",\"uptime_ms\":5}\n"},
        {"a boost", 4321, {1234, 100, 177, 1, 0, 100, 1000}, "boosted", 123456789012,
         "{\"pid\":4321,\"held\":true,\"inhibited\":false,\"base\":100,\"target\":177,"
         "\"reason\":\"boosted\",\"uptime_ms\":123456789012}\n"},
        {"overridden", 4321, {1234, 100, 177, 0, 1, 100, 1000}, "system_override", 7000,
         "{\"pid\":4321,\"held\":false,\"inhibited\":true,\"base\":100,\"target\":177,"
         "\"reason\":\"system_override\",\"uptime_ms\":7000}\n"},
        {"failed write reports both flags as given", 9, {1, 100, 255, 1, 1, 0, 0},
         "write_failed", 0,
         "{\"pid\":9,\"held\":true,\"inhibited\":true,\"base\":100,\"target\":255,"
         "\"reason\":\"write_failed\",\"uptime_ms\":0}\n"},
    };
    for (const health_row& row : rows) {
        SCOPED_TRACE(row.what);
        char buf[OUTDOOR_HEALTH_SIZE];
        int len = format_outdoor_health(buf, sizeof buf, row.pid, &row.state, row.reason,
                                        row.uptime_ms);
        ASSERT_EQ(len, static_cast<int>(strlen(row.line)));
        EXPECT_STREQ(buf, row.line);
    }
}

TEST(OutdoorHealthFormat, RefusesALineThatDoesNotFit) {
    const boost_state state = {};
    const char* line =
        "{\"pid\":1,\"held\":false,\"inhibited\":false,\"base\":0,\"target\":0,"
        "\"reason\":\"stopped\",\"uptime_ms\":1}\n";
    const size_t exact = strlen(line);
    char buf[OUTDOOR_HEALTH_SIZE];
    EXPECT_EQ(format_outdoor_health(buf, exact + 1, 1, &state, "stopped", 1),
              static_cast<int>(exact));
    EXPECT_EQ(format_outdoor_health(buf, exact, 1, &state, "stopped", 1), -1);

    char long_reason[OUTDOOR_HEALTH_SIZE];
    memset(long_reason, 'x', sizeof long_reason - 1);
    long_reason[sizeof long_reason - 1] = '\0';
    EXPECT_EQ(format_outdoor_health(buf, sizeof buf, 1, &state, long_reason, 1), -1);
}

}  // namespace
