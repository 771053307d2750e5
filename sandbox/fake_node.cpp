// The FUSE server behind FakeNode and the controls the test drives it with.
//
// The server is a forked child (the test process itself must stay free to
// touch the mount: a process that serves its own FUSE requests deadlocks).
// Test and server share one control block in anonymous MAP_SHARED memory
// made before the fork; every field is a lock-free atomic, read afresh on
// each request, so a control takes effect on the very next access.
#define FUSE_USE_VERSION 31
#include "sandbox/fake_node.h"

#include <errno.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>

#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

namespace sandbox {

enum { kRingSlots = 8, kRingText = 64, kTriggerPath = 256 };

struct FakeNodeShared {
    std::atomic<int> state;  // 0 starting, 1 serving, -errno: mount failed
    std::atomic<int> value;
    std::atomic<int> maximum;
    std::atomic<unsigned> mode;
    std::atomic<unsigned> uid;
    std::atomic<unsigned> gid;
    std::atomic<int> read_errno;
    std::atomic<int> max_read_errno;
    std::atomic<int> write_errno;
    std::atomic<int> open_errno;
    std::atomic<int> clamp;
    std::atomic<int> force_zero;
    std::atomic<unsigned> generation;
    std::atomic<int> writes_received;
    std::atomic<int> writes_accepted;
    std::atomic<int> reads;
    std::atomic<int> chmods;
    // set_value_after_read_backs(): the value (-1: off), and whether an
    // accepted write has not been read since.
    std::atomic<int> value_after_read_back;
    std::atomic<int> write_unread;
    std::atomic<int> led_class;
    std::atomic<int> ring_lock;
    // on_next(): the event (a FakeNode::Event) is stored last, once the
    // paths are in place, and swapped back to none by the server.
    std::atomic<int> trigger_event;
    std::atomic<int> trigger_fired;
    std::atomic<int> trigger_skip;
    int trigger_link;
    // -1: the trigger renames or links; else the mode it sets.
    std::atomic<int> trigger_mode;
    // -1: none; else the value the trigger sets.
    std::atomic<int> trigger_value;
    // 1: the trigger hands the path to a new inode.
    std::atomic<int> trigger_replace;
    // 1 once a mode trigger ran and until a read took the bits below.
    std::atomic<int> read_after_mode;
    std::atomic<int> mode_at_read;
    char trigger_from[kTriggerPath];
    char trigger_to[kTriggerPath];
    unsigned ring_count;  // guarded by ring_lock
    char ring[kRingSlots][kRingText];
    int64_t start_time;
};

static_assert(std::atomic<int>::is_always_lock_free, "shared atomics must be lock-free");
static_assert(std::atomic<unsigned>::is_always_lock_free, "shared atomics must be lock-free");

namespace {

constexpr fuse_ino_t kRootIno = FUSE_ROOT_ID;
constexpr fuse_ino_t kMaxIno = 2;
// The brightness inode is this plus the generation, so every replacement
// hands out a number never seen before.
constexpr fuse_ino_t kBrightnessBase = 1000;

FakeNodeShared* g_shared;  // in the server process

void ring_lock(FakeNodeShared* s) {
    int expected = 0;
    while (!s->ring_lock.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        sched_yield();
    }
}

void ring_unlock(FakeNodeShared* s) { s->ring_lock.store(0, std::memory_order_release); }

void run_trigger(FakeNode::Event event) {
    int expected = static_cast<int>(event);
    if (g_shared->trigger_event.load() != expected) return;
    if (g_shared->trigger_skip.load() > 0) {
        g_shared->trigger_skip.fetch_sub(1);
        return;
    }
    if (!g_shared->trigger_event.compare_exchange_strong(expected, static_cast<int>(FakeNode::Event::none))) return;
    int mode = g_shared->trigger_mode.load();
    int value = g_shared->trigger_value.load();
    if (g_shared->trigger_replace.load()) {
        g_shared->generation.fetch_add(1);
    } else if (value >= 0) {
        g_shared->value.store(value);
    } else if (mode >= 0) {
        g_shared->mode.store(static_cast<unsigned>(mode));
        g_shared->read_after_mode.store(1);
    } else if (g_shared->trigger_link) {
        link(g_shared->trigger_from, g_shared->trigger_to);
    } else {
        rename(g_shared->trigger_from, g_shared->trigger_to);
    }
    g_shared->trigger_fired.store(1);
}

fuse_ino_t current_brightness_ino() { return kBrightnessBase + g_shared->generation.load(); }

bool is_old_brightness(fuse_ino_t ino) { return ino >= kBrightnessBase && ino < current_brightness_ino(); }

int fill_attr(fuse_ino_t ino, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_blksize = 4096;
    st->st_atime = st->st_mtime = st->st_ctime = (time_t)g_shared->start_time;
    if (ino == kRootIno) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (ino == kMaxIno) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = 4096;  // what sysfs reports for every attribute
        return 0;
    }
    if (ino == current_brightness_ino() || is_old_brightness(ino)) {
        st->st_mode = S_IFREG | (g_shared->mode.load() & 07777);
        st->st_nlink = 1;
        st->st_uid = g_shared->uid.load();
        st->st_gid = g_shared->gid.load();
        st->st_size = 4096;
        return 0;
    }
    return ENOENT;
}

// kstrtoul-like: optional '+', decimal digits, at most one trailing '\n'.
int parse_written(const char* buf, size_t size, long* out) {
    if (size > 0 && buf[size - 1] == '\n') --size;
    size_t i = 0;
    if (i < size && buf[i] == '+') ++i;
    if (i == size) return EINVAL;
    long v = 0;
    for (; i < size; ++i) {
        if (buf[i] < '0' || buf[i] > '9') return EINVAL;
        v = v * 10 + (buf[i] - '0');
        if (v > 1000000000L) return ERANGE;
    }
    *out = v;
    return 0;
}

void reply_text(fuse_req_t req, const std::string& text, size_t size, off_t off) {
    if (off < 0 || (size_t)off >= text.size()) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    fuse_reply_buf(req, text.data() + off, std::min(size, text.size() - (size_t)off));
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    if (parent != kRootIno) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_ino_t ino;
    if (strcmp(name, "brightness") == 0) {
        run_trigger(FakeNode::Event::lookup);
        ino = current_brightness_ino();
    } else if (strcmp(name, "max_brightness") == 0) {
        ino = kMaxIno;
    } else {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param e;
    memset(&e, 0, sizeof e);
    e.ino = ino;
    e.generation = 1;
    e.attr_timeout = 0;
    e.entry_timeout = 0;
    fill_attr(ino, &e.attr);
    fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    struct stat st;
    int err = fill_attr(ino, &st);
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_attr(req, &st, 0);
}

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info*) {
    if (ino != current_brightness_ino()) {
        fuse_reply_err(req, is_old_brightness(ino) ? ENODEV : EPERM);
        return;
    }
    if (to_set & FUSE_SET_ATTR_MODE) {
        run_trigger(FakeNode::Event::chmod);
        // A replacement the trigger just made leaves this inode removed.
        if (ino != current_brightness_ino()) {
            fuse_reply_err(req, ENODEV);
            return;
        }
        g_shared->mode.store(attr->st_mode & 07777);
        g_shared->chmods.fetch_add(1);
    }
    if (to_set & FUSE_SET_ATTR_UID) g_shared->uid.store(attr->st_uid);
    if (to_set & FUSE_SET_ATTR_GID) g_shared->gid.store(attr->st_gid);
    // FUSE_SET_ATTR_SIZE (truncate, O_TRUNC) and the time stamps are
    // accepted and ignored, as sysfs does.
    struct stat st;
    fill_attr(ino, &st);
    fuse_reply_attr(req, &st, 0);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino == kMaxIno) {
        if ((fi->flags & O_ACCMODE) != O_RDONLY) {
            fuse_reply_err(req, EACCES);
            return;
        }
    } else if (is_old_brightness(ino)) {
        fuse_reply_err(req, ENODEV);
        return;
    } else if (ino != current_brightness_ino()) {
        fuse_reply_err(req, ino == kRootIno ? EISDIR : ENOENT);
        return;
    } else if (int err = g_shared->open_errno.load()) {
        fuse_reply_err(req, err);
        return;
    } else if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        run_trigger(FakeNode::Event::write_open);
    }
    // Nothing may be served from the page cache: every read must reach
    // the server and see the current value.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    char text[32];
    if (ino == kMaxIno) {
        run_trigger(FakeNode::Event::max_read);
        int err = g_shared->max_read_errno.load();
        if (err) {
            fuse_reply_err(req, err);
            return;
        }
        snprintf(text, sizeof text, "%d\n", g_shared->maximum.load());
        reply_text(req, text, size, off);
        return;
    }
    if (ino != current_brightness_ino()) {
        fuse_reply_err(req, is_old_brightness(ino) ? ENODEV : EBADF);
        return;
    }
    g_shared->reads.fetch_add(1);
    int expected = 1;
    if (g_shared->read_after_mode.compare_exchange_strong(expected, 0)) {
        g_shared->mode_at_read.store(static_cast<int>(g_shared->mode.load()));
    }
    int err = g_shared->read_errno.load();
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    int v = g_shared->force_zero.load() ? 0 : g_shared->value.load();
    // Requests are served one at a time, so nothing comes between this
    // read's value and the change.
    int after = g_shared->value_after_read_back.load();
    if (g_shared->write_unread.exchange(0) && after >= 0) g_shared->value.store(after);
    snprintf(text, sizeof text, "%d\n", v);
    reply_text(req, text, size, off);
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t, fuse_file_info*) {
    if (ino != current_brightness_ino()) {
        fuse_reply_err(req, is_old_brightness(ino) ? ENODEV : EACCES);
        return;
    }
    g_shared->writes_received.fetch_add(1);
    run_trigger(FakeNode::Event::write);
    ring_lock(g_shared);
    char* slot = g_shared->ring[g_shared->ring_count % kRingSlots];
    size_t n = std::min(size, (size_t)kRingText - 1);
    memcpy(slot, buf, n);
    slot[n] = '\0';
    g_shared->ring_count++;
    ring_unlock(g_shared);

    int err = g_shared->write_errno.load();
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    long v = 0;
    err = parse_written(buf, size, &v);
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    long maximum = g_shared->maximum.load();
    if (v > maximum) {
        // The LED class caps an over-large value; the backlight class
        // refuses it.
        if (!g_shared->led_class.load()) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        v = maximum;
    }
    int clamp = g_shared->clamp.load();
    if (clamp >= 0 && v > clamp) v = clamp;
    g_shared->value.store((int)v);
    g_shared->write_unread.store(1);
    g_shared->writes_accepted.fetch_add(1);
    fuse_reply_write(req, size);
}

