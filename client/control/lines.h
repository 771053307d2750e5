// The texts veltarisctl sends: the two lease lines and the control
// requests, each checked with the daemon's own parser before it leaves the
// process, so the client cannot drift from what the daemon accepts; and
// how a reply and the socket's address look. No I/O here (lines.cpp).
#pragma once
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace ctl {

// The session of the owner's hold (veltarisctl hold), which stands in for a
// platform client on a phone whose platform has none.
inline constexpr const char* OWNER_SESSION = "owner";

// Formats "SESSION PID DEADLINE ACTIVE TARGET\n" and parses it back with
// the daemon's parser at now_ms; true only when the daemon would accept
// exactly these fields. On false, *error says why.
bool format_main_panel_lease(const std::string& session, int32_t pid, int64_t deadline_ms,
                             bool active, int32_t target, int64_t now_ms, std::string* line,
                             std::string* error);

// Formats "v1|v2 PID DEADLINE VALUE HELD\n" and parses it back likewise.
bool format_outdoor_lease(bool v2, int32_t pid, int64_t deadline_ms, int32_t value, int32_t held,
                          int64_t now_ms, std::string* line, std::string* error);

// The commands of the control socket.
enum class request_kind { status, arm, set, stop };

// One request and the fields its command takes.
struct request_fields {
    request_kind kind = request_kind::status;
    std::string session;  // arm, set, and stop when given (without: root only)
    int32_t pid = 0;      // arm
    int32_t value = 0;    // set
};

// The request line, checked against the daemon's request scanner.
bool format_request(const request_fields& request, std::string* line, std::string* error);

// EXIT_OK for a reply that says "ok":true, EXIT_REFUSED for "ok":false,
// EXIT_NO_DAEMON for anything else (including no reply): nothing that
// speaks the protocol answered.
int reply_exit_code(const std::string& reply);

// The abstract address of the control socket and its exact length.
void fill_control_address(sockaddr_un* addr, socklen_t* len);

}  // namespace ctl
