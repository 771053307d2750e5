#include "node/node_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "node/node_policy.h"
#include "node/node_value.h"

static const char kMaxName[] = "max_brightness";
enum { PROC_FD_PATH_SIZE = 32 };

static int fail_with(int code) {
    errno = code;
    return -1;
}

int capture_node(node_identity* node, const char* path) {
    if (!node_path_allowed(path)) return fail_with(EINVAL);
    size_t path_len = strlen(path);
    if (path_len > NODE_PATH_SIZE - 1) return fail_with(EINVAL);

    char real[REALPATH_SIZE];
    if (realpath(path, real) == nullptr || !real_path_allowed(real)) return fail_with(EINVAL);
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return fail_with(EINVAL);

    memcpy(node->node_path, path, path_len + 1);
    memcpy(node->canonical_path, real, strlen(real) + 1);
    node->node_dev = static_cast<uint64_t>(st.st_dev);
    node->node_ino = static_cast<uint64_t>(st.st_ino);

    // The policy guarantees the last "/" is the one before "brightness".
    const char* last_slash = strrchr(path, '/');
    int dir_len = static_cast<int>(last_slash - path);
    int n = snprintf(node->max_path, sizeof node->max_path, "%.*s/%s", dir_len, path, kMaxName);
    if (n < 1 || n > NODE_PATH_SIZE - 1) return fail_with(ENAMETOOLONG);

    // The maximum must come from the node's own device directory.
    char max_real[REALPATH_SIZE];
    if (realpath(node->max_path, max_real) == nullptr) return fail_with(EINVAL);
    char* max_dir_end = strrchr(max_real, '/');
    if (max_dir_end == nullptr) return fail_with(EINVAL);
    size_t max_dir_len = static_cast<size_t>(max_dir_end - max_real);
    const char* node_last = strrchr(real, '/');
    if (node_last == nullptr || static_cast<size_t>(node_last - real) != max_dir_len ||
        memcmp(real, max_real, max_dir_len) != 0) {
        return fail_with(EINVAL);
    }
    return 0;
}

int stat_is_node(const struct stat* st, const node_identity* node) {
    return S_ISREG(st->st_mode) && static_cast<uint64_t>(st->st_dev) == node->node_dev &&
           static_cast<uint64_t>(st->st_ino) == node->node_ino;
}

// The real path of what fd is open on, as the kernel names it. Returns 1
// when *out has it, 0 when it is longer than any node's can be, -1 when
// the kernel cannot tell (no /proc).
static int descriptor_real_path(int fd, char* out, size_t size) {
    char self[PROC_FD_PATH_SIZE];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(self, out, size - 1);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) >= size - 1) return 0;
    out[n] = '\0';
    return 1;
}

// 1 when the descriptor opened on node_path is the captured node: its
// device and inode, and its real path. Without /proc the path is resolved
// again instead (realpath), which tells the same where nothing moves in
// between.
static int descriptor_is_node(int fd, const node_identity* node, struct stat* st) {
    if (fstat(fd, st) != 0 || !stat_is_node(st, node)) return 0;
    char real[REALPATH_SIZE];
    int named = descriptor_real_path(fd, real, sizeof real);
    if (named == 0) return 0;
    if (named < 0 && realpath(node->node_path, real) == nullptr) return 0;
    return strcmp(real, node->canonical_path) == 0;
}

int node_identity_ok(const node_identity* node, struct stat* st_out) {
    int saved = errno;
    struct stat st;
    // O_PATH: only a name for the file, so this works on any node and
    // reads nothing; the final link is followed, as a stat would.
    unique_fd fd(open(node->node_path, O_PATH | O_CLOEXEC));
    int ok = fd.ok() && descriptor_is_node(fd.get(), node, &st);
    fd.reset();
    if (ok && st_out != nullptr) *st_out = st;
    errno = saved;
    return ok;
}

int read_node_checked(const node_identity* node, struct stat* st_out) {
    // Opened before its identity is known, so O_NONBLOCK: a FIFO put in the
    // node's place must fail the check below, not block the hold in open.
    unique_fd fd(open(node->node_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) {
        // Gone, or no longer the node, or only unreadable: the slow check
        // tells which, so that each keeps its own code.
        return fail_with(node_identity_ok(node) ? EIO : ESTALE);
    }
    struct stat st;
    if (!descriptor_is_node(fd.get(), node, &st)) return fail_with(ESTALE);
    char buf[SYSFS_READ_SIZE] = {};
    ssize_t n;
    do {
        n = read(fd.get(), buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    if (n < 1) return fail_with(EIO);
    int value = parse_sysfs_value(buf, static_cast<size_t>(n));
    if (value < 0) return fail_with(EIO);
    if (st_out != nullptr) *st_out = st;
    return value;
}

int open_node_for_write(const node_identity* node) {
    // Looked at before the open too: what sits at the path now could be a
    // FIFO, whose open for writing would block.
    if (!node_identity_ok(node)) return fail_with(ESTALE);
    unique_fd fd(open(node->node_path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) return -1;
    struct stat st;
    if (!descriptor_is_node(fd.get(), node, &st)) {
        fd.reset();
        return fail_with(ESTALE);
    }
    return fd.release();
}
