#include "common/dir_watch.h"

#include <limits.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

static const size_t kLargestEvent = sizeof(struct inotify_event) + NAME_MAX + 1;

int dir_watch_open(const char* dir, uint32_t mask) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -1;
    if (inotify_add_watch(fd, dir, mask) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int dir_watch_drain(int fd, const char* name) {
    alignas(struct inotify_event) char buf[DIR_WATCH_DRAIN_SIZE];
    int relevant = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return relevant;
        // Whatever was queued fitted: the queue is empty (an event that
        // came since makes the next wait return at once).
        int emptied = static_cast<size_t>(n) + kLargestEvent <= sizeof buf;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
            if ((ev->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
                (ev->len > 0 && strcmp(ev->name, name) == 0)) {
                relevant = 1;
            }
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
        }
        if (emptied) return relevant;
    }
}

void dir_watch_discard(int fd) {
    char buf[DIR_WATCH_DRAIN_SIZE];
    ssize_t n = read(fd, buf, sizeof buf);
    (void)n;
}
