// module-watch: the module's side of the root manager's interface. The
// boot service starts it beside outdoor mode; it sleeps in one ppoll on one
// inotify descriptor and wakes only when something it reports on changes:
//   - the module folder: the flag files "disable" and "remove" (the user
//     turned the module off or asked for its removal), which end the
//     service: SIGTERM to its parent, the supervisor;
//   - the folder that holds it: the module folder's own deletion (a manager
//     that removes modules in a running boot), which ends the service too.
//     The folder's own watch cannot tell: this very executable lies inside
//     it, and while it runs the folder's entry stays in use, so rm -rf
//     unlinks the folder without the delete event on it ever coming;
//   - the private directory: the outdoor health record, renamed in whole;
//   - /data/system: the main-panel health record, likewise.
// The state goes into the description line of the folder's module.prop,
// which the managers show. While a main-panel hold is believed to run, one
// timed look follows each record, since a daemon that dies leaves no last
// record; otherwise there is no timer at all.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/control/exit_status.h"
#include "client/module/module.h"
#include "client/probe/probe.h"
#include "common/clock.h"
#include "process/protocol.h"

namespace ctl {

namespace {

enum : size_t {
    EVENT_BUFFER_SIZE = 4096,
    MODULE_PROP_READ_MAX = 65536,
};

enum : int64_t { MS_PER_SEC = 1000, NS_PER_MS = 1000000 };

// IN_CLOSE_WRITE: a manager's update copies the new module.prop over the
// old one in place; its description is then written again.
const uint32_t kFolderEvents =
    IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
const char kModuleProp[] = "module.prop";
// Entries of other modules come and go here only when the user installs or
// removes one: no wake-up while idle.
const uint32_t kParentEvents = IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The records are replaced by rename, so a record written in place (none
// is) would go unseen; everything else in those directories is ignored
// once its event has been read.
const uint32_t kRecordEvents = IN_MOVED_TO | IN_ONLYDIR;

volatile sig_atomic_t g_stop = 0;

void on_stop(int) {
    g_stop = 1;
}

const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

struct watch_state {
    std::string dir;
    int32_t notify_pid = 0;
    int fd = -1;
    int folder_wd = -1;
    int parent_wd = -1;
    std::string folder_name;
    int private_wd = -1;
    int system_wd = -1;
    bool notified = false;
    bool gone = false;
    long wakeups = 0;
    long writes = 0;
};

// What a batch of events asks for.
struct event_news {
    bool flags = false;  // a flag file may have appeared
    bool state = false;  // a record was replaced
    bool any = false;
};

long g_said = 0;

void say(const std::string& line, bool last = false) {
    std::string out = module_watch_line(&g_said, line, last);
    if (out.empty()) return;
    printf("%s\n", out.c_str());
    fflush(stdout);
}

// The flag file that is there, or null.
const char* present_flag(const std::string& dir) {
    for (const char* name : {"disable", "remove"}) {
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) == 0) return name;
    }
    return nullptr;
}

// SIGTERM to the supervisor, once, and only while it is still this
// process's parent: a pid of a process that has ended may name another.
void notify(watch_state* w, const std::string& why) {
    if (w->notified) return;
    w->notified = true;
    if (w->notify_pid > 0 && getppid() == w->notify_pid && kill(w->notify_pid, SIGTERM) == 0)
        say(why + ": SIGTERM to pid " + std::to_string(w->notify_pid));
    else
        say(why);
}

// Reads every queued event without blocking. Events of the module.prop
// this process has just replaced land here too and cost no wake-up.
void drain(watch_state* w, event_news* news) {
    static const char* const kOutdoorRecord = base_name(OUTDOOR_HEALTH_PATH);
    alignas(struct inotify_event) char buf[EVENT_BUFFER_SIZE];
    for (;;) {
        ssize_t n = read(w->fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        news->any = true;
        for (ssize_t at = 0; at < n;) {
            const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof *ev + ev->len);
            const char* name = ev->len > 0 ? ev->name : "";
            if (ev->mask & IN_Q_OVERFLOW) {
                news->flags = news->state = true;
            } else if (ev->wd == w->folder_wd) {
                if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) w->gone = true;
                else if (is_stop_flag(name)) news->flags = true;
                else if ((ev->mask & IN_CLOSE_WRITE) && strcmp(name, kModuleProp) == 0) news->state = true;
            } else if (ev->wd == w->parent_wd) {
                if (parent_event_ends_folder(ev->mask, name, w->folder_name)) w->gone = true;
                else if (ev->mask & IN_IGNORED) w->parent_wd = -1;
            } else if (ev->wd == w->private_wd) {
                if (ev->mask & IN_IGNORED) w->private_wd = -1;
                else if (strcmp(name, kOutdoorRecord) == 0) news->state = true;
            } else if (ev->wd == w->system_wd) {
                if (ev->mask & IN_IGNORED) w->system_wd = -1;
                else if (strcmp(name, MAIN_PANEL_HEALTH_NAME) == 0) news->state = true;
            }
        }
    }
}

