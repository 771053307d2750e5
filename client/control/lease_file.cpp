// Lease files as their owners must write them: replaced in one step by a
// temporary file renamed over the lease, and the temporary files that
// cut-off writers left behind cleared. Writers of one lease run side by
// side (a renewing holder, a one-off write), and each one's clean-up must
// never take a temporary file that another writer is about to rename: a
// temporary file is locked from before it has a name until it is renamed,
// and the clean-up removes only files it holds locked.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/control/exit_status.h"
#include "client/control/lease_file.h"
#include "process/protocol.h"

namespace ctl {

namespace {

enum : int {
    LEASE_FILE_MODE = 0600,
    TEMP_SUFFIX_LEN = 6,     // ".NAME.XXXXXX", as mkostemp names them
    TEMP_NAME_TRIES = 16,    // random names tried for the unnamed file
    NAMED_FILE_TRIES = 4,    // named files made when others' clean-ups took them
};

std::string errno_text(int err) {
    return strerror(err);
}

void split_lease_path(const char* path, std::string* dir, std::string* lease_name) {
    std::string final_path(path);
    size_t slash = final_path.rfind('/');
    *dir = final_path.substr(0, slash);
    *lease_name = final_path.substr(slash + 1);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// dir/.NAME.XXXXXX with six random letters and digits.
std::string random_temporary_name(const std::string& dir, const std::string& lease_name) {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned counter = 0;
    unsigned char bytes[TEMP_SUFFIX_LEN];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        unsigned mix = static_cast<unsigned>(ts.tv_nsec) ^ (static_cast<unsigned>(getpid()) << 16) ^ ++counter;
        for (unsigned char& b : bytes) {
            mix = mix * 1103515245u + 12345u;
            b = static_cast<unsigned char>(mix >> 16);
        }
    }
    std::string name = dir + "/." + lease_name + ".";
    for (unsigned char b : bytes) name += kChars[b % (sizeof kChars - 1)];
    return name;
}

// Gives the unnamed file open on fd a fresh temporary name (*tmp): through
// /proc/self/fd, or by the descriptor itself where /proc is missing. 0, or
// the errno of the last try (*tmp then empty).
int name_unnamed_file(int fd, const std::string& dir, const std::string& lease_name, const lease_write_seam* seam,
                      std::string* tmp) {
    if (seam && seam->naming_error != 0) return seam->naming_error;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    int err = 0;
    for (int i = 0; i < TEMP_NAME_TRIES; ++i) {
        *tmp = random_temporary_name(dir, lease_name);
        if (seam && seam->before_naming) seam->before_naming(*tmp);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp->c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno == ENOENT && linkat(fd, "", AT_FDCWD, tmp->c_str(), AT_EMPTY_PATH) == 0) return 0;
        err = errno;
        if (err != EEXIST) break;
    }
    tmp->clear();
    return err;
}

// The unnamed temporary file, locked before anything else can happen to
// it; -1 when there is none. *error is set only when the failure is one
// that a named file would not mend: where the kernel or the file system
// cannot make unnamed files, it stays empty and the named way serves.
int make_unnamed_locked(const std::string& dir, const lease_write_seam* seam, std::string* error) {
    int fd = -1;
    if (seam && seam->unnamed_error != 0) errno = seam->unnamed_error;
    else fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, LEASE_FILE_MODE);
    if (fd < 0) {
        // EOPNOTSUPP: the file system cannot; EISDIR: the kernel predates
        // unnamed files and took the flag for O_DIRECTORY.
        if (errno != EOPNOTSUPP && errno != EISDIR)
            *error = "cannot create a temporary file in " + dir + ": " + errno_text(errno);
        return -1;
    }
    if (seam && seam->after_create) seam->after_create();
    if (flock(fd, LOCK_EX) != 0) {
        *error = "cannot lock a temporary file in " + dir + ": " + errno_text(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Where the file system cannot make unnamed files: a named temporary file,
// locked. Between its creation and the lock another writer's clean-up may
// take it and remove it, so it is used only if its name still leads to the
// locked file once the lock is held (from then on no clean-up can take
// it); otherwise a new one is made. The descriptor (*tmp names it), or -1
// with *error.
int make_named_locked(const std::string& dir, const std::string& lease_name, const lease_write_seam* seam,
                      std::string* tmp, std::string* error) {
    for (int i = 0; i < NAMED_FILE_TRIES; ++i) {
        std::string pattern = dir + "/." + lease_name + ".XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        // mkostemp creates the file with mode 0600, so no other user can
        // ever open it, not even before the fchmod.
        int fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) {
            *error = "cannot create a temporary file in " + dir + ": " + errno_text(errno);
            return -1;
        }
        if (seam && seam->after_create) seam->after_create();
        struct stat held, named;
        if (flock(fd, LOCK_EX) != 0 || fstat(fd, &held) != 0) {
            *error = std::string("cannot lock ") + name.data() + ": " + errno_text(errno);
            close(fd);
            unlink(name.data());
            return -1;
        }
        if (lstat(name.data(), &named) == 0 && same_file(named, held)) {
            *tmp = name.data();
            return fd;
        }
        close(fd);  // removed meanwhile; its name, if any, is not ours
    }
    *error = "cannot keep a temporary file in " + dir + ": other writers' clean-ups removed it " +
             std::to_string(NAMED_FILE_TRIES) + " times";
    return -1;
}

// Writes text into the temporary file open on fd (what names it) and makes
// it a lease the daemons accept: synced, the system user's, mode 0600.
// False with *error.
bool fill_temporary(int fd, const std::string& text, const std::string& what, bool durable, std::string* error) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + what + ": " + errno_text(errno);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (durable && fsync(fd) != 0) {
        *error = "cannot sync " + what + ": " + errno_text(errno);
        return false;
    }
    // The daemons accept only leases owned by the system user. Run as that
    // user the file is already its own; run as root it is handed over.
    if (geteuid() != SYSTEM_UID && fchown(fd, SYSTEM_UID, SYSTEM_UID) != 0) {
        *error = "cannot give the lease to uid 1000 (run as root or as uid 1000): " + errno_text(errno);
        return false;
    }
    if (fchmod(fd, LEASE_FILE_MODE) != 0) {
        *error = "cannot set mode 0600: " + errno_text(errno);
        return false;
    }
    return true;
}

}  // namespace

