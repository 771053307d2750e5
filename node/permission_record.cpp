#include "node/permission_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/mount_table.h"
#include "common/scan.h"
#include "common/small_file.h"
#include "common/unique_fd.h"
#include "node/node_policy.h"
#include "process/environment.h"

namespace {

const char kV2Magic[] = "v2\n";
const size_t kV2MagicLen = 3;
const uint32_t kModeLimit = 01000;
enum {
    PROC_FD_PATH_SIZE = 32,
    RECORD_TEMP_NAMES = 4,
};

int fail_with(int code) {
    errno = code;
    return -1;
}

int parse_v2(const char* text, permission_record* rec) {
    const char* p = text + 2;  // past "v2"
    char spare;
    if (!scan_octal(&p, &rec->mode) || !scan_u64(&p, &rec->dev) || !scan_u64(&p, &rec->ino) ||
        !scan_word(&p, rec->boot_id, BOOT_ID_SIZE - 1) ||
        !scan_word(&p, rec->node_path, NODE_PATH_SIZE - 1) ||
        !scan_word(&p, rec->canonical_path, CANONICAL_PATH_SIZE - 1) || scan_char(&p, &spare)) {
        return -1;
    }
    char checked_boot_id[BOOT_ID_SIZE];
    if (parse_boot_identity(rec->boot_id, strlen(rec->boot_id), checked_boot_id) != 0) return -1;
    if (!node_path_allowed(rec->node_path)) return -1;
    if (!under_sysfs_devices(rec->canonical_path)) return -1;
    return 0;
}

int parse_legacy(const char* text, permission_record* rec) {
    const char* p = text;
    char spare;
    if (!scan_octal(&p, &rec->mode) || scan_char(&p, &spare)) return -1;
    rec->legacy = 1;
    snprintf(rec->node_path, sizeof rec->node_path, "%s", LEGACY_NODE_PATH);
    return 0;
}

// A temporary name for the record where the file system cannot create it
// unnamed: the usual name, or, when something that cannot be removed sits
// there, the next of a few numbered ones. Returns the descriptor (path
// has the name), or -1 with errno.
int open_named_temporary(char* path, size_t size) {
    for (int i = 0; i < RECORD_TEMP_NAMES; ++i) {
        int n = i == 0 ? snprintf(path, size, "%s", PERMISSION_RECORD_TMP_PATH)
                       : snprintf(path, size, "%s.%d", PERMISSION_RECORD_TMP_PATH, i);
        if (n < 1 || static_cast<size_t>(n) >= size) return fail_with(ENAMETOOLONG);
        // A leftover of a crash is replaced; anything that cannot be
        // removed (a directory) is passed by.
        if (unlink(path) != 0 && errno != ENOENT) continue;
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return fail_with(EEXIST);
}

// Gives the unnamed file open on fd the record's name.
int link_unnamed(int fd) {
    char self[PROC_FD_PATH_SIZE];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self, AT_FDCWD, PERMISSION_RECORD_PATH, AT_SYMLINK_FOLLOW) == 0) return 0;
    // Without /proc, the descriptor itself names the file (this needs a
    // capability that root normally has).
    if (errno != ENOENT) return -1;
    return linkat(fd, "", AT_FDCWD, PERMISSION_RECORD_PATH, AT_EMPTY_PATH);
}

