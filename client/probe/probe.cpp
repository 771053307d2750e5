// The I/O side of `probe`: it only reads. It never creates a file, never
// takes a lock (who holds the instance locks is read from /proc/locks, so a
// daemon starting at the same moment is never turned away), and it judges
// nodes with the daemon's own capture code.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "client/control/escape.h"
#include "client/control/exit_status.h"
#include "client/control/health_record.h"
#include "client/control/watch.h"
#include "client/probe/probe.h"
#include "client/probe/selinux.h"
#include "common/clock.h"
#include "common/small_file.h"
#include "process/environment.h"
#include "process/protocol.h"
#include "process/state.h"
#include "mainpanel/health.h"
#include "mainpanel/lease.h"
#include "node/node_policy.h"
#include "node/node_value.h"
#include "node/permission_record.h"
#include "node/node_identity.h"
#include "outdoor/outdoor_health.h"
#include "outdoor/outdoor_lease.h"

namespace ctl {

namespace {

const char kProcLocks[] = "/proc/locks";
const char kSelinuxFs[] = "/sys/fs/selinux";
const char kSelinuxClass[] = "unix_stream_socket";
const char kSelinuxPerm[] = "connectto";
enum : size_t {
    PROBE_READ_MAX = 65536,
    SELINUX_READ_MAX = 256,  // a context, a number, an access decision
};

struct file_read {
    int error = 0;  // errno of open/fstat/read, 0 when read
    std::string text;
    struct stat st = {};
};

// Reads a small file without following a final symbolic link and without
// blocking on a FIFO.
file_read read_small(const char* path, size_t cap = PROBE_READ_MAX) {
    file_read r;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        r.error = errno;
        return r;
    }
    if (fstat(fd, &r.st) != 0) {
        r.error = errno;
        close(fd);
        return r;
    }
    std::vector<char> buf(cap);
    size_t got = 0;
    while (got < cap) {
        ssize_t n = read(fd, buf.data() + got, cap - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.error = errno;
            break;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (r.error == 0) r.text.assign(buf.data(), got);
    return r;
}

std::string owner_text(const struct stat& st) {
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

std::string mode_of(const struct stat& st) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return buf;
}

std::string chomp(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// The pid holding the flock on path according to the lock table, 0 for
// none, -1 (with *err) when it cannot be told.
int32_t holder_of(const char* path, const file_read& locks, int* err) {
    struct stat st;
    if (stat(path, &st) != 0) {
        *err = errno;
        return errno == ENOENT ? 0 : -1;
    }
    if (locks.error != 0) {
        *err = locks.error;
        return -1;
    }
    return flock_holder(locks.text, major(st.st_dev), minor(st.st_dev), st.st_ino);
}

// A health record for the state: its text, or absent.
void record_into(const char* path, bool* present, std::string* text) {
    file_read r = read_small(path, OUTDOOR_HEALTH_SIZE);
    *present = r.error == 0;
    *text = r.error == 0 ? r.text : std::string();
}

// Both health records, then the clock they are judged by. A daemon's
// heartbeat may land between the two reads; read after it, the clock is
// never behind the record, which would make a fresh record look stamped
// by an earlier boot.
void read_records(module_state* s, const probe_clock& clock) {
    record_into(OUTDOOR_HEALTH_PATH, &s->outdoor_record_present, &s->outdoor_record);
    record_into(MAIN_PANEL_HEALTH_PATH, &s->main_record_present, &s->main_record);
    s->now_ms = clock();
}

struct lock_holders {
    int32_t outdoor = 0;    // 0 none, -1 unknown
    int32_t main_lock = 0;  // the main-panel lock's holder, likewise
    int32_t main = 0;       // the main-panel daemon, likewise
    int outdoor_err = 0;    // why unknown
    int main_err = 0;
};

// Both instance locks' holders from one read of the lock table.
lock_holders read_lock_holders() {
    file_read locks = read_small(kProcLocks, PROC_LOCKS_READ_MAX);
    locks.error = lock_table_error(locks.text.size(), locks.error);
    lock_holders h;
    h.outdoor = holder_of(OUTDOOR_LOCK_PATH, locks, &h.outdoor_err);
    h.main_lock = holder_of(MAIN_PANEL_LOCK_PATH, locks, &h.main_err);
    // The outdoor daemon holds the main-panel lock for an instant each
    // turn and around each of its writes.
    h.main = main_panel_holder(h.main_lock, h.outdoor);
    return h;
}

bool process_alive(int32_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::string ms_ago(int64_t ms) {
    if (ms < 0) return "in " + std::to_string(-ms) + " ms (another boot?)";
    return std::to_string(ms) + " ms ago";
}

class prober {
  public:
    explicit prober(const probe_clock& clock) : clock_(clock) {}

    probe_report run() {
        list_class("backlight");
        list_class("leds");
        report_.choice = choose_main_panel(report_.nodes);
        private_directory();
        daemons();
        permission_record();
        main_panel_lease();
        outdoor_lease();
        health("main_panel_health", "main-panel health", MAIN_PANEL_HEALTH_PATH, false);
        health("outdoor_health", "outdoor health", OUTDOOR_HEALTH_PATH, true);
        read_records(&report_.service, clock_);
        report_.selinux = read_selinux();
        return report_;
    }

  private:
    void cannot_read(const std::string& what, int err) {
        std::string why = strerror(err);
        if (err == EACCES || err == EPERM) why += geteuid() == 0 ? "" : "; run as root";
        report_.unreadable.push_back(what + ": " + why);
    }

    void list_class(const char* cls) {
        std::string dir = std::string("/sys/class/") + cls;
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) {
            if (errno != ENOENT) cannot_read(dir, errno);
            return;
        }
        std::vector<std::string> names;
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            names.push_back(e->d_name);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) report_.nodes.push_back(judge(cls, name));
    }

    probe_node judge(const char* cls, const std::string& name) {
        probe_node n;
        n.device_class = cls;
        n.name = name;
        n.path = std::string("/sys/class/") + cls + "/" + name + "/brightness";
        const char* path = n.path.c_str();
        char real[PATH_MAX];
        bool resolves = realpath(path, real) != nullptr;
        int resolve_error = errno;
        if (resolves) n.real_path = real;

        // The daemon's own capture decides; the separate checks below only
        // say which of its rules refused the node.
        node_identity captured = {};
        n.accepted = capture_node(&captured, path) == 0;
        if (!n.accepted) {
            node_path_verdict v = judge_node_path(path);
            struct stat st;
            if (v != NODE_PATH_ACCEPTED) {
                n.refusal = node_verdict_text(v);
            } else if (n.path.size() > NODE_PATH_SIZE - 1) {
                n.refusal = "path longer than 255 bytes";
            } else if (!resolves) {
                n.refusal = std::string("does not resolve (") + strerror(resolve_error) + ")";
            } else if (judge_real_path(real) != REAL_PATH_OK) {
                n.refusal = real_path_verdict_text(judge_real_path(real));
            } else if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
                n.refusal = "not a regular file";
            } else {
                n.refusal = "max_brightness does not resolve beside it";
            }
        }
        struct stat st;
        if (stat(path, &st) == 0) {
            n.mode = static_cast<int32_t>(st.st_mode & 07777);
            n.uid = st.st_uid;
            n.gid = st.st_gid;
        } else if (errno == EACCES) {
            cannot_read(n.path, errno);
        }
        n.maximum = read_sysfs_value(max_brightness_path(n.path).c_str());
        n.value = read_sysfs_value(path);
        n.candidate = n.accepted && n.maximum >= PROBE_MAXIMUM_MIN;
        return n;
    }

    void add(const char* key, const char* label, const std::string& text,
             std::vector<std::pair<std::string, std::string>> json) {
        report_.state.push_back({key, label, text, std::move(json)});
    }

    void unknown(const char* key, const char* label, const std::string& what, int err) {
        cannot_read(what, err);
        add(key, label, std::string("unknown (") + strerror(err) + ")",
            {{"known", "false"}, {"error", json_string(strerror(err))}});
    }

    void private_directory() {
        struct stat st;
        const char* key = "private_directory";
        const char* label = "private directory";
        if (stat(PRIVATE_DIR, &st) != 0) {
            if (errno != ENOENT) return unknown(key, label, PRIVATE_DIR, errno);
            add(key, label, PRIVATE_DIR " absent: the installer creates it (root, mode 0700)",
                {{"known", "true"}, {"present", "false"}, {"fit", "false"}});
            return;
        }
        bool fit = check_private_directory() != 0;
        add(key, label,
            std::string(PRIVATE_DIR) + ": mode " + mode_of(st) + ", owner " + owner_text(st) +
                (fit ? " (fit for the daemon)" : " (unfit: the daemon needs a root directory without group or other bits)"),
            {{"known", "true"},
             {"present", "true"},
             {"mode", json_string(mode_of(st))},
             {"uid", std::to_string(st.st_uid)},
             {"gid", std::to_string(st.st_gid)},
             {"fit", fit ? "true" : "false"}});
    }

    void daemon_fact(const char* key, const char* label, const char* lock_path, int32_t holder,
                     int err, const std::string& note) {
        if (holder < 0) return unknown(key, label, lock_path, err);
        std::string text = holder > 0 ? "running, pid " + std::to_string(holder) : "not running";
        add(key, label, text + note,
            {{"known", "true"},
             {"running", holder > 0 ? "true" : "false"},
             {"pid", holder > 0 ? std::to_string(holder) : "null"}});
    }

    void daemons() {
        lock_holders h = read_lock_holders();
        std::string note = h.main != h.main_lock ? " (the outdoor daemon held its lock for an instant)" : "";
        report_.service.outdoor_pid = h.outdoor;
        report_.service.main_pid = h.main;
        daemon_fact("main_panel_daemon", "main-panel daemon", MAIN_PANEL_LOCK_PATH, h.main, h.main_err, note);
        daemon_fact("outdoor_daemon", "outdoor daemon", OUTDOOR_LOCK_PATH, h.outdoor, h.outdoor_err, "");
    }

    std::string current_boot_id(bool* ok) {
        file_read r = read_small(BOOT_ID_PATH, BOOT_ID_READ_MAX);
        char id[BOOT_ID_SIZE];
        *ok = r.error == 0 && parse_boot_identity(r.text.data(), r.text.size(), id) == 0;
        return *ok ? std::string(id) : std::string();
    }

    // What the next start does with a record of this boot, as the daemon
    // will judge its node.
    static std::string this_boot_verdict(const ::permission_record& rec) {
        struct stat st;
        switch (judge_record_node(&rec, &st)) {
            case RECORD_NODE_SAME:
                return "this boot: the next main-panel start or --recover puts the mode back";
            case RECORD_NODE_REPLACED:
                return "this boot, but the node has been made afresh (another inode): the next main-panel "
                       "start or --recover deletes it, and the node keeps the mode it has";
            case RECORD_NODE_MISSING:
                return "this boot, but nothing is at the node path (the device gone, renamed, or a mount in "
                       "the way): the record stays and every main-panel start fails until the node is back, "
                       "or until the next boot";
            case RECORD_NODE_ELSEWHERE:
                break;
        }
        return "this boot, but the node path no longer leads to the recorded node: every main-panel start "
               "fails until it is dealt with";
    }

    void permission_record() {
        const char* key = "permission_record";
        const char* label = "permission record";
        file_read r = read_small(PERMISSION_RECORD_PATH, PERMISSION_RECORD_SIZE);
        if (r.error == ENOENT) {
            add(key, label, "absent (no node permissions to put back)",
                {{"known", "true"}, {"present", "false"}});
            return;
        }
        if (r.error != 0) return unknown(key, label, PERMISSION_RECORD_PATH, r.error);
        ::permission_record rec = {};
        bool trusted = stat_is_trusted(&r.st, 0) != 0;
        bool parsed = r.text.size() < PERMISSION_RECORD_SIZE - 1 && !r.text.empty() &&
                      parse_permission_record(r.text.c_str(), &rec) == 0;
        if (!trusted || !parsed) {
            add(key, label,
                std::string("present but ") + (!trusted ? "not a root-only regular file" : "malformed") +
                    ": every main-panel start fails until it is dealt with",
                {{"known", "true"}, {"present", "true"}, {"valid", "false"}});
            return;
        }
        bool id_ok = false;
        std::string boot = current_boot_id(&id_ok);
        std::string boot_json = rec.legacy ? "null" : (id_ok ? (boot == rec.boot_id ? "true" : "false") : "null");
        std::string boot_text = rec.legacy ? "legacy record, applies to any boot"
                                : !id_ok   ? "boot identity unreadable"
                                : boot == rec.boot_id
                                    ? this_boot_verdict(rec)
                                    : "another boot: the next start deletes it without touching the node";
        char mode[16];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(rec.mode) & 07777u);
        add(key, label,
            std::string("present: node ") + rec.node_path + ", mode " + mode + "; " + boot_text,
            {{"known", "true"},
             {"present", "true"},
             {"valid", "true"},
             {"node", json_string(rec.node_path)},
             {"mode", json_string(mode)},
             {"this_boot", boot_json}});
    }

