// The owner's hold, pure: arguments, who holds the panel, the keeper's end
// and the page's JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/owner/owner.h"

namespace ctl {
namespace {

struct ArgsRow {
    std::vector<std::string> args;
    bool ok;
    owner_verb verb;
    int32_t value;
};

TEST(OwnerArgsTest, EveryNumberAndNameIsCheckedBeforeAnythingRuns) {
    const ArgsRow rows[] = {
        {{"hold", "10"}, true, owner_verb::hold, 10},
        {{"hold", "65535", "--session", "a_b-9"}, true, owner_verb::hold, 65535},
        {{"hold", "9"}, false, owner_verb::hold, 0},
        {{"hold", "65536"}, false, owner_verb::hold, 0},
        {{"hold", "1e3"}, false, owner_verb::hold, 0},
        {{"hold", "+50"}, false, owner_verb::hold, 0},
        {{"hold", " 50"}, false, owner_verb::hold, 0},
        {{"hold", "50;reboot"}, false, owner_verb::hold, 0},
        {{"hold", "99999999999999999999"}, false, owner_verb::hold, 0},
        {{"hold"}, false, owner_verb::hold, 0},
        {{"hold", "50", "--session", "a.b"}, false, owner_verb::hold, 0},
        {{"hold", "50", "--session", std::string(81, 'a')}, false, owner_verb::hold, 0},
        {{"hold", "50", "--node", "relative"}, false, owner_verb::hold, 0},
        {{"release", "--node", "/sys/x"}, false, owner_verb::release, 0},
        {{"release", "5"}, false, owner_verb::release, 0},
        {{"toggle"}, true, owner_verb::toggle, 0},
        {{"page", "status"}, true, owner_verb::page_status, 0},
        {{"page", "status", "1"}, false, owner_verb::page_status, 0},
        {{"page", "hold", "120"}, true, owner_verb::page_hold, 120},
        {{"page", "hold", "$(id)"}, false, owner_verb::page_hold, 0},
        {{"page", "release"}, true, owner_verb::page_release, 0},
        {{"page", "outdoor-node", "0"}, true, owner_verb::page_outdoor_node, 0},
        {{"page", "outdoor-node", "65"}, false, owner_verb::page_outdoor_node, 0},
        {{"page", "keep-on-uninstall", "1"}, true, owner_verb::page_keep, 1},
        {{"page", "keep-on-uninstall", "2"}, false, owner_verb::page_keep, 0},
        {{"page", "reboot"}, false, owner_verb::page_status, 0},
        {{"page"}, false, owner_verb::page_status, 0},
        {{"owner-keeper", "owner", "120"}, true, owner_verb::keeper, 120},
        {{"owner-keeper", "a/b", "120"}, false, owner_verb::keeper, 0},
    };
    for (const ArgsRow& row : rows) {
        std::string line;
        for (const std::string& a : row.args) line += a + " ";
        SCOPED_TRACE(line);
        owner_args out;
        std::string error;
        ASSERT_EQ(parse_owner_args(row.args, &out, &error), row.ok) << error;
        if (!row.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(out.verb, row.verb);
        EXPECT_EQ(out.value, row.value);
    }
}

TEST(OwnerHolderTest, OnlyTheKeepersLeaseAndTheOwnersSessionAreTheOwners) {
    panel_view armed_owner;
    armed_owner.daemon_answered = true;
    armed_owner.armed = true;
    armed_owner.session = "owner";
    armed_owner.keeper_pid = 42;
    armed_owner.lease_valid = true;
    armed_owner.lease_pid_alive = true;
    armed_owner.lease_pid = 42;
    armed_owner.lease_session = "owner";
    EXPECT_EQ(judge_holder(armed_owner, "owner"), panel_holder::owner);

    panel_view v = armed_owner;
    v.session = "platform1";
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::platform) << "another armed session";
    v = armed_owner;
    v.lease_pid = 43;
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::platform) << "a lease not the keeper's";
    v.lease_pid_alive = false;
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::owner) << "a lease whose writer died ends by itself";
    v = armed_owner;
    v.keeper_pid = 0;
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::platform) << "no keeper: a lease named owner is not ours";
    v = armed_owner;
    v.armed = false;
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::none);
    v.lease_session = "sys";
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::platform) << "a platform lease before its ARM";
    v = panel_view{};
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::none);
    v.daemon_answered = true;
    EXPECT_EQ(judge_holder(v, "owner"), panel_holder::none) << "a daemon not armed holds for no one";
}

