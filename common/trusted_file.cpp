#include "common/trusted_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "common/unique_fd.h"

void unique_fd::reset(int fd) {
    if (fd_ >= 0) {
        int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

int stat_is_trusted(const struct stat* st, uid_t owner) {
    if ((st->st_mode & (S_IFMT | 077)) != S_IFREG) return 0;
    return st->st_uid == owner ? 1 : 0;
}

int open_trusted_file(const char* path, uid_t owner) {
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.ok()) return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -1;
    if (!stat_is_trusted(&st, owner)) {
        errno = EPERM;
        return -1;
    }
    return fd.release();
}

ssize_t read_once(int fd, char* buf, size_t cap) {
    memset(buf, 0, cap);
    if (cap < 2) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    do {
        n = read(fd, buf, cap - 1);
    } while (n < 0 && errno == EINTR);
    return n;
}
