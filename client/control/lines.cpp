// The texts veltarisctl sends: lease lines and control requests. Each is
// formatted here and then judged by the daemon's own parser, so a client
// bug shows up as a clear error instead of a lease the daemon silently
// ignores.
#include <stdio.h>
#include <string.h>

#include "client/control/exit_status.h"
#include "client/control/lines.h"
#include "mainpanel/control.h"
#include "mainpanel/lease.h"
#include "outdoor/outdoor_lease.h"
#include "process/protocol.h"

namespace ctl {

namespace {

static_assert(sizeof(CONTROL_SOCKET_NAME) - 1 == CONTROL_NAME_LEN,
              "the socket name and its length must agree");
static_assert(CONTROL_ADDR_LEN == sizeof(sa_family_t) + 1 + CONTROL_NAME_LEN,
              "the address is the family, one NUL and the name");

std::string printf_line(const char* what, int n, const char* buf, size_t size, std::string* error) {
    if (n < 1 || static_cast<size_t>(n) >= size) {
        *error = std::string("the ") + what + " does not fit its buffer";
        return std::string();
    }
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

bool format_main_panel_lease(const std::string& session, int32_t pid, int64_t deadline_ms,
                             bool active, int32_t target, int64_t now_ms, std::string* line,
                             std::string* error) {
    char buf[LEASE_READ_SIZE];
    int n = snprintf(buf, sizeof buf, "%s %d %lld %d %d\n", session.c_str(), static_cast<int>(pid),
                     static_cast<long long>(deadline_ms), active ? 1 : 0, static_cast<int>(target));
    // The daemon examines only the first LEASE_READ_SIZE - 1 bytes.
    std::string text = printf_line("main-panel lease line", n, buf, sizeof buf, error);
    if (text.empty()) return false;

    // The largest maximum any node can report: the daemon checks the real
    // one, everything else is judged exactly as the daemon judges it.
    lease_record rec = {};
    if (!parse_main_panel_lease(text.c_str(), now_ms, SYSFS_VALUE_MAX, &rec)) {
        *error = "the daemon would not accept the main-panel lease line '" +
                 text.substr(0, text.size() - 1) + "'";
        return false;
    }
    if (session != rec.session || rec.pid != pid || rec.deadline_ms != deadline_ms ||
        rec.active != (active ? 1 : 0) || rec.target != target) {
        *error = "the main-panel lease line does not read back as written";
        return false;
    }
    *line = text;
    return true;
}

bool format_outdoor_lease(bool v2, int32_t pid, int64_t deadline_ms, int32_t value, int32_t held,
                          int64_t now_ms, std::string* line, std::string* error) {
    char buf[OUTDOOR_LEASE_READ_SIZE];
    int n = snprintf(buf, sizeof buf, "%s %d %lld %d %d\n", v2 ? "v2" : "v1", static_cast<int>(pid),
                     static_cast<long long>(deadline_ms), static_cast<int>(value),
                     static_cast<int>(held));
    std::string text = printf_line("outdoor lease line", n, buf, sizeof buf, error);
    if (text.empty()) return false;

    outdoor_lease_record rec = {};
    if (!parse_outdoor_lease(text.data(), text.size(), now_ms, &rec)) {
        *error = "the daemon would not accept the outdoor lease line '" +
                 text.substr(0, text.size() - 1) + "'";
        return false;
    }
    bool same = rec.pid == pid && rec.deadline_ms == deadline_ms && rec.held == held &&
                rec.is_v2 == (v2 ? 1 : 0) &&
                (v2 ? rec.level == value : rec.ratio_permille == value);
    if (!same) {
        *error = "the outdoor lease line does not read back as written";
        return false;
    }
    *line = text;
    return true;
}

bool format_request(const request_fields& request, std::string* line, std::string* error) {
    // The request's row of the daemon's own command table: its word and
    // its fields come from there.
    control_verb verb;
    switch (request.kind) {
        case request_kind::status: verb = VERB_STATUS; break;
        case request_kind::arm: verb = VERB_ARM; break;
        case request_kind::set: verb = VERB_SET; break;
        case request_kind::stop: verb = request.session.empty() ? VERB_STOP : VERB_STOP_SESSION; break;
        default:
            *error = "not a control-socket command";
            return false;
    }
    const control_command* row = nullptr;
    for (const control_command& c : kControlCommands) {
        if (c.verb == verb) row = &c;
    }
    std::string text = row->word;
    if (row->fields >= 2) {
        text += ' ';
        text += request.session;
    }
    int32_t number = request.kind == request_kind::arm ? request.pid : request.value;
    if (row->fields >= 3) {
        text += ' ';
        text += std::to_string(number);
    }
    text += "\n";

    // The daemon scans at most REQUEST_SIZE - 1 bytes and needs the newline
    // inside them; then it must find the same row, session and number.
    control_request req = {};
    parse_control_request(text.c_str(), &req);
    bool same = text.size() < REQUEST_SIZE && find_control_command(&req) == row &&
                (row->fields < 2 || request.session == req.session) &&
                (row->fields < 3 || req.number == number);
    if (!same) {
        *error = "the request '" + text.substr(0, text.size() - 1) + "' would not read back as written";
        return false;
    }
    *line = text;
    return true;
}

int reply_exit_code(const std::string& reply) {
    // The daemon's template always begins with the outcome.
    static const char kOk[] = "{\"ok\":true,";
    static const char kNotOk[] = "{\"ok\":false,";
    if (reply.compare(0, sizeof kOk - 1, kOk) == 0) return EXIT_OK;
    if (reply.compare(0, sizeof kNotOk - 1, kNotOk) == 0) return EXIT_REFUSED;
    return EXIT_NO_DAEMON;
}

void fill_control_address(sockaddr_un* addr, socklen_t* len) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name without a
    // terminator; the length, not a NUL, ends the name.
    memcpy(addr->sun_path + 1, CONTROL_SOCKET_NAME, CONTROL_NAME_LEN);
    *len = CONTROL_ADDR_LEN;
}

}  // namespace ctl
