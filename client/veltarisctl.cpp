// veltarisctl: the reference client for veltarisd. It speaks the control
// socket protocol, writes the two lease files the way their owners must,
// and watches the node and the records, for people and for tests.
#include <stdio.h>

#include <string>
#include <vector>

#include "client/ctl.h"
#include "client/owner/owner.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool asks_help = false;
    for (const std::string& a : args) asks_help = asks_help || a == "--help";
    if (!args.empty() && !asks_help && ctl::is_owner_command(args[0])) {
        ctl::owner_args owner;
        std::string error;
        if (!ctl::parse_owner_args(args, &owner, &error)) {
            // The page reads JSON whatever happens.
            if (args[0] == "page") printf("{\"ok\":false,\"reason\":\"usage\",\"errno\":22,\"reply\":null,\"detail\":%s}\n", ctl::json_string(error).c_str());
            fprintf(stderr, "veltarisctl: %s\nTry 'veltarisctl --help'.\n", error.c_str());
            return ctl::EXIT_USAGE;
        }
        return ctl::run_owner_command(owner);
    }
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
            return ctl::run_probe(opts);
        case ctl::command::module_watch:
            return ctl::run_module_watch(opts);
        case ctl::command::status:
        case ctl::command::arm:
        case ctl::command::set:
        case ctl::command::stop:
            return ctl::run_control_command(opts);
        case ctl::command::lease:
            return ctl::run_main_panel_lease(opts);
        case ctl::command::outdoor_lease:
            return ctl::run_outdoor_lease(opts);
        case ctl::command::watch:
            return ctl::run_watch(opts);
    }
    return ctl::EXIT_USAGE;
}