struct DirBuf {
    std::string data;
};

void dirbuf_add(fuse_req_t req, DirBuf* b, const char* name, fuse_ino_t ino) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_ino = ino;
    size_t old = b->data.size();
    size_t need = fuse_add_direntry(req, nullptr, 0, name, nullptr, 0);
    b->data.resize(old + need);
    fuse_add_direntry(req, &b->data[old], need, name, &st, (off_t)b->data.size());
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
    if (ino != kRootIno) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    DirBuf b;
    dirbuf_add(req, &b, ".", kRootIno);
    dirbuf_add(req, &b, "..", kRootIno);
    dirbuf_add(req, &b, "brightness", current_brightness_ino());
    dirbuf_add(req, &b, "max_brightness", kMaxIno);
    reply_text(req, b.data, size, off);
}

[[noreturn]] void serve(FakeNodeShared* shared, const std::string& mountpoint) {
    g_shared = shared;
    fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.readdir = op_readdir;

    // allow_other: the daemon runs as root, but tests also write as the
    // system user; default_permissions: the kernel checks the mode bits the
    // way it does for sysfs, which is what the write guard relies on.
    char prog[] = "veltaris-fake-sysfs";
    char dash_o[] = "-o";
    char opts[] = "allow_other,default_permissions,fsname=veltaris-fake-sysfs";
    char* argv[] = {prog, dash_o, opts, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (!se) {
        shared->state.store(-EINVAL);
        _exit(2);
    }
    if (fuse_session_mount(se, mountpoint.c_str()) != 0) {
        shared->state.store(errno ? -errno : -EIO);
        _exit(3);
    }
    shared->state.store(1);
    fuse_session_loop(se);
    fuse_session_unmount(se);
    fuse_session_destroy(se);
    _exit(0);
}

}  // namespace

