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
#include "common/scan.h"
#include "common/unique_fd.h"
#include "daemon/state.h"
#include "daemon/startup.h"
#include "mainpanel/health.h"
#include "mainpanel/hold_loop.h"
#include "mainpanel/lease.h"
#include "node/node_value.h"
#include "node/write_guard.h"

namespace {

enum { ROOT_UID = 0, PEER_UID_SYSTEM = 1000 };

const char* json_bool(int value) {
    return value ? "true" : "false";
}

// Reads one request line into buf (REQUEST_SIZE bytes). The whole read is
// bounded by REQUEST_TIMEOUT_MS, not each receive, so a client dripping one
// byte at a time cannot keep the loop away from its node for long.
// Returns 0 when a request was received, -1 when there is none to answer.
int receive_request(int fd, char* buf) {
    memset(buf, 0, REQUEST_SIZE);
    size_t count = 0;
    int64_t deadline = monotonic_ms() + REQUEST_TIMEOUT_MS;
    while (count <= REQUEST_SIZE - 2) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0) return -1;
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;
        ssize_t n = recv(fd, buf + count, REQUEST_SIZE - 1 - count, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return -1;
        count += static_cast<size_t>(n);
        buf[count] = '\0';
        if (strchr(buf, '\n') != nullptr) break;
    }
    return 0;
}

int is_command(const control_request* req, const char* word, int count) {
    return req->count == count && !req->number_overflow && strcmp(req->command, word) == 0;
}

void reply_arm(int fd, const control_request* req, const lease_record* lease) {
    snprintf(g_daemon.session, sizeof g_daemon.session, "%s", req->session);
    g_daemon.lease_pid = req->number;
    g_daemon.lease_deadline_ms = lease->deadline_ms;
    g_daemon.armed = 1;
    g_daemon.paused = 0;
    g_daemon.last_error = 0;
    errno = 0;
    if (write_health_record(1) == 0) {
        send_status_reply(fd, 1, "armed");
        return;
    }
    g_daemon.last_error = errno != 0 ? errno : EIO;
    send_status_reply(fd, 0, "health_state_failed");
    g_daemon.stop_requested = 1;
}

void reply_stop(int fd) {
    int released = release_write_guard();
    clear_hold();
    send_status_reply(fd, released == 0, released == 0 ? "released" : "permission_restore_failed");
    g_daemon.stop_requested = 1;
}

void reply_set(int fd, const control_request* req, int64_t now_ms) {
    int rc = verified_write(req->number);
    if (rc == 0) {
        g_daemon.next_correction_ms = now_ms + CORRECTION_PERIOD_MS;
        send_status_reply(fd, 1, "readback_ok");
    } else if (rc > 0) {
        send_status_reply(fd, 0, "screen_not_writable");
    } else {
        release_write_guard();
        clear_hold();
        send_status_reply(fd, 0, "write_or_readback_failed");
        g_daemon.stop_requested = 1;
    }
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

int format_status_reply(char* buf, size_t size, int ok, const char* reason, int actual) {
    int n = snprintf(
        buf, size,
        "{\"ok\":%s,\"reason\":\"%s\",\"backend\":\"raw_main_node\",\"native_build\":\"" NATIVE_BUILD
        "\",\"path\":\"%s\",\"canonical_path\":\"%s\",\"target\":%d,\"actual\":%d,"
        "\"maximum\":%d,\"armed\":%s,\"paused\":%s,\"session\":\"%s\",\"write_attempts\":%d,"
        "\"write_successes\":%d,\"corrections\":%d,\"errno\":%d}\n",
        json_bool(ok), reason, g_daemon.node_path, g_daemon.canonical_path, g_daemon.target,
        actual, g_daemon.maximum, json_bool(g_daemon.armed), json_bool(g_daemon.paused),
        g_daemon.session, g_daemon.write_attempts, g_daemon.write_successes,
        g_daemon.corrections, g_daemon.last_error);
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

void send_status_reply(int fd, int ok, const char* reason) {
    int actual = read_sysfs_value(g_daemon.node_path);
    char reply[REPLY_SIZE];
    int len = format_status_reply(reply, sizeof reply, ok, reason, actual);
    if (len < 0) return;
    send(fd, reply, static_cast<size_t>(len), MSG_NOSIGNAL);
}

void handle_control_connection(int fd) {
    struct ucred cred = {};
    socklen_t cred_len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0) return;
    if (cred.uid != ROOT_UID && cred.uid != PEER_UID_SYSTEM) return;
    int is_root = cred.uid == ROOT_UID;

    struct timeval timeout = {0, static_cast<suseconds_t>(REQUEST_TIMEOUT_MS) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    char line[REQUEST_SIZE];
    if (receive_request(fd, line) != 0) return;
    control_request req;
    parse_control_request(line, &req);
    int64_t now_ms = monotonic_ms();
    lease_record lease;

    if (is_command(&req, "STATUS", 1)) {
        send_status_reply(fd, 1, "status");
    } else if (is_command(&req, "ARM", 3) && is_root &&
               lease_matches_request(req.session, req.number, &lease) && lease.active != 0 &&
               req.number >= 1 && is_valid_session_token(req.session)) {
        reply_arm(fd, &req, &lease);
    } else if ((is_command(&req, "STOP", 1) && is_root) ||
               (is_command(&req, "STOP", 2) && strcmp(req.session, g_daemon.session) == 0)) {
        reply_stop(fd);
    } else if (is_command(&req, "SET", 3) && is_root &&
               lease_matches_request(req.session, g_daemon.lease_pid, &lease) &&
               lease.active != 0 && lease.target == req.number &&
               accept_set_value(req.session, req.number, g_daemon.maximum, now_ms)) {
        reply_set(fd, &req, now_ms);
    } else {
        send_status_reply(fd, 0, "stale_or_invalid_request");
    }
}