bool read_text(const std::string& path, std::string* text, struct stat* st) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    std::vector<char> buf(MODULE_PROP_READ_MAX);
    size_t got = 0;
    bool ok = fstat(fd, st) == 0 && S_ISREG(st->st_mode);
    while (ok && got < buf.size()) {
        ssize_t n = read(fd, buf.data() + got, buf.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    // A file that fills the buffer may be longer: it is left alone.
    if (!ok || got == buf.size()) return false;
    text->assign(buf.data(), got);
    return true;
}

// Whether path still holds what was read (text, with status st): a
// manager's update may have copied another module.prop there meanwhile.
bool unchanged(const std::string& path, const std::string& text, const struct stat& st) {
    std::string now;
    struct stat now_st;
    return read_text(path, &now, &now_st) && now == text && now_st.st_ino == st.st_ino &&
           now_st.st_mtim.tv_sec == st.st_mtim.tv_sec && now_st.st_mtim.tv_nsec == st.st_mtim.tv_nsec;
}

// Replaces path, read as `read` with status old, with text: a temporary
// file beside it with the old one's owner and mode, renamed over it, and
// only while path still holds what was read (else *changed is set: its
// close brings another look). What may still come between that last look
// and the rename is a copy begun within those microseconds. Not synced:
// the next change or the next boot writes it again, and a description
// lost to a power cut costs nothing.
bool replace_text(const std::string& dir, const std::string& path, const std::string& read,
                  const std::string& text, const struct stat& old, bool* changed) {
    std::string tmp = dir + "/.module.prop.new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else done += static_cast<size_t>(n);
    }
    ok = ok && fchown(fd, old.st_uid, old.st_gid) == 0 && fchmod(fd, old.st_mode & 07777) == 0;
    ok = close(fd) == 0 && ok;
    *changed = ok && !unchanged(path, read, old);
    ok = ok && !*changed && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

// Writes the description the state calls for when it differs from the
// file's; returns when to look again (-1: only on an event).
int64_t update_description(watch_state* w) {
    module_state state = read_module_state(monotonic_ms);
    std::string path = w->dir + "/" + kModuleProp;
    std::string old;
    struct stat st;
    if (read_text(path, &old, &st)) {
        std::string updated = replace_description(old, module_description(state));
        bool changed = false;
        if (updated != old) {
            if (replace_text(w->dir, path, old, updated, st, &changed)) ++w->writes;
            else if (!changed) say("cannot replace " + path + ": " + strerror(errno));
        }
    }
    return module_recheck_at(state);
}

// Waits for events, a stop signal (let in only here) or the time at;
// true when the time has come.
bool wait_for_events(watch_state* w, int64_t at, const sigset_t* wait_mask) {
    struct pollfd pfd = {w->fd, POLLIN, 0};
    struct timespec ts = {};
    struct timespec* limit = nullptr;
    if (at >= 0) {
        int64_t left = at - monotonic_ms();
        if (left < 0) left = 0;
        ts.tv_sec = static_cast<time_t>(left / MS_PER_SEC);
        ts.tv_nsec = static_cast<long>((left % MS_PER_SEC) * NS_PER_MS);
        limit = &ts;
    }
    int r = ppoll(&pfd, 1, limit, wait_mask);
    ++w->wakeups;
    return r == 0;
}

void watch_records(watch_state* w, const char* dir, int* wd) {
    *wd = inotify_add_watch(w->fd, dir, kRecordEvents);
    if (*wd < 0) say(std::string("cannot watch ") + dir + " (" + strerror(errno) + "): its record is read only at other events");
}

}  // namespace