std::unique_ptr<FakeNode> FakeNode::create(const FakeNodeOptions& options, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!in_sandbox()) {
        *error = "a fake node needs a running sandbox";
        return nullptr;
    }
    std::unique_ptr<FakeNode> node(new FakeNode());
    node->options_ = options;
    node->device_dir_ = options.device_parent + "/" + options.device_class + "/" + options.name;
    if (!mkdir_p(node->device_dir_)) {
        *error = "mkdir " + node->device_dir_ + ": " + strerror(errno);
        return nullptr;
    }

    void* mem = mmap(nullptr, sizeof(FakeNodeShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        *error = std::string("mmap: ") + strerror(errno);
        return nullptr;
    }
    FakeNodeShared* s = new (mem) FakeNodeShared();
    s->state = 0;
    s->value = options.value;
    s->maximum = options.maximum;
    s->mode = options.mode & 07777;
    s->uid = options.uid;
    s->gid = options.gid;
    s->read_errno = 0;
    s->max_read_errno = 0;
    s->write_errno = 0;
    s->open_errno = 0;
    s->trigger_mode = -1;
    s->trigger_value = -1;
    s->trigger_replace = 0;
    s->read_after_mode = 0;
    s->mode_at_read = -1;
    s->clamp = -1;
    s->force_zero = 0;
    s->generation = 0;
    s->writes_received = 0;
    s->writes_accepted = 0;
    s->reads = 0;
    s->chmods = 0;
    s->value_after_read_back = -1;
    s->write_unread = 0;
    s->led_class = options.device_class == "leds" ? 1 : 0;
    s->trigger_event = static_cast<int>(Event::none);
    s->trigger_fired = 0;
    s->trigger_skip = 0;
    s->ring_lock = 0;
    s->ring_count = 0;
    s->start_time = time(nullptr);
    node->shared_ = s;
    detail::register_node(node.get());

    std::string mountpoint = node->device_dir_;
    pid_t pid = fork_child();
    if (pid < 0) {
        *error = std::string("fork: ") + strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        // Keep no descriptor of the test: an inherited pipe end would keep
        // a daemon's output from ever reaching end-of-file.
        close_fds_from(3);
        serve(s, mountpoint);
    }
    detail::register_child(pid);
    node->server_pid_ = pid;

    bool settled = wait_until(
        [&] { return s->state.load() != 0 || detail::reap_child(pid, std::chrono::milliseconds(0)).has_value(); },
        std::chrono::seconds(20), std::chrono::milliseconds(2));
    if (s->state.load() != 1) {
        int st = s->state.load();
        *error = !settled ? "the FUSE server did not come up"
                 : st < 0 ? std::string("FUSE mount failed: ") + strerror(-st)
                          : "the FUSE server died while starting";
        return nullptr;
    }
    node->mounted_ = true;
    struct statfs sfs;
    if (statfs(mountpoint.c_str(), &sfs) != 0 || sfs.f_type != 0x65735546 /* FUSE_SUPER_MAGIC */) {
        *error = "the device directory is not served by FUSE after mounting";
        return nullptr;
    }
    if (options.class_link) {
        std::string link_dir = "/sys/class/" + options.device_class;
        if (!mkdir_p(link_dir)) {
            *error = "mkdir " + link_dir + ": " + strerror(errno);
            return nullptr;
        }
        // Relative, the way the kernel links class entries to devices.
        std::string target = "../../devices" + node->device_dir_.substr(strlen("/sys/devices"));
        if (node->device_dir_.rfind("/sys/devices/", 0) != 0) target = node->device_dir_;
        std::string link = node->class_dir();
        if (symlink(target.c_str(), link.c_str()) != 0) {
            *error = "symlink " + link + ": " + strerror(errno);
            return nullptr;
        }
    }
    return node;
}

