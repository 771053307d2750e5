// The abstract control socket: one request line in, one JSON status line
// out, per connection.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "process/state.h"

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

// The row of the command table that req names by word and field count, or
// null when none does. Pure.
const control_command* find_control_command(const control_request* req);

// The status reply for state s with the given outcome and actual node
// value; its length, or -1 when it would not fit. Pure.
int format_status_reply(char* buf, size_t size, const daemon_state* s, int ok, const char* reason,
                        int actual);

// The listening socket, or -1 with errno from the call that failed.
int open_control_socket(void);

// Serves one request on connection fd; never closes it.
void handle_control_connection(daemon_state* s, int fd);
