// The commands of this room (run.cpp): the control socket, the two lease
// files and `watch`. They do the I/O and return the exit status; the texts
// come from lines.cpp and watch.cpp.
#pragma once
#include <stdint.h>

#include <string>

#include "client/control/lines.h"

namespace ctl {

enum : int32_t {
    REPLY_TIMEOUT_MS = 3000,  // connect, send and the whole reply
    WATCH_INTERVAL_MS = 50,   // how often watch looks
};

// Sends one request line on the control socket and collects the reply
// (3 s at most). False with *error when nothing could be sent; errno is
// connect's when the connection failed.
bool control_exchange(const std::string& request, std::string* reply, std::string* error);

// Removes the lease at path only while it still holds last, what this
// client wrote: another writer's lease is none of our business.
void remove_own_lease(const char* path, const std::string& last);

// status, arm, set, stop: sends the request and prints the reply.
int run_control_command(const request_fields& request);

// lease SESSION TARGET: writes the main-panel lease naming pid, once or,
// with hold, renewed every ttl_ms / 3 until a stop signal, then removed.
struct main_panel_lease_args {
    std::string session;
    int32_t target = 0;
    bool paused = false;  // active 0
    int32_t pid = 0;
    int32_t ttl_ms = 0;
    bool hold = false;
};
int run_main_panel_lease(const main_panel_lease_args& lease);

// outdoor-lease v1|v2 VALUE: the outdoor lease, written likewise.
struct outdoor_lease_args {
    bool v2 = false;
    int32_t value = 0;
    int32_t held = 0;
    int32_t pid = 0;
    int32_t ttl_ms = 0;
    bool hold = false;
};
int run_outdoor_lease(const outdoor_lease_args& lease);

// watch: prints each change of the node at node_path, the health records
// and the leases until a stop signal.
int run_watch(const std::string& node_path);

}  // namespace ctl
