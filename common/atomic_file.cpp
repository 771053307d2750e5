#include "common/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/unique_fd.h"

static const int kTempOpenFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Our user does not change: asked once, not on every record. (A plain
// static, not a guarded local one, which would pull in the C++ runtime.)
static uid_t process_euid(void) {
    static uid_t euid = static_cast<uid_t>(-1);
    if (euid == static_cast<uid_t>(-1)) euid = geteuid();
    return euid;
}

// Returns a descriptor on an empty regular file at tmp_path that only this
// process can have reached, or -1.
static int open_temporary(const char* tmp_path) {
    unique_fd fd(open(tmp_path, kTempOpenFlags | O_CREAT, 0644));
    if (fd.ok()) {
        struct stat st;
        if (fstat(fd.get(), &st) != 0) return -1;
        if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == process_euid()) {
            if (ftruncate(fd.get(), 0) != 0) return -1;
            return fd.release();
        }
    } else if (errno != ENXIO && errno != EWOULDBLOCK && errno != ETXTBSY) {
        // ELOOP for a symbolic link ends here, as does anything we cannot
        // safely remove.
        return -1;
    }
    fd.reset();
    if (unlink(tmp_path) != 0 && errno != ENOENT) return -1;
    return open(tmp_path, kTempOpenFlags | O_CREAT | O_EXCL, 0644);
}

int replace_file_atomically(const char* tmp_path, const char* final_path,
                            const char* text, size_t len, int flags) {
    unique_fd fd(open_temporary(tmp_path));
    if (!fd.ok()) return -1;
    if ((flags & ATOMIC_SET_MODE_0644) && fchmod(fd.get(), 0644) != 0) {
        fd.reset();
        int saved = errno;
        unlink(tmp_path);
        errno = saved;
        return -1;
    }
    // Not synced: the records are rewritten every few seconds for hours,
    // and a sync would flush the flash as often and stall the loop. They
    // describe one boot (their times are its monotonic clock), so after a
    // power cut a record that is missing, empty (the rename reached the
    // disk before the data) or old says the same thing: no daemon of this
    // boot. The rename still keeps readers of this boot from ever seeing
    // half a record.
    ssize_t written = write(fd.get(), text, len);
    int saved = errno;
    fd.reset();
    if (written < 0 || static_cast<size_t>(written) != len) {
        unlink(tmp_path);
        errno = saved;
        return -1;
    }
    return rename(tmp_path, final_path) == 0 ? 0 : -1;
}