TEST(OwnerKeeperTest, EndsWhenNoDaemonHoldsForIt) {
    const int64_t start = 100000;
    struct Row {
        bool present;
        std::string record;
        int64_t now;
        bool seen_before;
        keeper_verdict verdict;
    };
    const int64_t stale = int64_t{HEALTH_PERIOD_MS} + MAIN_PANEL_STALE_MARGIN_MS;
    const Row rows[] = {
        {true, "owner 1 0 100500\n", 101000, false, keeper_verdict::keep},
        {true, "owner 1 0 100500\n", 100500 + stale, false, keeper_verdict::keep},
        {true, "owner 1 0 100500\n", 100501 + stale, true, keeper_verdict::no_hold},
        {true, " 0 0 100700\n", 101000, false, keeper_verdict::hold_ended},
        {true, "owner 0 116 100700\n", 101000, true, keeper_verdict::hold_ended},
        {true, " 0 0 99000\n", 101000, false, keeper_verdict::keep},
        {true, "sys 1 0 100900\n", 101000, false, keeper_verdict::taken_over},
        {false, "", start + KEEPER_ARM_GRACE_MS, false, keeper_verdict::keep},
        {false, "", start + KEEPER_ARM_GRACE_MS + 1, false, keeper_verdict::no_hold},
        {false, "", 101000, true, keeper_verdict::no_hold},
        {true, "torn", 101000, false, keeper_verdict::keep},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.record + " at " + std::to_string(row.now));
        bool seen = row.seen_before;
        EXPECT_EQ(judge_keeper(row.present, row.record, "owner", start, row.now, &seen), row.verdict);
    }
    bool seen = false;
    judge_keeper(true, "owner 1 0 100500\n", "owner", start, 101000, &seen);
    EXPECT_TRUE(seen);
}

TEST(OwnerPageJsonTest, TextFromFilesIsEscapedAndOnlyAReplyLineIsEmbedded) {
    const std::string reply =
        "{\"ok\":true,\"reason\":\"status\",\"backend\":\"raw_main_node\",\"armed\":true,\"errno\":0}\n";
    EXPECT_EQ(reply_object(reply), reply.substr(0, reply.size() - 1));
    EXPECT_EQ(reply_object("{\"ok\":true,\"reason\":\"a\\\"b\"}"), "null");
    EXPECT_EQ(reply_object("garbage"), "null");
    EXPECT_EQ(reply_object(""), "null");

    page_result r{false, "platform_holds", 0, "", "say \"no\"\n'; rm -rf /"};
    EXPECT_EQ(page_result_json(r),
              "{\"ok\":false,\"reason\":\"platform_holds\",\"errno\":0,\"reply\":null,"
              "\"detail\":\"say \\\"no\\\"\\u000a'; rm -rf /\"}");

    page_status s;
    s.log = {"a \"quoted\" line", "x"};
    s.outdoor_record = "{\"pid\":7,\"held\":true,\"inhibited\":false,\"base\":100,\"target\":177,"
                       "\"reason\":\"boosted\",\"uptime_ms\":5}\n";
    std::string json = page_status_json(s);
    EXPECT_NE(json.find("\"log\":[\"a \\\"quoted\\\" line\",\"x\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"record\":{\"pid\":7,\"held\":true,\"inhibited\":false,\"base\":100,\"target\":177,"
                        "\"reason\":\"boosted\",\"uptime_ms\":5}"),
              std::string::npos)
        << json;
    s.outdoor_record = "{\"pid\":7}";
    EXPECT_NE(page_status_json(s).find("\"record\":null"), std::string::npos);
}

TEST(OwnerLinesTest, LogTailLeaseFieldsAndTheSavedValue) {
    EXPECT_EQ(last_lines("a\nb\nc\n", 2), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(last_lines("a\nb", 5), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(last_lines("", 3).empty());
    EXPECT_EQ(lease_target("owner 12 99999 1 150\n"), 150);
    EXPECT_EQ(lease_target("owner 12 99999 1\n"), -1);
    std::string session;
    int32_t pid = 0;
    ASSERT_TRUE(lease_identity("sys 77 1 1 10", &session, &pid));
    EXPECT_EQ(session, "sys");
    EXPECT_EQ(pid, 77);
    EXPECT_FALSE(lease_identity("", &session, &pid));
    EXPECT_EQ(parse_owner_value("150\n"), 150);
    EXPECT_EQ(parse_owner_value("9\n"), 0);
    EXPECT_EQ(parse_owner_value("x"), 0);
}

}  // namespace
}  // namespace ctl