    int32_t chosen_maximum() const {
        if (report_.choice.index < 0) return SYSFS_VALUE_MAX;
        int32_t m = report_.nodes[static_cast<size_t>(report_.choice.index)].maximum;
        return m > 0 ? m : SYSFS_VALUE_MAX;
    }

    void lease_fact(const char* key, const char* label, const char* path, bool outdoor) {
        file_read r = read_small(path, OUTDOOR_LEASE_READ_SIZE);
        int64_t now = clock_();  // after the read: a lease renewed meanwhile is not too far ahead
        if (r.error == ENOENT) {
            add(key, label, "absent", {{"known", "true"}, {"present", "false"}});
            return;
        }
        if (r.error != 0) return unknown(key, label, path, r.error);
        bool trusted = stat_is_trusted(&r.st, SYSTEM_UID) != 0;
        lease_view v = outdoor ? view_outdoor_lease(r.text, now) : view_main_panel_lease(r.text, now, chosen_maximum());
        bool accepted = trusted && v.accepted;
        std::string text;
        std::vector<std::pair<std::string, std::string>> json = {
            {"known", "true"}, {"present", "true"}, {"accepted", accepted ? "true" : "false"}};
        if (!trusted) {
            text = "present but refused: not a regular file of uid 1000 without group or other bits";
        } else if (!v.fields) {
            text = "present but malformed";
        } else {
            int64_t left = v.deadline_ms - now;
            bool alive = process_alive(v.pid);
            text = std::string(accepted ? "fresh" : left <= 0 ? "expired" : "refused") + ", pid " +
                   std::to_string(v.pid) + (alive ? " (alive" : " (not running");
            if (outdoor && alive) text += is_system_server(v.pid) ? ", system_server" : ", not system_server";
            text += "), " + (left > 0 ? std::to_string(left) + " ms left" : "deadline " + ms_ago(-left));
            json.push_back({"pid", std::to_string(v.pid)});
            json.push_back({"alive", alive ? "true" : "false"});
            json.push_back({"ms_left", std::to_string(left)});
            if (outdoor) json.push_back({"system_server", is_system_server(v.pid) ? "true" : "false"});
        }
        add(key, label, text, std::move(json));
    }

