#pragma once

// Exit codes of a start, shared by both modes.
enum {
    EXIT_OK = 0,
    EXIT_USAGE_OR_LOCK = 2,
    EXIT_BOOT_OR_RESTORE = 3,
    EXIT_NODE = 4,
    EXIT_CONTROL_SOCKET = 5,
    EXIT_FREEZER = 6,
    EXIT_NOTIFY = 7,
};

#define NATIVE_BUILD "raw07-mirelodge"

// Prints the start failure line for stage with the current errno and
// returns code.
int report_start_failure(int code, const char* stage);

int veltarisd_main(int argc, char** argv);
int start_main_panel(int argc, char** argv);
int start_outdoor(const char* node_path);