// 1 when the private directory, and so the names in it, reached the disk.
int sync_private_dir() {
    unique_fd dir(open(PRIVATE_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.ok() && fsync(dir.get()) == 0;
}

// The file is made without a name where the file system allows it, so
// nothing left at a temporary name by an earlier run can get in the way.
// An existing record is never replaced (EEXIST): it still keeps bits to
// restore.
int create_record_file(const char* text, size_t len) {
    struct stat st;
    if (lstat(PERMISSION_RECORD_PATH, &st) == 0) return fail_with(EEXIST);
    if (errno != ENOENT) return -1;

    char tmp_path[NODE_PATH_SIZE] = "";
    unique_fd fd(open(PRIVATE_DIR, O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600));
    if (!fd.ok()) {
        // EOPNOTSUPP: the file system cannot; EISDIR: the kernel predates
        // unnamed files and took the flag for O_DIRECTORY.
        if (errno != EOPNOTSUPP && errno != EISDIR) return -1;
        fd = unique_fd(open_named_temporary(tmp_path, sizeof tmp_path));
        if (!fd.ok()) return -1;
    }
    errno = 0;
    ssize_t written = write(fd.get(), text, len);
    int ok = written >= 0 && static_cast<size_t>(written) == len;
    if (ok) ok = fsync(fd.get()) == 0;
    if (ok) {
        ok = tmp_path[0] != '\0' ? link(tmp_path, PERMISSION_RECORD_PATH) == 0 : link_unnamed(fd.get()) == 0;
        // The name is on disk only once the directory is: without this a
        // power cut can lose the record while the node has lost its bits.
        if (ok && !sync_private_dir()) {
            int sync_errno = errno;
            unlink(PERMISSION_RECORD_PATH);
            errno = sync_errno;
            ok = 0;
        }
    }
    int saved = errno != 0 ? errno : EIO;
    fd.reset();
    if (tmp_path[0] != '\0') unlink(tmp_path);
    errno = saved;
    return ok ? 0 : -1;
}

}  // namespace

int parse_permission_record(const char* text, permission_record* out) {
    permission_record rec = {};
    int rc = strncmp(text, kV2Magic, kV2MagicLen) == 0 ? parse_v2(text, &rec)
                                                        : parse_legacy(text, &rec);
    if (rc != 0 || rec.mode >= kModeLimit) return fail_with(EINVAL);
    *out = rec;
    return 0;
}

int format_permission_record(const permission_record* rec, char* buf, size_t size) {
    int n = snprintf(buf, size, "v2\n%o\n%llu %llu\n%s\n%s\n%s\n", rec->mode,
                     static_cast<unsigned long long>(rec->dev),
                     static_cast<unsigned long long>(rec->ino), rec->boot_id, rec->node_path,
                     rec->canonical_path);
    if (n < 1 || static_cast<size_t>(n) >= size) return -1;
    return n;
}

int record_matches_node(const permission_record* rec, const char* real_path, uint64_t dev,
                        uint64_t ino) {
    if (!under_sysfs_devices(real_path)) return 0;
    if (rec->legacy) return 1;
    return strcmp(rec->canonical_path, real_path) == 0 && rec->dev == dev && rec->ino == ino;
}

// 1 only when the node path leads to another inode at the very place the
// record names, on the file system the record was taken on, with nothing
// mounted in the way: then the driver made the node afresh and the
// recorded inode is gone. Anything else may be the recorded node hidden or
// moved: a file system or a file mounted over the node or over a
// directory on its way, another namespace's sysfs (another device
// number), a device renamed. (The same inode at that place is the
// recorded node itself, which the caller has already found.)
static int node_made_afresh(const permission_record* rec, const char* real, const struct stat* st) {
    if (strcmp(real, rec->canonical_path) != 0) return 0;
    uint64_t dev = static_cast<uint64_t>(st->st_dev);
    if (dev != rec->dev) return 0;
    // Only the mount table tells a bind of a part of the same file system
    // from the file system itself; the walk must land where the look-up did.
    mount_step on;
    if (mount_of_path(rec->canonical_path, &on) != 0) return 0;
    return on.whole_fs && on.dev == dev;
}

record_node_verdict judge_record_node(const permission_record* rec, struct stat* node_st) {
    int saved = errno;
    record_node_verdict verdict = RECORD_NODE_ELSEWHERE;
    char real[REALPATH_SIZE];
    if (stat(rec->node_path, node_st) != 0) {
        verdict = RECORD_NODE_MISSING;
    } else if (S_ISREG(node_st->st_mode) && realpath(rec->node_path, real) != nullptr &&
               under_sysfs_devices(real)) {
        uint64_t dev = static_cast<uint64_t>(node_st->st_dev);
        uint64_t ino = static_cast<uint64_t>(node_st->st_ino);
        if (record_matches_node(rec, real, dev, ino)) {
            verdict = RECORD_NODE_SAME;
        } else if (!rec->legacy && node_made_afresh(rec, real, node_st)) {
            verdict = RECORD_NODE_REPLACED;
        }
    }
    errno = saved;
    return verdict;
}

int write_permission_record(const permission_record* rec) {
    char text[PERMISSION_RECORD_SIZE];
    int len = format_permission_record(rec, text, sizeof text);
    if (len < 0) return fail_with(ENAMETOOLONG);
    return create_record_file(text, static_cast<size_t>(len));
}

int load_permission_record(permission_record* rec) {
    // Root's own file: owned by root, no group or other bits. A FIFO
    // planted in its place does not block (and fails the check).
    char text[PERMISSION_RECORD_SIZE];
    small_file_step failed;
    ssize_t n = read_small_file(PERMISSION_RECORD_PATH, O_NOFOLLOW | O_NONBLOCK, ROOT_UID, text,
                                sizeof text, &failed);
    if (n < 0 && failed == SMALL_FILE_OPEN) return errno == ENOENT ? 1 : -1;
    if (n < 0 && failed == SMALL_FILE_CHECK) return -1;
    // Unreadable, empty, or possibly longer than we looked at.
    if (n < 1 || n == PERMISSION_RECORD_SIZE - 1) return fail_with(EINVAL);
    return parse_permission_record(text, rec);
}

int apply_permission_record(const char* boot_id, record_outcome* outcome) {
    permission_record rec;
    int loaded = load_permission_record(&rec);
    if (loaded < 0) return -1;
    if (loaded == 1) {
        *outcome = RECORD_ABSENT;
        return 0;
    }
    if (!rec.legacy && strcmp(rec.boot_id, boot_id) != 0) {
        // Modes of sysfs nodes do not survive a reboot: nothing to put back.
        if (unlink(PERMISSION_RECORD_PATH) != 0) return -1;
        *outcome = RECORD_OTHER_BOOT;
        return 0;
    }

    struct stat node_st;
    record_node_verdict verdict = judge_record_node(&rec, &node_st);
    if (verdict == RECORD_NODE_REPLACED) {
        // The driver made the node afresh: the inode whose bits we took is
        // gone, and the kernel gave its successor a mode of its own.
        // Nothing can be put back, and a record kept would stop every start
        // until reboot.
        if (unlink(PERMISSION_RECORD_PATH) != 0) return -1;
        fprintf(stderr, "NATIVE_RECORD_DROPPED reason=node_replaced path=%s dev=%llu ino=%llu\n",
                rec.node_path, static_cast<unsigned long long>(rec.dev),
                static_cast<unsigned long long>(rec.ino));
        *outcome = RECORD_DROPPED;
        return 0;
    }
    if (verdict != RECORD_NODE_SAME) return fail_with(ESTALE);
    unique_fd node(open(rec.node_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!node.ok()) return -1;
    struct stat open_st;
    if (fstat(node.get(), &open_st) != 0 || open_st.st_dev != node_st.st_dev ||
        open_st.st_ino != node_st.st_ino) {
        return fail_with(ESTALE);
    }
    if (fchmod(node.get(), static_cast<mode_t>(rec.mode)) != 0) return -1;
    node.reset();
    if (unlink(PERMISSION_RECORD_PATH) != 0) return -1;
    *outcome = RECORD_APPLIED;
    return 0;
}

int restore_permissions(const char* boot_id) {
    record_outcome outcome;
    return apply_permission_record(boot_id, &outcome);
}
