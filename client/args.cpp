// Command-line parsing for veltarisctl. Everything is checked here, before
// any socket or file is touched, so a bad argument never leaves a
// half-written lease or a stray request behind.
#include <errno.h>
#include <stdlib.h>

#include "client/args.h"
#include "client/control/exit_status.h"
#include "common/version.h"
#include "mainpanel/lease.h"
#include "outdoor/outdoor_lease.h"
#include "process/protocol.h"

namespace ctl {

namespace {

// "LO..HI" of two protocol limits.
std::string range(long long lo, long long hi) {
    return std::to_string(lo) + ".." + std::to_string(hi);
}

// The words the system user may send, from the daemon's own table.
std::string system_user_commands() {
    std::string words;
    for (const control_command& c : kControlCommands) {
        if ((c.peers & PEER_SYSTEM) == 0) continue;
        if (!words.empty()) words += " and ";
        std::string word = c.word;
        for (char& ch : word) ch = static_cast<char>(ch - 'A' + 'a');
        words += word + (c.fields == 2 ? " SESSION" : "");
    }
    return words;
}

// The help text. Every number and name in it comes from the protocol the
// daemon is built with, so the two cannot drift apart.
std::string usage() {
    const std::string value = range(HELD_VALUE_MIN, SYSFS_VALUE_MAX);
    const std::string system = std::to_string(SYSTEM_UID);
    std::string t;
    t += "usage: veltarisctl COMMAND [ARGUMENTS] [OPTIONS]\n"
         "       veltarisctl --version | --help\n"
         "\n";
    t += "Control socket (abstract unix socket @" CONTROL_SOCKET_NAME "). The\n";
    t += "daemon answers uid 0; uid " + system + " may only send " + system_user_commands() + ".\n";
    t += "Each prints the daemon's one-line JSON reply.\n"
         "  status             report the daemon state\n"
         "  arm SESSION PID    start a hold under the current main-panel lease,\n"
         "                     which must be active and name SESSION and PID\n";
    t += "  set SESSION VALUE  write VALUE (" + value + ") at once and read it back;\n";
    t += "                     the lease must already name VALUE as its target\n"
         "  stop [SESSION]     end the hold and the daemon (without SESSION: root\n"
         "                     only)\n"
         "\n";
    t += "Lease files, replaced atomically (temporary file, fsync, rename), owned\n";
    t += "by uid " + system + " with mode 0600; run as root or as uid " + system + ".\n";
    t += "  lease SESSION TARGET [--pid PID] [--paused] [--ttl MS] [--hold]\n"
         "      Writes " MAIN_PANEL_LEASE_PATH " as\n"
         "      \"SESSION PID DEADLINE ACTIVE TARGET\" and prints that line.\n";
    t += "      SESSION is " + range(1, SESSION_MAX) + " of A-Z a-z 0-9 _ -; TARGET is " + value + " (the\n";
    t += "      daemon also requires at most the node's max_brightness).\n"
         "      --pid PID  the process whose death ends the hold. Default: with\n"
         "                 --hold this client's own pid, otherwise its parent's\n"
         "                 pid (usually the calling shell), because the client\n"
         "                 itself exits as soon as the file is written.\n"
         "      --paused   active 0: the hold stays, but the daemon stops writing\n"
         "                 the node and gives its write permission back.\n";
    t += "      --ttl MS   deadline MS ahead on the monotonic clock, " + range(1, LEASE_MAX_AHEAD_MS) + "\n";
    t += "                 (default " + std::to_string(MAIN_LEASE_DEFAULT_TTL_MS) + ").\n";
    t += "      --hold     keep renewing the lease every TTL/3 ms until SIGINT,\n"
         "                 SIGTERM or SIGHUP, then remove it.\n"
         "  outdoor-lease v1|v2 VALUE --pid PID [--held 0|1] [--ttl MS] [--hold]\n"
         "      Writes " OUTDOOR_LEASE_PATH " as\n"
         "      \"v1|v2 PID DEADLINE VALUE HELD\" and prints that line. v1: VALUE\n"
         "      is the boost in per mille of the way from the base to the\n";
    t += "      maximum, " + range(0, OUTDOOR_V1_RATIO_MAX) + ". v2: VALUE is an absolute level, " +
         range(OUTDOOR_V2_LEVEL_MIN, OUTDOOR_V2_LEVEL_MAX) + ", or 0\n";
    t += "      for the maximum.\n"
         "      --pid PID  required; the outdoor daemon honours only a lease whose\n"
         "                 pid is system_server.\n"
         "      --held     1 (default) asks for the boost now, 0 does not.\n";
    t += "      --ttl MS   " + range(1, OUTDOOR_LEASE_MAX_AHEAD_MS) + " (default " +
         std::to_string(OUTDOOR_LEASE_DEFAULT_TTL_MS) + ").\n";
    t += "      --hold     as for lease.\n"
         "\n"
         "Monitoring:\n"
         "  watch [--node PATH]\n"
         "      Prints \"MONOTONIC_MS NAME TEXT\" whenever the node's value, a\n"
         "      health record or a lease file changes (checked every 50 ms), with\n"
         "      a note on whether the daemon would accept each lease, until\n"
         "      SIGINT or SIGTERM. PATH defaults to\n"
         "      " LEGACY_NODE_PATH ".\n"
         "\n"
         "Bring-up:\n"
         "  probe [--json | --choose | --selinux | --summary]\n"
         "      Lists every entry of /sys/class/backlight and /sys/class/leds with\n"
         "      the daemon's own verdict on it (accepted, or refused and why), its\n"
         "      real path, maximum, value, mode and owner; names the node it takes\n"
         "      for the main panel; and reports the private directory, the running\n"
         "      daemons, the permission record, both leases and both health\n"
         "      records, and SELinux: the mode, this process's context and domain,\n"
         "      and whether system_server and system_app may connect to that\n"
         "      domain's control socket (the kernel is asked through selinuxfs's\n"
         "      access file: the module's sepolicy rule in force or not). Reads\n"
         "      only; without root it says what it could not read.\n"
         "      The main panel is the one usable node of the backlight class; with\n"
         "      none there, the one usable node of the leds class. A node is usable\n";
    t += "      when the daemon accepts it and its maximum is at least " + std::to_string(MAXIMUM_MIN) + ". Two or\n";
    t += "      more usable nodes in the deciding class are ambiguous: no choice.\n"
         "      --json    the same as one JSON object, for scripts.\n"
         "      --choose  print only the chosen node's path (nothing when there is\n"
         "                no choice), for boot scripts.\n"
         "      --selinux print only one line on SELinux and the module's rule\n"
         "                (for the boot service's log); exit status 0.\n"
         "      --summary a few short lines: node, daemons, outdoor and main-panel\n"
         "                state (with what a main-panel daemon says), SELinux;\n"
         "                exit status 0.\n"
         "\n"
         "Root manager:\n"
         "  module-watch MODDIR [--notify PID]\n"
         "      Keeps the description in MODDIR/module.prop current with the\n"
         "      service's state (outdoor mode, main-panel hold), rewriting it\n"
         "      atomically when it changes, and watches MODDIR for the flag files\n"
         "      disable and remove. Woken by inotify only. With --notify, PID\n"
         "      must be its parent (the boot service): a flag file sends it\n"
         "      SIGTERM, and the watcher ends when it ends. Ends on SIGTERM,\n"
         "      SIGINT or SIGHUP (once more updating the description) or when\n"
         "      MODDIR goes away, and prints its wake-up count.\n"
         "\n"
         "  --version          the version and build tag (alone on the command line)\n"
         "  --help             this text (also after a command)\n";
    return t;
}

struct command_name {
    const char* word;
    command cmd;
};

const command_name kCommands[] = {
    {"status", command::status}, {"arm", command::arm},
    {"set", command::set},       {"stop", command::stop},
    {"lease", command::lease},   {"outdoor-lease", command::outdoor_lease},
    {"watch", command::watch},   {"probe", command::probe},
    {"module-watch", command::module_watch},
};

// Options and the commands that take them; the value-less ones are flags.
struct option_def {
    const char* name;
    bool takes_value;
};

const option_def kOptions[] = {
    {"--pid", true},   {"--paused", false}, {"--ttl", true},
    {"--hold", false}, {"--held", true},    {"--node", true},
    {"--json", false}, {"--choose", false}, {"--selinux", false},
    {"--summary", false}, {"--notify", true},
};

bool option_applies(const std::string& name, command cmd) {
    if (name == "--pid" || name == "--ttl" || name == "--hold")
        return cmd == command::lease || cmd == command::outdoor_lease;
    if (name == "--paused") return cmd == command::lease;
    if (name == "--held") return cmd == command::outdoor_lease;
    if (name == "--node") return cmd == command::watch;
    if (name == "--json" || name == "--choose" || name == "--selinux" || name == "--summary")
        return cmd == command::probe;
    if (name == "--notify") return cmd == command::module_watch;
    return false;
}

// A decimal integer with an optional leading '-', nothing else (no blanks,
// no '+', no hex), within [lo, hi].
// *out is set only on success.
bool parse_int(const std::string& text, int64_t lo, int64_t hi, int32_t* out) {
    size_t i = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (i >= text.size()) return false;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    if (v < lo || v > hi) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

std::string range_error(const char* what, const std::string& text, const std::string& allowed) {
    return std::string(what) + " must be " + allowed + ", not '" + text + "'";
}

bool check_session(const std::string& text, std::string* error) {
    // The daemon's own rule; an over-long token would be split by its
    // scanner rather than refused, so it must never reach the daemon.
    if (is_valid_session_token(text.c_str()) && text.size() <= SESSION_MAX) return true;
    *error = "SESSION must be 1 to " + std::to_string(SESSION_MAX) +
             " characters of A-Z a-z 0-9 _ -, not '" + text + "'";
    return false;
}

struct raw_args {
    std::vector<std::string> positionals;
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)
};

bool count_positionals(const raw_args& raw, size_t lo, size_t hi, const char* forms,
                       std::string* error) {
    size_t n = raw.positionals.size();
    if (n >= lo && n <= hi) return true;
    *error =
        std::string(n < lo ? "missing arguments" : "too many arguments") + ": expected " + forms;
    return false;
}

bool apply_option(const std::string& name, const std::string& value, options* o,
                  std::string* error) {
    if (name == "--pid") {
        if (!parse_int(value, 1, INT32_MAX, &o->pid)) {
            *error = range_error("--pid", value, "a process id of 1 or more");
            return false;
        }
        o->pid_given = true;
    } else if (name == "--ttl") {
        int32_t max = o->cmd == command::lease ? static_cast<int32_t>(LEASE_MAX_AHEAD_MS)
                                               : static_cast<int32_t>(OUTDOOR_LEASE_MAX_AHEAD_MS);
        if (!parse_int(value, 1, max, &o->ttl_ms)) {
            *error = range_error("--ttl", value, range(1, max) + " ms");
            return false;
        }
    } else if (name == "--held") {
        if (!parse_int(value, 0, 1, &o->held)) {
            *error = range_error("--held", value, "0 or 1");
            return false;
        }
    } else if (name == "--node") {
        if (value.empty()) {
            *error = "--node needs a path";
            return false;
        }
        o->node_path = value;
    } else if (name == "--paused") {
        o->paused = true;
    } else if (name == "--hold") {
        o->hold = true;
    } else if (name == "--notify") {
        if (!parse_int(value, 1, INT32_MAX, &o->notify_pid)) {
            *error = range_error("--notify", value, "a process id of 1 or more");
            return false;
        }
    } else {
        // The probe's outputs, one at a time.
        bool* chosen = name == "--json"      ? &o->json
                       : name == "--choose"  ? &o->choose
                       : name == "--selinux" ? &o->selinux
                                             : &o->summary;
        if (o->json || o->choose || o->selinux || o->summary) {
            *error = "--json, --choose, --selinux and --summary exclude each other";
            return false;
        }
        *chosen = true;
    }
    return true;
}

bool apply_positionals(const raw_args& raw, options* o, std::string* error) {
    const std::vector<std::string>& p = raw.positionals;
    switch (o->cmd) {
        case command::help:
        case command::version:
            return true;
        case command::status:
        case command::watch:
        case command::probe:
            return count_positionals(raw, 0, 0, "no arguments", error);
        case command::module_watch:
            if (!count_positionals(raw, 1, 1, "module-watch MODDIR", error)) return false;
            // The watcher leaves its working directory for /.
            if (p[0].empty() || p[0][0] != '/') {
                *error = "MODDIR must be an absolute path, not '" + p[0] + "'";
                return false;
            }
            o->module_dir = p[0];
            return true;
        case command::arm: {
            if (!count_positionals(raw, 2, 2, "arm SESSION PID", error)) return false;
            if (!check_session(p[0], error)) return false;
            int32_t pid = 0;
            if (!parse_int(p[1], 1, INT32_MAX, &pid)) {
                *error = range_error("PID", p[1], "a process id of 1 or more");
                return false;
            }
            o->session = p[0];
            o->pid = pid;
            o->pid_given = true;
            return true;
        }
        case command::set: {
            if (!count_positionals(raw, 2, 2, "set SESSION VALUE", error)) return false;
            if (!check_session(p[0], error)) return false;
            if (!parse_int(p[1], HELD_VALUE_MIN, SYSFS_VALUE_MAX, &o->value)) {
                *error = range_error("VALUE", p[1], range(HELD_VALUE_MIN, SYSFS_VALUE_MAX));
                return false;
            }
            o->session = p[0];
            return true;
        }
        case command::stop:
            if (!count_positionals(raw, 0, 1, "stop [SESSION]", error)) return false;
            if (p.size() == 1) {
                if (!check_session(p[0], error)) return false;
                o->session = p[0];
            }
            return true;
        case command::lease: {
            if (!count_positionals(raw, 2, 2, "lease SESSION TARGET", error)) return false;
            if (!check_session(p[0], error)) return false;
            if (!parse_int(p[1], HELD_VALUE_MIN, SYSFS_VALUE_MAX, &o->value)) {
                *error = range_error("TARGET", p[1], range(HELD_VALUE_MIN, SYSFS_VALUE_MAX));
                return false;
            }
            o->session = p[0];
            return true;
        }
        case command::outdoor_lease: {
            if (!count_positionals(raw, 2, 2, "outdoor-lease v1|v2 VALUE", error)) return false;
            if (p[0] != "v1" && p[0] != "v2") {
                *error = "the outdoor lease version must be v1 or v2, not '" + p[0] + "'";
                return false;
            }
            o->outdoor_v2 = p[0] == "v2";
            if (o->outdoor_v2) {
                int32_t v = 0;
                if (!parse_int(p[1], 0, OUTDOOR_V2_LEVEL_MAX, &v) || (v != 0 && v < OUTDOOR_V2_LEVEL_MIN)) {
                    *error = range_error("a v2 VALUE", p[1],
                                         "0 (the maximum) or " + range(OUTDOOR_V2_LEVEL_MIN, OUTDOOR_V2_LEVEL_MAX));
                    return false;
                }
                o->value = v;
            } else if (!parse_int(p[1], 0, OUTDOOR_V1_RATIO_MAX, &o->value)) {
                *error = range_error("a v1 VALUE", p[1], range(0, OUTDOOR_V1_RATIO_MAX) + " (per mille)");
                return false;
            }
            if (!o->pid_given) {
                *error = "outdoor-lease needs --pid PID (the pid of system_server)";
                return false;
            }
            return true;
        }
    }
    return true;
}

}  // namespace

const char* usage_text() {
    static const std::string text = [] {
        std::string t = usage();
        t += "\nExit status:\n";
        for (const exit_status_text& e : kExitStatuses) {
            t += "  " + std::to_string(static_cast<int>(e.code)) + "  " + e.meaning + "\n";
        }
        return t;
    }();
    return text.c_str();
}

parse_result parse_args(const std::vector<std::string>& args) {
    parse_result r;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            r.ok = true;
            r.opts.cmd = command::help;
            return r;
        }
    }
    if (args.empty()) {
        r.error = "no command given";
        return r;
    }
    if (args.size() == 1 && args[0] == "--version") {
        r.ok = true;
        r.opts.cmd = command::version;
        return r;
    }
    if (args[0] == "help") {
        r.ok = true;
        return r;
    }
    bool known = false;
    for (const command_name& c : kCommands) {
        if (args[0] == c.word) {
            r.opts.cmd = c.cmd;
            known = true;
        }
    }
    if (!known) {
        r.error = "unknown command '" + args[0] + "'";
        return r;
    }

    raw_args raw;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            raw.positionals.push_back(a);
            continue;
        }
        size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        const option_def* def = nullptr;
        for (const option_def& s : kOptions) {
            if (name == s.name) def = &s;
        }
        if (def == nullptr) {
            r.error = "unknown option '" + name + "'";
            return r;
        }
        if (!option_applies(name, r.opts.cmd)) {
            r.error = "option " + name + " does not apply to '" + args[0] + "'";
            return r;
        }
        for (const auto& seen : raw.options) {
            if (seen.first == name) {
                r.error = "option " + name + " given twice";
                return r;
            }
        }
        std::string value;
        if (def->takes_value) {
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                r.error = "option " + name + " needs a value";
                return r;
            }
        } else if (eq != std::string::npos) {
            r.error = "option " + name + " takes no value";
            return r;
        }
        raw.options.emplace_back(name, value);
    }

    // Options first: outdoor-lease's positionals are checked knowing
    // whether --pid was given, and --ttl's range depends on the command.
    for (const auto& opt : raw.options) {
        if (!apply_option(opt.first, opt.second, &r.opts, &r.error)) return r;
    }
    if (!apply_positionals(raw, &r.opts, &r.error)) return r;
    if (r.opts.ttl_ms == 0) {
        if (r.opts.cmd == command::lease) r.opts.ttl_ms = MAIN_LEASE_DEFAULT_TTL_MS;
        if (r.opts.cmd == command::outdoor_lease) r.opts.ttl_ms = OUTDOOR_LEASE_DEFAULT_TTL_MS;
    }
    r.ok = true;
    return r;
}

std::string version_line() {
    return std::string("veltarisctl ") + VELTARIS_VERSION + " (build " + NATIVE_BUILD + ")\n";
}

int32_t lease_pid(const options& opts, int32_t self_pid, int32_t parent_pid) {
    if (opts.pid_given) return opts.pid;
    return opts.hold ? self_pid : parent_pid;
}

}  // namespace ctl
