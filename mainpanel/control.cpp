#include "mainpanel/control.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/json.h"
#include "common/scan.h"
#include "common/unique_fd.h"
#include "mainpanel/health.h"
#include "mainpanel/hold.h"
#include "mainpanel/hold_loop.h"
#include "mainpanel/lease.h"
#include "mainpanel/verified_write.h"
#include "node/node_value.h"
#include "node/write_guard.h"

namespace {

// Reads one request line into buf (REQUEST_SIZE bytes). When the socket
// has its receive timeout (REQUEST_TIMEOUT_MS), the first receive waits on
// its own; a request that comes in pieces is read on until the same time
// has passed since the start, not per piece, so a client dripping one byte
// at a time cannot keep the loop away from its node for long. Returns 0
// when a request was received, -1 when there is none to answer.
int receive_request(int fd, char* buf, int timed) {
    memset(buf, 0, REQUEST_SIZE);
    size_t count = 0;
    int64_t deadline = monotonic_ms() + REQUEST_TIMEOUT_MS;
    int flags = timed ? 0 : MSG_DONTWAIT;
    while (count <= REQUEST_SIZE - 2) {
        ssize_t n = recv(fd, buf + count, REQUEST_SIZE - 1 - count, flags);
        flags = MSG_DONTWAIT;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            int64_t left = deadline - monotonic_ms();
            if (left <= 0) return -1;
            struct pollfd pfd = {fd, POLLIN, 0};
            int ready = poll(&pfd, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
            continue;
        }
        if (n <= 0) return -1;
        count += static_cast<size_t>(n);
        buf[count] = '\0';
        if (strchr(buf, '\n') != nullptr) break;
    }
    return 0;
}

unsigned peer_of(uid_t uid) {
    if (uid == ROOT_UID) return PEER_ROOT;
    if (uid == SYSTEM_UID) return PEER_SYSTEM;
    return 0;
}

void send_status_reply(const daemon_state* s, int fd, int ok, const char* reason) {
    int actual = read_sysfs_value(s->node.node_path);
    char reply[REPLY_SIZE];
    int len = format_status_reply(reply, sizeof reply, s, ok, reason, actual);
    if (len < 0) return;
    send(fd, reply, static_cast<size_t>(len), MSG_NOSIGNAL);
}

// Ends the hold after STOP or a failed SET: the hold is cleared and the
// loop stops at its next turn, after the reply has gone out.
void stop_after_reply(daemon_state* s, int fd, int ok, const char* reason) {
    hold_clear(&s->hold);
    send_status_reply(s, fd, ok, reason);
    s->process.stop_requested = 1;
}

// The handlers. Each returns 1 when it accepted and answered the request,
// 0 when the request is stale (the caller answers that).

int serve_status(daemon_state* s, int fd, const control_request*, int64_t) {
    send_status_reply(s, fd, 1, REASON_STATUS);
    return 1;
}

int serve_arm(daemon_state* s, int fd, const control_request* req, int64_t) {
    lease_record lease;
    if (!lease_matches_request(req->session, req->number, s->node.maximum, &lease) ||
        lease.active == 0 || req->number < 1 || !is_valid_session_token(req->session)) {
        return 0;
    }
    hold_arm(&s->hold, req->session, req->number, lease.deadline_ms);
    s->counters.last_error = 0;
    errno = 0;
    if (write_health_record(&s->hold, s->counters.last_error, 1) == 0) {
        send_status_reply(s, fd, 1, REASON_ARMED);
        return 1;
    }
    s->counters.last_error = errno != 0 ? errno : EIO;
    send_status_reply(s, fd, 0, REASON_HEALTH_STATE_FAILED);
    s->process.stop_requested = 1;
    return 1;
}

int serve_stop(daemon_state* s, int fd, const control_request*, int64_t) {
    int released = release_write_guard(&s->guard, s->process.boot_id) == 0;
    // The reply names why the bits could not go back.
    if (!released) s->counters.last_error = s->guard.release_errno;
    stop_after_reply(s, fd, released, released ? REASON_RELEASED : REASON_PERMISSION_RESTORE_FAILED);
    return 1;
}

int serve_stop_session(daemon_state* s, int fd, const control_request* req, int64_t now_ms) {
    if (strcmp(req->session, s->hold.session) != 0) return 0;
    return serve_stop(s, fd, req, now_ms);
}

int serve_set(daemon_state* s, int fd, const control_request* req, int64_t now_ms) {
    lease_record lease;
    if (!lease_matches_request(req->session, s->hold.lease_pid, s->node.maximum, &lease) ||
        lease.active == 0 || lease.target != req->number ||
        !accept_set_value(&s->hold, req->session, req->number, s->node.maximum, now_ms)) {
        return 0;
    }
    int rc = verified_write(s, req->number, &lease);
    if (rc == 0) {
        s->hold.next_correction_ms = next_correction_at(now_ms);
        send_status_reply(s, fd, 1, REASON_READBACK_OK);
    } else if (rc > 0) {
        send_status_reply(s, fd, 0, REASON_SCREEN_NOT_WRITABLE);
    } else {
        release_write_guard(&s->guard, s->process.boot_id);
        stop_after_reply(s, fd, 0, REASON_WRITE_OR_READBACK_FAILED);
    }
    return 1;
}

}  // namespace