FakeNode::~FakeNode() {
    stop();
    detail::unregister_node(this);
    if (shared_) {
        shared_->~FakeNodeShared();
        munmap(shared_, sizeof(FakeNodeShared));
        shared_ = nullptr;
    }
}

void FakeNode::stop() {
    if (server_pid_ > 0) {
        kill(server_pid_, SIGKILL);
        detail::reap_child(server_pid_, std::chrono::seconds(10));
        server_pid_ = -1;
    }
    if (mounted_) {
        // Lazy: a descriptor still open somewhere must not keep the mount
        // (and the test) hanging.
        umount2(device_dir_.c_str(), MNT_DETACH);
        mounted_ = false;
    }
}

std::string FakeNode::class_dir() const { return "/sys/class/" + options_.device_class + "/" + options_.name; }

std::string FakeNode::brightness_path() const { return class_dir() + "/brightness"; }

void FakeNode::set_value(int value) { shared_->value.store(value); }
void FakeNode::set_value_after_read_backs(int value) { shared_->value_after_read_back.store(value); }
int FakeNode::value() const { return shared_->value.load(); }
void FakeNode::set_maximum(int maximum) { shared_->maximum.store(maximum); }
int FakeNode::maximum() const { return shared_->maximum.load(); }
void FakeNode::fail_reads(int err) { shared_->read_errno.store(err); }
void FakeNode::fail_max_reads(int err) { shared_->max_read_errno.store(err); }
void FakeNode::fail_writes(int err) { shared_->write_errno.store(err); }
void FakeNode::fail_opens(int err) { shared_->open_errno.store(err); }
void FakeNode::clamp_to(int limit) { shared_->clamp.store(limit); }
void FakeNode::force_zero(bool on) { shared_->force_zero.store(on ? 1 : 0); }

