#include "node/node_identity.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/unique_fd.h"
#include "node/node_policy.h"

static const char kMaxName[] = "max_brightness";

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

int node_identity_ok(const node_identity* node) {
    int saved = errno;
    struct stat st;
    int ok = 0;
    if (stat(node->node_path, &st) == 0 && stat_is_node(&st, node)) {
        char real[REALPATH_SIZE];
        ok = realpath(node->node_path, real) != nullptr && strcmp(real, node->canonical_path) == 0;
    }
    errno = saved;
    return ok;
}

int open_node_for_write(const node_identity* node) {
    if (!node_identity_ok(node)) return fail_with(ESTALE);
    unique_fd fd(open(node->node_path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !stat_is_node(&st, node) || !node_identity_ok(node)) {
        fd.reset();
        return fail_with(ESTALE);
    }
    return fd.release();
}
