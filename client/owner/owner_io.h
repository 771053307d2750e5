// The owner room's own I/O helpers: files of the private directory, the
// service log, the keeper's pid record and a look at who holds the panel.
#pragma once
#include <stdint.h>

#include <string>

#include "client/owner/owner.h"

namespace ctl {

// The whole of a small file (at most 64 KiB, never through a link).
bool read_text_file(const char* path, std::string* text);
// Replaces path with text (temporary file, rename), mode 0600.
bool write_private_file(const char* path, const std::string& text);

// A line on standard error with the service log's time stamp: the keeper's
// standard error is the service log.
void owner_say(const std::string& line);
// The service log opened for appending, or -1 (no private directory).
int open_service_log();
// Appends a line to the service log as the boot service does (rotated
// past SERVICE_LOG_MAX under the same lock).
void owner_log(const std::string& line);

// This program's path, and the path of a program beside it.
std::string self_program();
std::string sibling_program(const char* name);

// The keeper's pid record, in the boot service's pid-file form.
bool record_keeper(int32_t pid);
// The keeper of this boot that runs, or 0.
int32_t running_keeper();
// Ends the keeper (SIGTERM, then SIGKILL) and drops its record.
void stop_keeper(int32_t pid);

struct owner_view {
    panel_view panel;
    panel_holder holder = panel_holder::none;
    std::string status_reply;
    std::string status_error;  // no_daemon, socket_denied, no_reply or empty
    std::string status_detail;
};
owner_view look_at_panel(const std::string& session);

// The node the module uses: the owner's choice, else the probe's (from
// report when the caller has one). Empty, with *result saying why, when
// there is none. *from_file, when asked, says whether the owner's file
// was there.
std::string module_node(page_result* result, const probe_report* report = nullptr, bool* from_file = nullptr);

void save_owner_value(int32_t value);
int32_t last_owner_value();

page_result owner_hold(const owner_args& args);
page_result owner_release(const owner_args& args);
page_result owner_toggle(const owner_args& args);
int run_keeper(const owner_args& args);

}  // namespace ctl
