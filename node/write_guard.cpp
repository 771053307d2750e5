#include "node/write_guard.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
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

// Gives the bits back through the descriptor the guard holds, so that
// whatever covers the node's path by now (a mount, another namespace's
// view) cannot matter: only while the record is this boot's and names the
// very inode the descriptor is open on. A record gone behind our back
// leaves the bits the guard saved. 0 once the bits are back and the record
// is gone; -1 to fall back on the path.
static int restore_through_held(const guard_state* guard, const char* boot_id) {
    struct stat st;
    if (fstat(guard->held_fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    permission_record rec;
    int loaded = load_permission_record(&rec);
    if (loaded < 0) return -1;
    if (loaded == 1) {
        if (guard->saved_mode < 0) return -1;
        return fchmod(guard->held_fd, static_cast<mode_t>(guard->saved_mode));
    }
    if (rec.legacy || strcmp(rec.boot_id, boot_id) != 0 || rec.dev != static_cast<uint64_t>(st.st_dev) ||
        rec.ino != static_cast<uint64_t>(st.st_ino)) {
        return -1;
    }
    if (fchmod(guard->held_fd, static_cast<mode_t>(rec.mode)) != 0) return -1;
    return unlink(PERMISSION_RECORD_PATH);
}

int release_write_guard(guard_state* guard, const char* boot_id) {
    errno = 0;
    int rc = -1;
    int put_back = 0;
    if (guard->held_fd >= 0) {
        rc = restore_through_held(guard, boot_id);
        put_back = rc == 0;
        close(guard->held_fd);
        guard->held_fd = -1;
    }
    if (rc != 0) {
        record_outcome outcome;
        rc = apply_permission_record(boot_id, &outcome);
        put_back = rc == 0 && outcome == RECORD_APPLIED;
        // A record dropped because its node was made afresh put nothing
        // back: the release did not give the bits back.
        if (rc == 0 && outcome == RECORD_DROPPED) {
            errno = ESTALE;
            rc = -1;
        }
    }
    if (rc == 0) {
        guard->saved_mode = -1;
        // Finding nothing left to put back does not undo an earlier
        // failure: the bits are only back once a release put them back.
        if (put_back) guard->release_errno = 0;
    } else {
        if (errno == 0) errno = EIO;
        guard->release_errno = errno;
    }
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
