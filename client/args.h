// veltarisctl: the reference client. It is a small tool for people and
// tests, not daemon code, so it uses std::string freely; every record and
// request it produces is checked with the daemon's own parsers before it
// leaves the process, so the client cannot drift from what the daemon
// accepts.
//
// This folder holds the command line (args.cpp) and main with the dispatch
// (veltarisctl.cpp), which hands each command the part of the command line
// it takes. The commands live in rooms, bottom to top:
//   control/  the control socket, the lease files, watch, the exit statuses
//   probe/    the bring-up probe: nodes, device state, SELinux
//   module/   the root manager's side: module-watch, the description, the
//             summary
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "process/protocol.h"

namespace ctl {

enum class command { help, version, status, arm, set, stop, lease, outdoor_lease, watch, probe, module_watch };

enum : int32_t {
    MAIN_LEASE_DEFAULT_TTL_MS = 4000,
    OUTDOOR_LEASE_DEFAULT_TTL_MS = 1000,
    HELD_DEFAULT = 1,
};

inline constexpr const char* DEFAULT_NODE_PATH = "/sys/class/backlight/panel0-backlight/brightness";

struct options {
    command cmd = command::help;
    std::string session;  // arm, set, stop (optional), lease
    int32_t pid = 0;      // arm PID, --pid of both lease commands
    bool pid_given = false;
    int32_t value = 0;        // set VALUE, lease TARGET, outdoor-lease VALUE
    bool outdoor_v2 = false;  // outdoor-lease v2
    bool paused = false;      // lease --paused
    int32_t held = HELD_DEFAULT;
    int32_t ttl_ms = 0;  // the command's default unless --ttl is given
    bool hold = false;
    std::string node_path = DEFAULT_NODE_PATH;
    bool json = false;     // probe --json
    bool choose = false;   // probe --choose
    bool selinux = false;  // probe --selinux
    bool summary = false;  // probe --summary
    std::string module_dir;  // module-watch MODDIR
    int32_t notify_pid = 0;  // module-watch --notify PID
};

struct parse_result {
    bool ok = false;
    std::string error;  // one line, without the program name, when !ok
    options opts;
};

// Parses the arguments after the program name. --help anywhere asks for
// help. Options may come before, between or after the positionals, as
// "--opt VALUE" or "--opt=VALUE".
parse_result parse_args(const std::vector<std::string>& args);

// The full --help text.
const char* usage_text();

// "veltarisctl VERSION (build TAG)\n".
std::string version_line();

// The pid the main-panel lease names: --pid when given; otherwise the
// client's own pid when it stays alive to renew the lease (--hold), and
// its parent's pid when it writes once and exits, since the daemon ends a
// hold whose pid has died.
int32_t lease_pid(const options& opts, int32_t self_pid, int32_t parent_pid);

}  // namespace ctl
