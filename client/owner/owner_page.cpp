// The module page's entry (`veltarisctl page ...`) and the command-line
// runners of the owner's hold. The page runs every command through this
// one entry, with fixed words and numbers only, and reads one line of JSON
// back: it needs no shell logic of its own.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/owner/owner.h"
#include "client/owner/owner_io.h"
#include "common/clock.h"

namespace ctl {

namespace {

std::vector<std::string> candidates(const probe_report& report) {
    std::vector<std::string> paths;
    for (const probe_node& n : report.nodes) {
        if (n.candidate) paths.push_back(n.path);
    }
    return paths;
}

void fill_node(page_status* s, const probe_report& report) {
    for (const probe_node& n : report.nodes) {
        if (n.path != s->node_path) continue;
        s->node_value = n.value;
        s->node_maximum = n.maximum;
        s->node_mode = n.mode;
    }
}

void fill_probe(page_status* s, const probe_report& report) {
    if (report.choice.index >= 0) s->chosen = report.nodes[static_cast<size_t>(report.choice.index)].path;
    s->why = report.choice.reason;
    s->selinux = selinux_log_line(report.selinux);
    for (size_t i = 0; i < SELINUX_CLIENT_COUNT; ++i) {
        if (i > 0) s->socket += "; ";
        s->socket += selinux_connect_line(report.selinux, i);
    }
    s->candidates = candidates(report);
}

page_status gather_page_status() {
    page_status s;
    probe_report report = gather_probe(monotonic_ms);
    fill_probe(&s, report);
    page_result no_node;
    bool from_file = false;
    s.node_path = module_node(&no_node, &report, &from_file);
    fill_node(&s, report);
    owner_view v = look_at_panel(OWNER_SESSION);
    s.holder = v.holder;
    s.main_running = v.panel.daemon_answered;
    s.main_reply = v.status_reply;
    s.main_error = v.status_error;
    s.keeper_pid = v.panel.keeper_pid;
    s.owner_holding = v.holder == panel_holder::owner;
    if (s.owner_holding) s.owner_value = atoi(json_value(v.status_reply, "target").c_str());
    s.last_value = last_owner_value();
    s.outdoor_running = report.service.outdoor_pid != 0;
    if (report.service.outdoor_record_present) s.outdoor_record = report.service.outdoor_record;
    if (from_file) s.node_file = s.node_path;
    std::string text;
    s.keep_on_uninstall = access(OWNER_KEEP_FLAG_PATH, F_OK) == 0;
    if (read_text_file(OWNER_SERVICE_LOG_PATH, &text)) s.log = last_lines(text, PAGE_LOG_LINES);
    for (std::string& line : s.log) line = escape_text(line);
    s.now_ms = monotonic_ms();
    return s;
}

// Outdoor mode started by the service on the old node ends; the service
// starts it again on the new one.
bool restart_outdoor() {
    std::string text;
    int pid = 0;
    if (!read_text_file(OWNER_OUTDOOR_PID_PATH, &text) || sscanf(text.c_str(), "%d", &pid) != 1 || pid <= 0)
        return false;
    std::string cmdline;
    read_text_file(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), &cmdline);
    if (cmdline.find(std::string("\0--outdoor\0", 11)) == std::string::npos) return false;
    return kill(pid, SIGTERM) == 0;
}

page_result choose_outdoor_node(int32_t index) {
    probe_report report = gather_probe(monotonic_ms);
    std::vector<std::string> paths = candidates(report);
    if (index > static_cast<int32_t>(paths.size())) {
        return {false, "no_node", EINVAL, "", "there are " + std::to_string(paths.size()) + " usable nodes"};
    }
    bool saved = index == 0 ? (unlink(OWNER_NODE_FILE_PATH) == 0 || errno == ENOENT)
                            : write_private_file(OWNER_NODE_FILE_PATH, paths[static_cast<size_t>(index - 1)] + "\n");
    if (!saved) return {false, "not_saved", errno, "", std::string("cannot save the choice: ") + strerror(errno)};
    std::string node = index == 0 ? "the probe's choice" : escape_text(paths[static_cast<size_t>(index - 1)]);
    owner_log("page: outdoor node: " + node);
    bool restarted = restart_outdoor();
    return {true, "saved", 0, "",
            "outdoor mode uses " + node + (restarted ? " from its restart now" : " from the service's next start")};
}

page_result set_keep_flag(int32_t on) {
    bool saved = on ? write_private_file(OWNER_KEEP_FLAG_PATH, "")
                    : (unlink(OWNER_KEEP_FLAG_PATH) == 0 || errno == ENOENT);
    if (!saved) return {false, "not_saved", errno, "", std::string("cannot save the setting: ") + strerror(errno)};
    return {true, "saved", 0, "",
            on ? "an uninstall keeps the private directory" : "an uninstall removes everything"};
}

page_result run_page_action(const owner_args& args) {
    owner_args hold = args;
    switch (args.verb) {
        case owner_verb::page_hold:
            return owner_hold(hold);
        case owner_verb::page_release:
            return owner_release(hold);
        case owner_verb::page_outdoor_node:
            return choose_outdoor_node(args.value);
        case owner_verb::page_keep:
            return set_keep_flag(args.value);
        default:
            break;
    }
    return {false, "usage", EINVAL, "", "not a page action"};
}

// hold, release and toggle print the daemon's reply as the control
// commands do, and say on standard error what stopped them otherwise.
int print_for_people(const page_result& r) {
    if (!r.reply.empty()) {
        fputs(r.reply.c_str(), stdout);
        if (r.reply.back() != '\n') fputc('\n', stdout);
    } else if (r.ok) {
        printf("%s\n", r.detail.c_str());
    }
    if (!r.ok) complain(r.reason + (r.detail.empty() ? "" : ": " + r.detail));
    if (r.ok) return EXIT_OK;
    return r.reason == "no_daemon" || r.reason == "no_reply" ? EXIT_NO_DAEMON : EXIT_REFUSED;
}

}  // namespace

int run_owner_command(const owner_args& args) {
    if (args.verb == owner_verb::keeper) return run_keeper(args);
    if (args.verb == owner_verb::page_status) {
        printf("%s\n", page_status_json(gather_page_status()).c_str());
        return EXIT_OK;
    }
    bool page = args.verb != owner_verb::hold && args.verb != owner_verb::release && args.verb != owner_verb::toggle;
    page_result r;
    if (geteuid() != ROOT_UID) {
        r = {false, "not_root", EPERM, "", "the owner's hold is started as root"};
    } else if (page) {
        r = run_page_action(args);
    } else {
        r = args.verb == owner_verb::hold ? owner_hold(args)
            : args.verb == owner_verb::release ? owner_release(args)
                                               : owner_toggle(args);
    }
    if (!page) return print_for_people(r);
    printf("%s\n", page_result_json(r).c_str());
    return EXIT_OK;
}

}  // namespace ctl