int run_module_watch(const std::string& module_dir, int32_t notify_pid) {
    watch_state w;
    w.dir = module_dir;
    w.notify_pid = notify_pid;
    // Nothing of this process keeps the module folder in use.
    if (chdir("/") != 0) {
        fprintf(stderr, "veltarisctl: cannot change to /: %s\n", strerror(errno));
        return EXIT_REFUSED;
    }
    if (w.notify_pid > 0) {
        if (getppid() != w.notify_pid) {
            fprintf(stderr, "veltarisctl: --notify %d is not this process's parent\n", static_cast<int>(w.notify_pid));
            return EXIT_USAGE;
        }
        // The watcher ends with the supervisor, however that ends; the
        // second look closes the gap before the request took effect.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != w.notify_pid) return EXIT_OK;
    }

    // The stop signals are let in only during the wait, so one that comes
    // between the flag test and the wait still ends it at once.
    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigset_t stops, wait_mask;
    sigemptyset(&stops);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&stops, sig);
    }
    sigprocmask(SIG_BLOCK, &stops, &wait_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigdelset(&wait_mask, sig);

    w.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.fd < 0) {
        fprintf(stderr, "veltarisctl: inotify: %s\n", strerror(errno));
        return EXIT_REFUSED;
    }
    // The parent first: a folder removed before its own watch is set makes
    // that fail, one removed after is seen there.
    std::string parent;
    if (split_module_dir(w.dir, &parent, &w.folder_name))
        w.parent_wd = inotify_add_watch(w.fd, parent.c_str(), kParentEvents);
    if (w.parent_wd < 0)
        say("cannot watch the folder that holds " + w.dir + ": its removal is seen only once nothing uses it");
    w.folder_wd = inotify_add_watch(w.fd, w.dir.c_str(), kFolderEvents);
    if (w.folder_wd < 0) {
        fprintf(stderr, "veltarisctl: cannot watch %s: %s\n", w.dir.c_str(), strerror(errno));
        close(w.fd);
        return EXIT_REFUSED;
    }
    watch_records(&w, PRIVATE_DIR, &w.private_wd);
    watch_records(&w, LEASE_DIR, &w.system_wd);

    // A flag file made before the watch was set is found by this first look.
    bool look_for_flags = true;
    bool refresh = true;
    int64_t recheck_at = -1;
    for (;;) {
        if (look_for_flags) {
            if (const char* flag = present_flag(w.dir)) notify(&w, w.dir + "/" + flag);
            look_for_flags = false;
        }
        if (w.gone) {
            notify(&w, w.dir + " is gone");
            break;
        }
        if (refresh) {
            recheck_at = update_description(&w);
            refresh = false;
        }
        event_news news;
        drain(&w, &news);
        if (news.any) {
            look_for_flags = news.flags;
            refresh = news.state;
            continue;
        }
        if (g_stop) break;
        if (wait_for_events(&w, recheck_at, &wait_mask)) refresh = true;
    }
    // The service that stops this watcher has stopped outdoor mode first:
    // the description says so.
    if (!w.gone) update_description(&w);
    close(w.fd);
    say("ended after " + std::to_string(w.wakeups) + " wake-ups, " + std::to_string(w.writes) +
            " description writes",
        true);
    return EXIT_OK;
}

}  // namespace ctl
