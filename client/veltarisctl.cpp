// veltarisctl: the reference client for veltarisd. It speaks the control
// socket protocol, writes the two lease files the way their owners must,
// and watches the node and the records, for people and for tests.
//
// main parses the command line and dispatches: each room's command gets the
// part of the command line it takes, never the whole of it.
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/args.h"
#include "client/control/exit_status.h"
#include "client/control/lines.h"
#include "client/control/run.h"
#include "client/module/module.h"
#include "client/owner/owner.h"
#include "client/probe/probe.h"

namespace {

int run_control(ctl::request_kind kind, const ctl::options& opts) {
    ctl::request_fields request;
    request.kind = kind;
    request.session = opts.session;
    request.pid = opts.pid;
    request.value = opts.value;
    return ctl::run_control_command(request);
}

int run_main_panel_lease(const ctl::options& opts) {
    ctl::main_panel_lease_args lease;
    lease.session = opts.session;
    lease.target = opts.value;
    lease.paused = opts.paused;
    lease.pid = ctl::lease_pid(opts, static_cast<int32_t>(getpid()), static_cast<int32_t>(getppid()));
    lease.ttl_ms = opts.ttl_ms;
    lease.hold = opts.hold;
    return ctl::run_main_panel_lease(lease);
}

int run_outdoor_lease(const ctl::options& opts) {
    ctl::outdoor_lease_args lease;
    lease.v2 = opts.outdoor_v2;
    lease.value = opts.value;
    lease.held = opts.held;
    lease.pid = opts.pid;
    lease.ttl_ms = opts.ttl_ms;
    lease.hold = opts.hold;
    return ctl::run_outdoor_lease(lease);
}

int run_probe(const ctl::options& opts) {
    // --summary is the module's action button's report.
    if (opts.summary) return ctl::run_probe_summary();
    ctl::probe_output output = opts.selinux ? ctl::probe_output::selinux
                               : opts.choose ? ctl::probe_output::choose
                               : opts.json   ? ctl::probe_output::json
                                             : ctl::probe_output::table;
    return ctl::run_probe(output);
}

// hold, release, toggle, page and the keeper: the owner room parses its own
// command lines. The page reads JSON whatever happens, a usage error too.
int run_owner(const std::vector<std::string>& args) {
    ctl::owner_args owner;
    std::string error;
    if (!ctl::parse_owner_args(args, &owner, &error)) {
        if (args[0] == "page") {
            ctl::page_result usage = {false, "usage", 22, "", error};
            printf("%s\n", ctl::page_result_json(usage).c_str());
        }
        fprintf(stderr, "veltarisctl: %s\nTry 'veltarisctl --help'.\n", error.c_str());
        return ctl::EXIT_USAGE;
    }
    return ctl::run_owner_command(owner);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool asks_help = false;
    for (const std::string& a : args) asks_help = asks_help || a == "--help";
    if (!args.empty() && !asks_help && ctl::is_owner_command(args[0])) return run_owner(args);
    ctl::parse_result parsed = ctl::parse_args(args);
    if (!parsed.ok) {
        fprintf(stderr, "veltarisctl: %s\nTry 'veltarisctl --help'.\n", parsed.error.c_str());
        return ctl::EXIT_USAGE;
    }
    const ctl::options& opts = parsed.opts;
    switch (opts.cmd) {
        case ctl::command::help:
            fputs(ctl::usage_text(), stdout);
            fputs(ctl::owner_usage_text(), stdout);
            return ctl::EXIT_OK;
        case ctl::command::version:
            fputs(ctl::version_line().c_str(), stdout);
            return ctl::EXIT_OK;
        case ctl::command::probe:
            return run_probe(opts);
        case ctl::command::module_watch:
            return ctl::run_module_watch(opts.module_dir, opts.notify_pid);
        case ctl::command::status:
            return run_control(ctl::request_kind::status, opts);
        case ctl::command::arm:
            return run_control(ctl::request_kind::arm, opts);
        case ctl::command::set:
            return run_control(ctl::request_kind::set, opts);
        case ctl::command::stop:
            return run_control(ctl::request_kind::stop, opts);
        case ctl::command::lease:
            return run_main_panel_lease(opts);
        case ctl::command::outdoor_lease:
            return run_outdoor_lease(opts);
        case ctl::command::watch:
            return ctl::run_watch(opts.node_path);
    }
    return ctl::EXIT_USAGE;
}
