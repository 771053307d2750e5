#include "node/write_guard.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "node/node_identity.h"
#include "node/permission_record.h"

static const mode_t kWriteBits = 0222;

int arm_write_guard(guard_state* guard, const node_identity* node, const char* boot_id) {
    if (guard->held_fd >= 0) return 0;
    struct stat st;
    if (!node_identity_ok(node, &st)) {
        errno = ESTALE;
        return -1;
    }
    guard->saved_mode = static_cast<int32_t>(st.st_mode & 0777);

    permission_record rec = {};
    rec.mode = static_cast<uint32_t>(guard->saved_mode);
    rec.dev = static_cast<uint64_t>(st.st_dev);
    rec.ino = static_cast<uint64_t>(st.st_ino);
    snprintf(rec.boot_id, sizeof rec.boot_id, "%s", boot_id);
    snprintf(rec.node_path, sizeof rec.node_path, "%s", node->node_path);
    snprintf(rec.canonical_path, sizeof rec.canonical_path, "%s", node->canonical_path);
    // Only once the record is on disk may the node's mode change.
    if (write_permission_record(&rec) != 0) return -1;

    int fd = open_node_for_write(node);
    if (fd < 0) {
        int saved = errno;
        restore_permissions(boot_id);
        errno = saved;
        return -1;
    }
    guard->held_fd = fd;
    if (fchmod(fd, static_cast<mode_t>(guard->saved_mode) & ~kWriteBits) == 0) return 0;
    // Report why arming failed, not what the release's own lookups left in
    // errno; a failed release reports itself.
    int saved = errno;
    if (release_write_guard(guard, boot_id) == 0) errno = saved;
    return -1;
}

int release_write_guard(guard_state* guard, const char* boot_id) {
    if (guard->held_fd >= 0) close(guard->held_fd);
    guard->held_fd = -1;
    int rc = restore_permissions(boot_id);
    if (rc == 0) guard->saved_mode = -1;
    return rc;
}

int enforce_guard_mode(const guard_state* guard, const struct stat* node_st) {
    if (guard->held_fd < 0) return 0;
    struct stat st;
    if (node_st == nullptr) {
        if (fstat(guard->held_fd, &st) != 0) return -1;
        node_st = &st;
    }
    if ((node_st->st_mode & kWriteBits) == 0) return 0;
    return fchmod(guard->held_fd, node_st->st_mode & 0777 & ~kWriteBits);
}
