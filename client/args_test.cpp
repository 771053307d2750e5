#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/args.h"
#include "client/control/exit_status.h"

namespace {

using ctl::command;
using ctl::parse_args;
using ctl::parse_result;

parse_result parse(std::vector<std::string> args) {
    return parse_args(args);
}

void expect_error(std::vector<std::string> args, const std::string& fragment) {
    parse_result r = parse(args);
    std::string joined;
    for (const std::string& a : args) joined += a + " ";
    EXPECT_FALSE(r.ok) << joined;
    EXPECT_NE(r.error.find(fragment), std::string::npos) << joined << "-> " << r.error;
}

TEST(CtlArgs, NoArgumentsIsAnError) {
    expect_error({}, "no command");
}

TEST(CtlArgs, HelpAnywhereWins) {
    for (auto args : std::vector<std::vector<std::string>>{{"--help"},
                                                           {"-h"},
                                                           {"help"},
                                                           {"lease", "--help"},
                                                           {"bogus", "--help"},
                                                           {"outdoor-lease", "v9", "--help"}}) {
        parse_result r = parse(args);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.opts.cmd, command::help);
    }
}

TEST(CtlArgs, UnknownCommandAndOption) {
    expect_error({"frobnicate"}, "unknown command 'frobnicate'");
    expect_error({"STATUS"}, "unknown command");
    expect_error({"lease", "s", "100", "--ttl-ms", "5"}, "unknown option '--ttl-ms'");
}