void parse_control_request(const char* line, control_request* out) {
    control_request req = {};
    const char* p = line;
    char spare;
    if (scan_word(&p, req.command, COMMAND_WORD_MAX)) {
        req.count = 1;
        if (scan_word(&p, req.session, SESSION_MAX)) {
            req.count = 2;
            int number = scan_i32_field(&p, &req.number);
            if (number != 0) {
                req.count = 3;
                req.number_overflow = number < 0;
                if (number < 0) req.number = 0;
                if (scan_char(&p, &spare)) req.count = 4;
            }
        }
    }
    *out = req;
}

const control_command* find_control_command(const control_request* req) {
    if (req->number_overflow) return nullptr;
    for (const control_command& c : kControlCommands) {
        if (c.fields == req->count && strcmp(c.word, req->command) == 0) return &c;
    }
    return nullptr;
}

int format_status_reply(char* buf, size_t size, const daemon_state* s, int ok, const char* reason,
                        int actual) {
    int n = snprintf(
        buf, size,
        "{\"ok\":%s,\"reason\":\"%s\",\"backend\":\"raw_main_node\",\"native_build\":\"" NATIVE_BUILD
        "\",\"path\":\"%s\",\"canonical_path\":\"%s\",\"target\":%d,\"actual\":%d,"
        "\"maximum\":%d,\"armed\":%s,\"paused\":%s,\"session\":\"%s\",\"write_attempts\":%d,"
        "\"write_successes\":%d,\"corrections\":%d,\"errno\":%d}\n",
        json_bool(ok), reason, s->node.node_path, s->node.canonical_path, s->hold.target, actual,
        s->node.maximum, json_bool(s->hold.armed), json_bool(s->hold.paused), s->hold.session,
        s->counters.write_attempts, s->counters.write_successes, s->counters.corrections,
        s->counters.last_error);
    if (n < 1 || static_cast<size_t>(n) >= size) return -1;
    return n;
}

int open_control_socket(void) {
    unique_fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.ok()) return -1;
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, CONTROL_SOCKET_NAME, CONTROL_NAME_LEN);
    if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), CONTROL_ADDR_LEN) != 0) return -1;
    if (listen(fd.get(), CONTROL_BACKLOG) != 0) return -1;
    return fd.release();
}

void handle_control_connection(daemon_state* s, int fd) {
    struct ucred cred = {};
    socklen_t cred_len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0) return;
    unsigned peer = peer_of(cred.uid);
    if (peer == 0) return;  // anyone else gets no answer at all

    struct timeval timeout = {0, static_cast<suseconds_t>(REQUEST_TIMEOUT_MS) * 1000};
    int timed = setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    char line[REQUEST_SIZE];
    if (receive_request(fd, line, timed) != 0) return;
    control_request req;
    parse_control_request(line, &req);
    int64_t now_ms = monotonic_ms();

    const control_command* cmd = find_control_command(&req);
    int served = 0;
    if (cmd != nullptr && (cmd->peers & peer) != 0) {
        switch (cmd->verb) {
            case VERB_STATUS: served = serve_status(s, fd, &req, now_ms); break;
            case VERB_ARM: served = serve_arm(s, fd, &req, now_ms); break;
            case VERB_STOP: served = serve_stop(s, fd, &req, now_ms); break;
            case VERB_STOP_SESSION: served = serve_stop_session(s, fd, &req, now_ms); break;
            case VERB_SET: served = serve_set(s, fd, &req, now_ms); break;
        }
    }
    if (!served) send_status_reply(s, fd, 0, REASON_STALE);
}
