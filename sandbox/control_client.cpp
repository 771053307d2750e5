// A client for the daemon's abstract control socket, as root or as any
// other user.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

// One NUL, then the name without a terminator: 2 + 26 = 28 bytes.
socklen_t control_address(sockaddr_un* addr) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    size_t len = strlen(kControlSocketName);
    memcpy(addr->sun_path + 1, kControlSocketName, len);
    return (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + len);
}

int connect_here() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr;
    socklen_t len = control_address(&addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// The peer credentials of a unix stream socket are fixed at connect time,
// so a child that has switched users connects and hands the descriptor
// back; the daemon then sees that user whoever does the talking.
int connect_as(uid_t uid) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    pid_t pid = fork_child();
    if (pid < 0) {
        int e = errno;
        close(pair[0]);
        close(pair[1]);
        errno = e;
        return -1;
    }
    if (pid == 0) {
        close(pair[0]);
        int result = 0;
        int fd = -1;
        if (detail::drop_privileges(uid, uid) != 0) {
            result = errno ? errno : EPERM;
        } else {
            fd = connect_here();
            if (fd < 0) result = errno;
        }
        msghdr msg;
        memset(&msg, 0, sizeof msg);
        iovec iov = {&result, sizeof result};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (fd >= 0) {
            memset(control, 0, sizeof control);
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* cm = CMSG_FIRSTHDR(&msg);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            memcpy(CMSG_DATA(cm), &fd, sizeof fd);
        }
        _exit(sendmsg(pair[1], &msg, MSG_NOSIGNAL) < 0 ? 1 : 0);
    }
    close(pair[1]);
    int fd = -1;
    int result = EIO;
    pollfd p = {pair[0], POLLIN, 0};
    if (poll(&p, 1, 10000) == 1) {
        msghdr msg;
        memset(&msg, 0, sizeof msg);
        iovec iov = {&result, sizeof result};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(pair[0], &msg, MSG_CMSG_CLOEXEC) == (ssize_t)sizeof result) {
            for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
                if (cm->cmsg_level == SOL_SOCKET && cm->cmsg_type == SCM_RIGHTS) {
                    memcpy(&fd, CMSG_DATA(cm), sizeof fd);
                }
            }
        }
    }
    close(pair[0]);
    int status;
    if (detail::reap_child(pid, std::chrono::seconds(5)) == std::nullopt) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    if (fd < 0) {
        errno = result ? result : EIO;
        return -1;
    }
    return fd;
}

}  // namespace

bool control_socket_listening() {
    auto table = read_file("/proc/net/unix");
    if (!table) return false;
    std::istringstream in(*table);
    std::string line;
    std::string want = std::string("@") + kControlSocketName;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string num, refs, proto, flags, type, st, inode, path;
        if (!(fields >> num >> refs >> proto >> flags >> type >> st >> inode >> path)) continue;
        // Flags 00010000 marks a listening socket.
        if (path == want && flags == "00010000") return true;
    }
    return false;
}

int connect_control(uid_t uid) { return uid == 0 ? connect_here() : connect_as(uid); }

std::optional<std::string> exchange(int fd, const std::string& bytes, std::chrono::milliseconds timeout) {
    int64_t deadline = monotonic_ms() + timeout.count();
    size_t sent = 0;
    while (sent < bytes.size()) {
        int left = (int)std::max<int64_t>(0, deadline - monotonic_ms());
        pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, left) <= 0) break;
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        sent += (size_t)n;
    }
    std::string reply;
    char buf[4096];
    for (;;) {
        int left = (int)std::max<int64_t>(0, deadline - monotonic_ms());
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        reply.append(buf, (size_t)n);
    }
    if (reply.empty()) return std::nullopt;
    return reply;
}

std::optional<std::string> json_field(const std::string& text, const std::string& key) {
    std::string needle = "\"" + key + "\":";
    size_t at = text.find(needle);
    if (at == std::string::npos) return std::nullopt;
    at += needle.size();
    if (at < text.size() && text[at] == '"') {
        size_t end = text.find('"', at + 1);
        if (end == std::string::npos) return std::nullopt;
        return text.substr(at + 1, end - at - 1);
    }
    size_t end = text.find_first_of(",}", at);
    if (end == std::string::npos) return std::nullopt;
    return text.substr(at, end - at);
}

std::string reason_of(const std::optional<std::string>& reply) {
    if (!reply) return "<no reply>";
    return json_field(*reply, "reason").value_or("<no reason>");
}

std::optional<std::string> send_request(const std::string& line, uid_t uid, std::chrono::milliseconds timeout) {
    int fd = connect_control(uid);
    if (fd < 0) return std::nullopt;
    std::string bytes = line;
    if (bytes.empty() || bytes.back() != '\n') bytes.push_back('\n');
    auto reply = exchange(fd, bytes, timeout);
    close(fd);
    return reply;
}

}  // namespace sandbox