unsigned long FakeNode::replace_inode() {
    shared_->generation.fetch_add(1);
    return current_inode();
}

unsigned long FakeNode::current_inode() const { return kBrightnessBase + shared_->generation.load(); }
mode_t FakeNode::mode() const { return shared_->mode.load(); }
void FakeNode::set_mode(mode_t mode) { shared_->mode.store(mode & 07777); }
uid_t FakeNode::owner_uid() const { return shared_->uid.load(); }
gid_t FakeNode::owner_gid() const { return shared_->gid.load(); }
int FakeNode::writes_received() const { return shared_->writes_received.load(); }
int FakeNode::writes_accepted() const { return shared_->writes_accepted.load(); }
int FakeNode::reads_served() const { return shared_->reads.load(); }
int FakeNode::chmods_received() const { return shared_->chmods.load(); }

void FakeNode::arm_trigger(Event event, int skip, int mode, int value, bool replace) {
    // The event goes in last: the server acts on it as soon as it is set.
    shared_->trigger_event.store(static_cast<int>(Event::none));
    shared_->trigger_skip.store(skip);
    shared_->trigger_mode.store(mode);
    shared_->trigger_value.store(value);
    shared_->trigger_replace.store(replace ? 1 : 0);
    shared_->trigger_fired.store(0);
    shared_->trigger_event.store(static_cast<int>(event));
}

void FakeNode::on_next(Event event, const std::string& from, const std::string& to, bool link_only, int skip) {
    shared_->trigger_event.store(static_cast<int>(Event::none));
    snprintf(shared_->trigger_from, sizeof shared_->trigger_from, "%s", from.c_str());
    snprintf(shared_->trigger_to, sizeof shared_->trigger_to, "%s", to.c_str());
    shared_->trigger_link = link_only ? 1 : 0;
    arm_trigger(event, skip, -1, -1, false);
}

void FakeNode::set_mode_on_next(Event event, mode_t mode, int skip) {
    shared_->read_after_mode.store(0);
    shared_->mode_at_read.store(-1);
    arm_trigger(event, skip, static_cast<int>(mode & 07777), -1, false);
}

void FakeNode::set_value_on_next(Event event, int value, int skip) { arm_trigger(event, skip, -1, value, false); }

void FakeNode::replace_inode_on_next(Event event, int skip) { arm_trigger(event, skip, -1, -1, true); }

int FakeNode::mode_at_next_read() const { return shared_->mode_at_read.load(); }

bool FakeNode::fired() const { return shared_->trigger_fired.load() != 0; }

std::vector<std::string> FakeNode::last_writes() const {
    std::vector<std::string> out;
    ring_lock(shared_);
    unsigned count = shared_->ring_count;
    unsigned first = count > kRingSlots ? count - kRingSlots : 0;
    for (unsigned i = first; i < count; ++i) out.emplace_back(shared_->ring[i % kRingSlots]);
    ring_unlock(shared_);
    return out;
}

void FakeNode::reset_counters() {
    shared_->writes_received.store(0);
    shared_->writes_accepted.store(0);
    shared_->reads.store(0);
    shared_->chmods.store(0);
    ring_lock(shared_);
    shared_->ring_count = 0;
    ring_unlock(shared_);
}

}  // namespace sandbox
