#include "process/environment.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/small_file.h"
#include "common/unique_fd.h"
#include "process/protocol.h"
#include "process/state.h"

static const char* const kFreezerTargets[] = {
    "/sys/fs/cgroup/cgroup.procs",
    "/sys/fs/cgroup/uid_0/cgroup.procs",
    "/dev/freezer/cgroup.procs",
    "/sys/fs/cgroup/freezer/cgroup.procs",
};

// In the order their handlers are installed.
static const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

enum { PID_TEXT_SIZE = 32 };

int check_private_directory(void) {
    struct stat st;
    if (stat(PRIVATE_DIR, &st) != 0) return 0;
    if ((st.st_mode & (S_IFMT | 077)) != S_IFDIR) return 0;
    return st.st_uid == 0 ? 1 : 0;
}

// A busy lock is tried again every MAIN_PANEL_LOCK_RETRY_MS for up to
// wait_ms; with wait_ms 0 the first try decides, without a clock read.
static int lock_instance_file(const char* path, int wait_ms) {
    unique_fd fd(open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok()) return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -1;
    if (!stat_is_trusted(&st, 0)) return -1;
    int64_t give_up = -1;
    while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || wait_ms <= 0) return -1;
        int64_t now = monotonic_ms();
        if (give_up < 0) give_up = now + wait_ms;
        if (now >= give_up) {
            errno = EWOULDBLOCK;
            return -1;
        }
        struct timespec pause = {0, MAIN_PANEL_LOCK_RETRY_MS * 1000000L};
        nanosleep(&pause, nullptr);
    }
    return fd.release();
}

int take_instance_lock(const char* path) {
    return lock_instance_file(path, 0);
}

int take_main_panel_lock(void) {
    return lock_instance_file(MAIN_PANEL_LOCK_PATH, 0);
}

int take_main_panel_lock_at_start(void) {
    return lock_instance_file(MAIN_PANEL_LOCK_PATH, MAIN_PANEL_LOCK_WAIT_MS);
}

static int is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int parse_boot_identity(const char* text, size_t len, char* out) {
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
    if (len != BOOT_ID_LENGTH) {
        errno = EINVAL;
        return -1;
    }
    for (size_t i = 0; i < len; ++i) {
        int dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !is_hex_digit(text[i])) {
            errno = EINVAL;
            return -1;
        }
    }
    memcpy(out, text, len);
    out[len] = '\0';
    return 0;
}

int read_boot_identity(char* out) {
    char buf[BOOT_ID_SIZE];
    ssize_t n = read_small_file(BOOT_ID_PATH, 0, SMALL_FILE_ANY_OWNER, buf, sizeof buf);
    if (n < 1) return -1;
    return parse_boot_identity(buf, static_cast<size_t>(n), out);
}

int escape_app_freezer(void) {
    char text[PID_TEXT_SIZE];
    int len = snprintf(text, sizeof text, "%d", static_cast<int>(getpid()));
    // The error reported is that of the last failed open or write, not of
    // the access probes of later, missing targets.
    int last_error = 0;
    for (const char* path : kFreezerTargets) {
        if (access(path, F_OK) != 0) continue;
        unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) {
            last_error = errno;
            continue;
        }
        ssize_t n = write(fd.get(), text, static_cast<size_t>(len));
        last_error = n < 0 ? errno : EIO;
        fd.reset();
        if (n == len) return 0;
    }
    if (last_error == 0) return 0;
    errno = last_error;
    return -1;
}

void on_stop_signal(int) {
    g_daemon.process.stop_requested = 1;
}

void install_stop_signals(int ignore_sigpipe) {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals) sigaction(sig, &sa, nullptr);
    if (ignore_sigpipe) {
        struct sigaction ign = {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        sigaction(SIGPIPE, &ign, nullptr);
    }
}

void block_stop_signals(sigset_t* wait_mask) {
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : kStopSignals) sigaddset(&stops, sig);
    sigprocmask(SIG_BLOCK, &stops, wait_mask);
    // The wait mask is the mask from before, without the stop signals.
    for (int sig : kStopSignals) sigdelset(wait_mask, sig);
}

int stop_signal_pending(void) {
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    for (int sig : kStopSignals) {
        if (sigismember(&pending, sig) == 1) return 1;
    }
    return 0;
}
