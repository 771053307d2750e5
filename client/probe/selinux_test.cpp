#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "client/probe/selinux.h"

namespace {

using ctl::connect_answer;

TEST(CtlSelinux, NumberFiles) {
    struct number_case {
        const char* text;
        uint32_t max;
        bool ok;
        uint32_t value;
    };
    const number_case cases[] = {
        {"80\n", ctl::SELINUX_CLASS_MAX, true, 80},   {"80", ctl::SELINUX_CLASS_MAX, true, 80},
        {"65535\n", ctl::SELINUX_CLASS_MAX, true, 65535}, {"65536\n", ctl::SELINUX_CLASS_MAX, false, 0},
        {"32\n", ctl::SELINUX_PERM_MAX, true, 32},     {"33\n", ctl::SELINUX_PERM_MAX, false, 0},
        {"0\n", ctl::SELINUX_PERM_MAX, false, 0},      {"", ctl::SELINUX_PERM_MAX, false, 0},
        {" 8\n", ctl::SELINUX_PERM_MAX, false, 0},     {"8x\n", ctl::SELINUX_PERM_MAX, false, 0},
        {"-1\n", ctl::SELINUX_PERM_MAX, false, 0},     {"99999999999\n", ctl::SELINUX_CLASS_MAX, false, 0},
    };
    for (const number_case& c : cases) {
        uint32_t got = 0;
        EXPECT_EQ(ctl::parse_selinux_number(c.text, c.max, &got), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(got, c.value) << c.text;
        }
    }
}

TEST(CtlSelinux, AccessDecision) {
    // As the kernel writes it: "%x %x %x %x %u %x", seqno in decimal.
    ctl::access_decision d;
    ASSERT_TRUE(ctl::parse_access_decision("1d7f 7fffffff 0 fffafb7f 12 1", &d));
    EXPECT_EQ(d.allowed, 0x1d7fu);
    EXPECT_EQ(d.decided, 0x7fffffffu);
    EXPECT_EQ(d.auditdeny, 0xfffafb7fu);
    EXPECT_EQ(d.seqno, 12u);
    EXPECT_EQ(d.flags, 1u);
    ASSERT_TRUE(ctl::parse_access_decision("ffffffff ffffffff 0 ffffffff 3\n", &d)) << "old kernels: no flags";
    EXPECT_EQ(d.flags, 0u);
    for (const char* bad : {"", "1 2 3 4", "1 2 3 4 5 6 7", "g 2 3 4 5 6", "1 2 3 4 a 6", "100000000 2 3 4 5 6",
                            "-1 2 3 4 5 6"}) {
        EXPECT_FALSE(ctl::parse_access_decision(bad, &d)) << bad;
    }
}

// The platform client is the source that asks to connect, the daemon's
// domain the target; the other way round would ask whether the daemon may
// connect to the client.
TEST(CtlSelinux, QueryAsksForTheClient) {
    EXPECT_EQ(ctl::connect_query(0, "u:r:su:s0", 80), "u:r:system_server:s0 u:r:su:s0 80");
    EXPECT_EQ(ctl::connect_query(1, "u:r:magisk:s0", 7), "u:r:system_app:s0 u:r:magisk:s0 7");
}

TEST(CtlSelinux, ConnecttoIsItsOwnBit) {
    ctl::access_decision d;
    d.decided = 0xffffffff;
    d.allowed = 1u << 4;  // permission number 5
    EXPECT_EQ(ctl::judge_access(d, 5).answer, connect_answer::allowed);
    EXPECT_EQ(ctl::judge_access(d, 4).answer, connect_answer::denied);
    EXPECT_EQ(ctl::judge_access(d, 6).answer, connect_answer::denied);
    d.decided = ~(1u << 4);
    EXPECT_EQ(ctl::judge_access(d, 5).answer, connect_answer::unknown);
    d.decided = 0xffffffff;
    d.allowed = 0x80000000;
    EXPECT_EQ(ctl::judge_access(d, 32).answer, connect_answer::allowed);
    for (uint32_t out_of_range : {0u, 33u}) {
        ctl::selinux_connect c = ctl::judge_access(d, out_of_range);
        EXPECT_EQ(c.answer, connect_answer::unknown);
        EXPECT_FALSE(c.reason.empty());
    }
    d.flags = ctl::AVD_FLAG_PERMISSIVE;
    EXPECT_TRUE(ctl::judge_access(d, 5).permissive_source);
}

TEST(CtlSelinux, ModeContextAndDomain) {
    EXPECT_EQ(ctl::selinux_mode(ENOENT, ""), "disabled");
    EXPECT_EQ(ctl::selinux_mode(0, "1"), "enforcing");
    EXPECT_EQ(ctl::selinux_mode(0, "0\n"), "permissive");
    EXPECT_EQ(ctl::selinux_mode(0, "2"), "unknown");
    EXPECT_EQ(ctl::selinux_mode(EACCES, ""), "unknown");

    EXPECT_EQ(ctl::clean_context(std::string("u:r:su:s0\0", 10)), "u:r:su:s0");
    EXPECT_EQ(ctl::clean_context("u:r:ksu:s0\n"), "u:r:ksu:s0");
    const std::pair<const char*, const char*> domains[] = {
        {"u:r:su:s0", "su"},          {"u:r:magisk:s0:c512,c768", "magisk"},
        {"u:r:ksu", "ksu"},           {"unconfined", ""},
        {"u:r::s0", ""},              {":r:su:s0", ""},
        {"u:r:su domain:s0", ""},     {"", ""},
    };
    for (const auto& [context, domain] : domains) EXPECT_EQ(ctl::selinux_domain(context), domain) << context;
}

ctl::selinux_view view_of(const char* mode, connect_answer server, connect_answer app) {
    ctl::selinux_view v;
    v.mode = mode;
    v.context = "u:r:su:s0";
    v.domain = "su";
    v.connect[0].answer = server;
    v.connect[1].answer = app;
    return v;
}

TEST(CtlSelinux, LinesSayWhetherTheRuleIsInForce) {
    ctl::selinux_view v = view_of("enforcing", connect_answer::denied, connect_answer::allowed);
    EXPECT_EQ(ctl::selinux_connect_line(v, 0),
              "control socket: system_server may not connect to domain su (enforcing): the module's sepolicy "
              "rule is not in force");
    // Allowed says by what it may be: the manager's own policy may allow
    // it without the module's rule (which the kernel's answer cannot tell).
    EXPECT_EQ(ctl::selinux_connect_line(v, 1),
              "control socket: system_app may connect to domain su (enforcing): allowed by the module's sepolicy "
              "rule or the root manager's own policy");
    EXPECT_EQ(ctl::selinux_log_line(v),
              "selinux: enforcing, domain su (u:r:su:s0): the module's sepolicy rule is not in force "
              "(system_server may not connect, system_app may connect); their clients get EACCES");

    v = view_of("enforcing", connect_answer::allowed, connect_answer::allowed);
    EXPECT_EQ(ctl::selinux_log_line(v),
              "selinux: enforcing, domain su (u:r:su:s0): both may connect: allowed by the module's sepolicy rule "
              "or the root manager's own policy (system_server may connect, system_app may connect)");

    v = view_of("permissive", connect_answer::denied, connect_answer::denied);
    EXPECT_NE(ctl::selinux_connect_line(v, 0).find("(permissive: only logged)"), std::string::npos);
    EXPECT_NE(ctl::selinux_log_line(v).find("not in force"), std::string::npos);

    v = view_of("enforcing", connect_answer::allowed, connect_answer::unknown);
    v.connect[1].reason = "the query refused (Invalid argument)";
    EXPECT_EQ(ctl::selinux_connect_line(v, 1), "control socket: system_app: unknown (the query refused (Invalid argument))");
    EXPECT_NE(ctl::selinux_log_line(v).find(": unknown whether the module's sepolicy rule is in force"),
              std::string::npos);

    ctl::selinux_view off;
    off.mode = "disabled";
    EXPECT_EQ(ctl::selinux_log_line(off),
              "selinux: disabled (no selinuxfs): nothing refuses a connection to the control socket");
}

// The real-kernel tier reads exactly these keys.
TEST(CtlSelinux, Json) {
    ctl::selinux_view v = view_of("enforcing", connect_answer::allowed, connect_answer::denied);
    EXPECT_EQ(ctl::selinux_json(v),
              "{\"mode\":\"enforcing\",\"context\":\"u:r:su:s0\",\"domain\":\"su\",\"connect\":{\"system_server\":"
              "\"allowed\",\"system_app\":\"denied\"},\"reasons\":{\"system_server\":null,\"system_app\":null}}");
    ctl::selinux_view off;
    off.mode = "disabled";
    off.connect[0].reason = off.connect[1].reason = "no selinuxfs";
    EXPECT_EQ(ctl::selinux_json(off),
              "{\"mode\":\"disabled\",\"context\":null,\"domain\":null,\"connect\":{\"system_server\":\"unknown\","
              "\"system_app\":\"unknown\"},\"reasons\":{\"system_server\":\"no selinuxfs\",\"system_app\":\"no "
              "selinuxfs\"}}");
}

}  // namespace