    void main_panel_lease() { lease_fact("main_panel_lease", "main-panel lease", MAIN_PANEL_LEASE_PATH, false); }
    void outdoor_lease() { lease_fact("outdoor_lease", "outdoor lease", OUTDOOR_LEASE_PATH, true); }

    void health(const char* key, const char* label, const char* path, bool outdoor) {
        file_read r = read_small(path, OUTDOOR_HEALTH_SIZE);
        int64_t now = clock_();  // after the read: a heartbeat written meanwhile is not from the future
        if (r.error != 0 && r.error != ENOENT) return unknown(key, label, path, r.error);
        health_view v = view_health_record(r.error == 0, r.text, outdoor, now);
        std::string line = chomp(r.text);
        add(key, label, v.verdict + (line.empty() ? "" : ": " + escape_text(line)),
            {{"known", "true"},
             {"present", v.present ? "true" : "false"},
             {"valid", v.valid ? "true" : "false"},
             {"this_boot", v.this_boot ? "true" : "false"},
             {"age_ms", v.this_boot ? std::to_string(v.age_ms) : "null"},
             {"text", json_string(line)}});
    }

    const probe_clock& clock_;
    probe_report report_;
};

std::string selinux_path(const char* rest) {
    return std::string(kSelinuxFs) + "/" + rest;
}

// A number file of the class's directory in selinuxfs; 0 with *why set
// when it cannot be had.
uint32_t class_number(const std::string& rest, const char* what, uint32_t max, std::string* why) {
    std::string path = selinux_path("class/") + kSelinuxClass + "/" + rest;
    file_read r = read_small(path.c_str(), SELINUX_READ_MAX);
    uint32_t n = 0;
    if (r.error == ENOENT) *why = std::string("the policy has no ") + what;
    else if (r.error != 0) *why = path + ": " + strerror(r.error);
    else if (!parse_selinux_number(r.text, max, &n)) *why = path + " holds no number";
    return why->empty() ? n : 0;
}

// Puts a query ("SCON TCON CLASS") to the kernel and judges permission
// perm in its decision: one write to the access file, one read of the
// decision from the same descriptor. A query, nothing changes.
selinux_connect ask_access(const std::string& request, uint32_t perm) {
    selinux_connect c;
    std::string path = selinux_path("access");
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        c.reason = "cannot open " + path + " (" + strerror(errno) + ")";
        return c;
    }
    ssize_t n;
    do {
        n = write(fd, request.data(), request.size());
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(request.size())) {
        int err = n < 0 ? errno : EIO;
        close(fd);
        if (err == EINVAL)
            c.reason = "the query refused: the policy lacks a context of '" + request + "' (" + strerror(err) + ")";
        else if (err == EACCES)
            c.reason = std::string("the query refused: this domain may not ask the kernel (") + strerror(err) + ")";
        else
            c.reason = std::string("the query refused (") + strerror(err) + ")";
        return c;
    }
    char buf[SELINUX_READ_MAX];
    do {
        n = read(fd, buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    close(fd);
    access_decision d;
    if (n < 0) {
        c.reason = std::string("no answer (") + strerror(err) + ")";
    } else if (!parse_access_decision(std::string(buf, static_cast<size_t>(n)), &d)) {
        c.reason = "an answer not understood: '" + escape_text(std::string(buf, static_cast<size_t>(n))) + "'";
    } else {
        c = judge_access(d, perm);
    }
    return c;
}

}  // namespace

selinux_view read_selinux() {
    selinux_view v;
    file_read enforce = read_small(selinux_path("enforce").c_str(), SELINUX_READ_MAX);
    v.mode = selinux_mode(enforce.error, enforce.text);
    if (enforce.error != 0 && enforce.error != ENOENT) v.mode_error = strerror(enforce.error);
    else if (v.mode == "unknown") v.mode_error = "the enforce file holds '" + escape_text(chomp(enforce.text)) + "'";

    file_read self = read_small("/proc/self/attr/current", SELINUX_READ_MAX);
    if (self.error != 0) {
        v.context_error = strerror(self.error);
    } else {
        v.context = clean_context(self.text);
        v.domain = selinux_domain(v.context);
        if (v.context.empty()) v.context_error = "empty";
    }

    std::string why;
    if (v.mode == "disabled") {
        why = "no selinuxfs: SELinux is off";
    } else if (v.context.empty()) {
        why = "own context unreadable (" + v.context_error + ")";
    } else {
        uint32_t cls = class_number("index", "class unix_stream_socket", SELINUX_CLASS_MAX, &why);
        uint32_t perm = why.empty() ? class_number(std::string("perms/") + kSelinuxPerm,
                                                   "permission connectto", SELINUX_PERM_MAX, &why)
                                    : 0;
        for (size_t i = 0; why.empty() && i < SELINUX_CLIENT_COUNT; ++i)
            v.connect[i] = ask_access(connect_query(i, v.context, cls), perm);
    }
    if (!why.empty()) {
        for (selinux_connect& c : v.connect) c.reason = why;
    }
    return v;
}

module_state read_module_state(const probe_clock& clock) {
    module_state s;
    lock_holders h = read_lock_holders();
    s.outdoor_pid = h.outdoor;
    s.main_pid = h.main;
    read_records(&s, clock);
    return s;
}

probe_report gather_probe(const probe_clock& clock) {
    return prober(clock).run();
}

int run_probe(probe_output output) {
    if (output == probe_output::selinux) {
        printf("%s\n", selinux_log_line(read_selinux()).c_str());
        fflush(stdout);
        return EXIT_OK;
    }
    probe_report report = gather_probe(monotonic_ms);
    bool found = report.choice.index >= 0;
    if (output == probe_output::choose) {
        if (found) printf("%s\n", report.nodes[static_cast<size_t>(report.choice.index)].path.c_str());
        else fprintf(stderr, "veltarisctl: no main panel: %s\n", report.choice.reason.c_str());
    } else if (output == probe_output::json) {
        fputs(format_probe_json(report).c_str(), stdout);
    } else {
        fputs(format_probe_table(report).c_str(), stdout);
    }
    fflush(stdout);
    return found ? EXIT_OK : EXIT_REFUSED;
}

}  // namespace ctl
