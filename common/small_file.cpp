#include "common/small_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "common/unique_fd.h"

int stat_is_trusted(const struct stat* st, uid_t owner) {
    if ((st->st_mode & (S_IFMT | 077)) != S_IFREG) return 0;
    return st->st_uid == owner ? 1 : 0;
}

ssize_t read_small_file(const char* path, int extra_flags, int owner, char* buf, size_t cap,
                        small_file_step* failed) {
    small_file_step ignored;
    if (failed == nullptr) failed = &ignored;
    memset(buf, 0, cap);
    *failed = SMALL_FILE_READ;
    if (cap < 2) {
        errno = EINVAL;
        return -1;
    }
    *failed = SMALL_FILE_OPEN;
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | extra_flags));
    if (!fd.ok()) return -1;
    *failed = SMALL_FILE_CHECK;
    if (owner != SMALL_FILE_ANY_OWNER) {
        struct stat st;
        if (fstat(fd.get(), &st) != 0) return -1;
        if (!stat_is_trusted(&st, static_cast<uid_t>(owner))) return -1;
    }
    *failed = SMALL_FILE_READ;
    ssize_t n;
    do {
        n = read(fd.get(), buf, cap - 1);
    } while (n < 0 && errno == EINTR);
    return n;
}
