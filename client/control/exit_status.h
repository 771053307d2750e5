// How veltarisctl ends: its exit statuses, the one table that --help
// prints and the README repeats, and the line it complains with on the
// way.
#pragma once
#include <stdio.h>

#include <string>

namespace ctl {

enum exit_code {
    EXIT_OK = 0,
    EXIT_REFUSED = 1,
    EXIT_USAGE = 2,
    EXIT_NO_DAEMON = 3,
};

struct exit_status_text {
    exit_code code;
    const char* meaning;
};

inline constexpr exit_status_text kExitStatuses[] = {
    {EXIT_OK, "success: \"ok\":true; probe found the main panel"},
    {EXIT_REFUSED, "\"ok\":false; a file not written; probe found no main panel"},
    {EXIT_USAGE, "usage error: bad command, option or argument"},
    {EXIT_NO_DAEMON, "no daemon answered: connect failed, or no reply within 3 s"},
};

// Prints "veltarisctl: MESSAGE" on standard error.
inline void complain(const std::string& message) {
    fprintf(stderr, "veltarisctl: %s\n", message.c_str());
}

}  // namespace ctl
