// The exit codes of both modes.
#pragma once

enum {
    EXIT_OK = 0,
    EXIT_USAGE_OR_LOCK = 2,    // not root, private directory, instance lock, command line
    EXIT_BOOT_OR_RESTORE = 3,  // boot identity, permission restore
    EXIT_NODE = 4,             // node refused, out of range, not writable
    EXIT_CONTROL_SOCKET = 5,
    EXIT_FREEZER = 6,          // app-freezer escape (outdoor mode: also setsid)
    EXIT_NOTIFY = 7,           // outdoor mode cannot watch the lease directory
};