TEST(CtlArgs, Status) {
    parse_result r = parse({"status"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.cmd, command::status);
    expect_error({"status", "now"}, "too many arguments");
    expect_error({"status", "--hold"}, "does not apply");
}

TEST(CtlArgs, Arm) {
    parse_result r = parse({"arm", "Session_1-a", "4321"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.opts.cmd, command::arm);
    EXPECT_EQ(r.opts.session, "Session_1-a");
    EXPECT_EQ(r.opts.pid, 4321);
    expect_error({"arm", "s"}, "missing arguments");
    expect_error({"arm", "s", "1", "2"}, "too many arguments");
    expect_error({"arm", "a.b", "1"}, "SESSION");
    expect_error({"arm", "s", "0"}, "PID");
    expect_error({"arm", "s", "-3"}, "PID");
    expect_error({"arm", "s", "12x"}, "PID");
    expect_error({"arm", "s", "+12"}, "PID");
    expect_error({"arm", "s", " 12"}, "PID");
    expect_error({"arm", "s", "2147483648"}, "PID");
    EXPECT_TRUE(parse({"arm", "s", "2147483647"}).ok);
}

TEST(CtlArgs, SessionLengthAndAlphabet) {
    EXPECT_TRUE(parse({"arm", std::string(80, 'x'), "1"}).ok);
    expect_error({"arm", std::string(81, 'x'), "1"}, "SESSION");
    expect_error({"arm", "caf\xc3\xa9", "1"}, "SESSION");
    expect_error({"arm", "a/b", "1"}, "SESSION");
    expect_error({"arm", "", "1"}, "SESSION");
}

TEST(CtlArgs, SetValueRange) {
    parse_result r = parse({"set", "s", "10"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.cmd, command::set);
    EXPECT_EQ(r.opts.value, 10);
    EXPECT_TRUE(parse({"set", "s", "65535"}).ok);
    expect_error({"set", "s", "9"}, "VALUE");
    expect_error({"set", "s", "65536"}, "VALUE");
    expect_error({"set", "s"}, "missing");
}

TEST(CtlArgs, StopWithAndWithoutSession) {
    parse_result r = parse({"stop"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.cmd, command::stop);
    EXPECT_TRUE(r.opts.session.empty());
    r = parse({"stop", "abc"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.session, "abc");
    expect_error({"stop", "a", "b"}, "too many");
    expect_error({"stop", "a b"}, "SESSION");
}

TEST(CtlArgs, LeaseDefaults) {
    parse_result r = parse({"lease", "s1", "120"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.opts.cmd, command::lease);
    EXPECT_EQ(r.opts.session, "s1");
    EXPECT_EQ(r.opts.value, 120);
    EXPECT_EQ(r.opts.ttl_ms, 4000);
    EXPECT_FALSE(r.opts.pid_given);
    EXPECT_FALSE(r.opts.paused);
    EXPECT_FALSE(r.opts.hold);
}

TEST(CtlArgs, LeaseOptionsInAnyPositionAndForm) {
    parse_result r =
        parse({"lease", "--hold", "s1", "--ttl=3000", "120", "--pid", "77", "--paused"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.opts.session, "s1");
    EXPECT_EQ(r.opts.value, 120);
    EXPECT_EQ(r.opts.ttl_ms, 3000);
    EXPECT_TRUE(r.opts.pid_given);
    EXPECT_EQ(r.opts.pid, 77);
    EXPECT_TRUE(r.opts.paused);
    EXPECT_TRUE(r.opts.hold);
}

TEST(CtlArgs, LeaseLimits) {
    EXPECT_TRUE(parse({"lease", "s", "10"}).ok);
    EXPECT_TRUE(parse({"lease", "s", "65535"}).ok);
    expect_error({"lease", "s", "9"}, "TARGET");
    expect_error({"lease", "s", "65536"}, "TARGET");
    EXPECT_EQ(parse({"lease", "s", "100", "--ttl", "8000"}).opts.ttl_ms, 8000);
    EXPECT_EQ(parse({"lease", "s", "100", "--ttl", "1"}).opts.ttl_ms, 1);
    expect_error({"lease", "s", "100", "--ttl", "8001"}, "1..8000");
    expect_error({"lease", "s", "100", "--ttl", "0"}, "--ttl");
    expect_error({"lease", "s", "100", "--pid", "0"}, "--pid");
    expect_error({"lease", "bad session", "100"}, "SESSION");
}

TEST(CtlArgs, OptionMistakes) {
    expect_error({"lease", "s", "100", "--ttl"}, "needs a value");
    expect_error({"lease", "s", "100", "--hold=1"}, "takes no value");
    expect_error({"lease", "s", "100", "--hold", "--hold"}, "given twice");
    expect_error({"lease", "s", "100", "--held", "1"}, "does not apply");
    expect_error({"outdoor-lease", "v1", "5", "--pid", "3", "--paused"}, "does not apply");
    expect_error({"arm", "s", "1", "--node", "/x"}, "does not apply");
}

TEST(CtlArgs, OutdoorLease) {
    parse_result r = parse({"outdoor-lease", "v1", "500", "--pid", "900"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.opts.cmd, command::outdoor_lease);
    EXPECT_FALSE(r.opts.outdoor_v2);
    EXPECT_EQ(r.opts.value, 500);
    EXPECT_EQ(r.opts.pid, 900);
    EXPECT_EQ(r.opts.held, 1);
    EXPECT_EQ(r.opts.ttl_ms, 1000);
    EXPECT_FALSE(r.opts.hold);

    r = parse({"outdoor-lease", "v2", "0", "--pid", "9", "--held", "0", "--ttl", "1500", "--hold"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.opts.outdoor_v2);
    EXPECT_EQ(r.opts.value, 0);
    EXPECT_EQ(r.opts.held, 0);
    EXPECT_EQ(r.opts.ttl_ms, 1500);
    EXPECT_TRUE(r.opts.hold);
}

TEST(CtlArgs, OutdoorLeaseLimits) {
    EXPECT_TRUE(parse({"outdoor-lease", "v1", "0", "--pid", "9"}).ok);
    EXPECT_TRUE(parse({"outdoor-lease", "v1", "1000", "--pid", "9"}).ok);
    expect_error({"outdoor-lease", "v1", "1001", "--pid", "9"}, "v1 VALUE");
    expect_error({"outdoor-lease", "v1", "-1", "--pid", "9"}, "v1 VALUE");
    EXPECT_TRUE(parse({"outdoor-lease", "v2", "10", "--pid", "9"}).ok);
    EXPECT_TRUE(parse({"outdoor-lease", "v2", "65535", "--pid", "9"}).ok);
    expect_error({"outdoor-lease", "v2", "5", "--pid", "9"}, "v2 VALUE");
    expect_error({"outdoor-lease", "v2", "65536", "--pid", "9"}, "v2 VALUE");
    expect_error({"outdoor-lease", "V1", "5", "--pid", "9"}, "v1 or v2");
    expect_error({"outdoor-lease", "v3", "5", "--pid", "9"}, "v1 or v2");
    expect_error({"outdoor-lease", "v1", "5"}, "needs --pid");
    expect_error({"outdoor-lease", "v1", "5", "--pid", "9", "--held", "2"}, "--held");
    expect_error({"outdoor-lease", "v1", "5", "--pid", "9", "--ttl", "1501"}, "1..1500");
}

TEST(CtlArgs, Watch) {
    parse_result r = parse({"watch"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.cmd, command::watch);
    EXPECT_EQ(r.opts.node_path, ctl::DEFAULT_NODE_PATH);
    r = parse({"watch", "--node", "/sys/class/leds/lcd/brightness"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.node_path, "/sys/class/leds/lcd/brightness");
    expect_error({"watch", "extra"}, "too many");
    expect_error({"watch", "--node="}, "--node");
}

TEST(CtlArgs, LeasePidDefaults) {
    ctl::options o;
    EXPECT_EQ(ctl::lease_pid(o, 100, 50), 50);  // written once: the caller lives on
    o.hold = true;
    EXPECT_EQ(ctl::lease_pid(o, 100, 50), 100);  // this process stays alive
    o.pid = 7;
    o.pid_given = true;
    EXPECT_EQ(ctl::lease_pid(o, 100, 50), 7);
}

TEST(CtlArgs, UsageNamesEveryCommandAndOption) {
    std::string usage = ctl::usage_text();
    for (const char* word : {"status", "arm SESSION PID", "set SESSION VALUE", "stop [SESSION]",
                             "lease SESSION TARGET", "outdoor-lease v1|v2 VALUE", "watch", "--pid",
                             "--paused", "--ttl", "--hold", "--held", "--node", "--help",
                             "probe", "--json", "--choose", "--selinux", "--summary",
                             "module-watch MODDIR", "--notify", "--version"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
    for (const ctl::exit_status_text& e : ctl::kExitStatuses) {
        std::string row = "  " + std::to_string(static_cast<int>(e.code)) + "  " + e.meaning;
        EXPECT_NE(usage.find(row), std::string::npos) << row;
    }
}

TEST(CtlArgs, VersionOnlyAsTheWholeCommandLine) {
    parse_result r = parse({"--version"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.cmd, command::version);
    expect_error({"status", "--version"}, "unknown option '--version'");
    expect_error({"--version", "status"}, "unknown command '--version'");
}

TEST(CtlArgs, Probe) {
    parse_result r = parse({"probe"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.opts.cmd, command::probe);
    EXPECT_FALSE(r.opts.json);
    EXPECT_FALSE(r.opts.choose);
    EXPECT_TRUE(parse({"probe", "--json"}).opts.json);
    EXPECT_TRUE(parse({"probe", "--choose"}).opts.choose);
    expect_error({"probe", "--json", "--choose"}, "exclude each other");
    EXPECT_TRUE(parse({"probe", "--selinux"}).opts.selinux);
    EXPECT_TRUE(parse({"probe", "--summary"}).opts.summary);
    expect_error({"probe", "--summary", "--selinux"}, "exclude each other");
    expect_error({"probe", "--choose", "--summary"}, "exclude each other");
    expect_error({"probe", "x"}, "too many arguments");
    expect_error({"status", "--json"}, "does not apply");
}

TEST(CtlArgs, ModuleWatch) {
    parse_result r = parse({"module-watch", "/data/adb/modules/veltaris", "--notify", "42"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.opts.cmd, command::module_watch);
    EXPECT_EQ(r.opts.module_dir, "/data/adb/modules/veltaris");
    EXPECT_EQ(r.opts.notify_pid, 42);
    EXPECT_EQ(parse({"module-watch", "/m"}).opts.notify_pid, 0);
    expect_error({"module-watch"}, "missing arguments");
    expect_error({"module-watch", "modules/veltaris"}, "must be an absolute path");
    expect_error({"module-watch", "/m", "--notify", "0"}, "--notify must be a process id");
    expect_error({"probe", "--notify", "1"}, "does not apply");
}

}  // namespace
