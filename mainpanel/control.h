// The abstract control socket: one request line in, one JSON status line
// out, per connection.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "daemon/state.h"

#define CONTROL_SOCKET_NAME "veltaris.main.panel.raw04"

enum {
    CONTROL_NAME_LEN = 25,
    CONTROL_ADDR_LEN = 28,  // family + NUL + name
    CONTROL_BACKLOG = 8,
    REQUEST_SIZE = 240,     // a request is at most 239 bytes
    REQUEST_TIMEOUT_MS = 250,
    REPLY_SIZE = 2048,
    COMMAND_WORD_MAX = 15,
};

struct control_request {
    char command[COMMAND_WORD_MAX + 1];
    char session[SESSION_SIZE];
    int32_t number;
    int count;  // fields converted, as the formatted scan counts them
    // The third field is a number that does not fit 32 bits: it counts as
    // a field, but no command accepts the request.
    int number_overflow;
};

// Scans a request line as "%15s %80s %d %c". Always fills *out (fields
// cleared first); count < 1 for an empty line. Pure.
void parse_control_request(const char* line, control_request* out);

// The status reply for the current daemon state with the given outcome and
// actual node value; its length, or -1 when it would not fit. Pure apart
// from reading g_daemon.
int format_status_reply(char* buf, size_t size, int ok, const char* reason, int actual);

int open_control_socket(void);
void handle_control_connection(int fd);
void send_status_reply(int fd, int ok, const char* reason);