// Replaces path with text in one step: a temporary file in the same
// directory, written, synced, handed to the system user and renamed over
// the lease. A reader (the daemon) never sees a partial line, and the
// outdoor daemon, which wakes only on files moved in or deleted, notices.
// The file is made unnamed and locked, and given its temporary name only
// once it is whole, so no name of it exists before the lock is held. Where
// that cannot be (no unnamed files; naming one refused, as by a policy that
// denies link, or impossible, as without /proc for a user who may not name
// a file by its descriptor), a named temporary file, locked, serves.
bool replace_lease_file(const char* path, const std::string& text, std::string* error,
                        const lease_write_seam* seam, bool durable) {
    std::string dir, lease_name;
    split_lease_path(path, &dir, &lease_name);
    std::string tmp;  // the temporary name, once there is one
    std::string why;
    int fd = make_unnamed_locked(dir, seam, &why);
    if (fd < 0 && !why.empty()) {
        *error = why;
        return false;
    }
    if (fd >= 0) {
        if (!fill_temporary(fd, text, "the temporary file in " + dir, durable, error)) {
            close(fd);
            return false;
        }
        int err = name_unnamed_file(fd, dir, lease_name, seam, &tmp);
        // Every random name taken is no failure of naming as such: a
        // named file would meet the same crowd.
        if (err == EEXIST) {
            close(fd);
            *error = "cannot name the temporary file in " + dir + ": " + errno_text(err);
            return false;
        }
        if (err != 0) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        fd = make_named_locked(dir, lease_name, seam, &tmp, error);
        if (fd < 0) return false;
        if (!fill_temporary(fd, text, tmp, durable, error)) {
            // Ours while we hold the lock (no clean-up removes a locked
            // file), so removed before the close lets go of it.
            unlink(tmp.c_str());
            close(fd);
            return false;
        }
    }
    if (seam && seam->before_rename) seam->before_rename();
    if (rename(tmp.c_str(), path) != 0) {
        int err = errno;
        unlink(tmp.c_str());
        close(fd);
        *error = std::string("cannot rename it to ") + path + ": " + errno_text(err);
        return false;
    }
    close(fd);  // synced above: nothing is left for close to report; the lock ends here
    return true;
}

// ".NAME.XXXXXX": the name replace_lease_file gives its temporary files.
bool is_own_temporary_name(const char* entry, const std::string& lease_name) {
    size_t len = strlen(entry);
    if (len != 1 + lease_name.size() + 1 + TEMP_SUFFIX_LEN || entry[0] != '.' ||
        strncmp(entry + 1, lease_name.c_str(), lease_name.size()) != 0 ||
        entry[1 + lease_name.size()] != '.')
        return false;
    for (const char* c = entry + len - TEMP_SUFFIX_LEN; *c; ++c) {
        bool alnum = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        if (!alnum) return false;
    }
    return true;
}

// A writer killed or cut off between naming its temporary file and the
// rename leaves the file behind for good. Each writer clears those of its
// own lease when it starts: regular files of its own naming and making
// (its uid's, or the system user's, to whom root hands them), never
// through a link, and only while it holds the file locked and the name
// still leads to it. A writer at work holds its file locked from before it
// has a name until after the rename, so no writer's file is taken.
void remove_temporary_leftovers(const char* path) {
    std::string dir, lease_name;
    split_lease_path(path, &dir, &lease_name);
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;  // the write that follows says what is wrong
    uid_t me = geteuid();
    int dfd = dirfd(d);
    while (struct dirent* e = readdir(d)) {
        if (!is_own_temporary_name(e->d_name, lease_name)) continue;
        struct stat st;
        if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (st.st_uid != me && !(me == 0 && st.st_uid == SYSTEM_UID)) continue;
        int fd = openat(dfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened, again;
        if (fstat(fd, &opened) == 0 && same_file(opened, st) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dfd, e->d_name, &again, AT_SYMLINK_NOFOLLOW) == 0 && same_file(again, opened) &&
            unlinkat(dfd, e->d_name, 0) != 0 && errno != ENOENT)
            complain("cannot remove " + dir + "/" + e->d_name + ": " + errno_text(errno));
        close(fd);
    }
    closedir(d);
}

}  // namespace ctl
