#include "common/mount_table.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common/unique_fd.h"

namespace {

// A decimal field ended by `end` (one byte); advances *p past the end byte.
int field_u32(const char** p, const char* limit, char end, uint32_t* out) {
    const char* s = *p;
    uint64_t value = 0;
    if (s >= limit || *s < '0' || *s > '9') return 0;
    while (s < limit && *s >= '0' && *s <= '9') {
        value = value * 10 + static_cast<uint64_t>(*s - '0');
        if (value > UINT32_MAX) return 0;
        ++s;
    }
    if (s >= limit || *s != end) return 0;
    *out = static_cast<uint32_t>(value);
    *p = s + 1;
    return 1;
}

// A field ended by a blank: a line always goes on after its mount point,
// so a head cut short never passes for a shorter path.
int field_word(const char** p, const char* limit, const char** start, size_t* len) {
    const char* s = *p;
    const char* e = s;
    while (e < limit && *e != ' ') ++e;
    if (e == s || e == limit) return 0;
    *start = s;
    *len = static_cast<size_t>(e - s);
    *p = e + 1;
    return 1;
}

// Skips n fields; 1 when the line goes on after them.
int skip_fields(const char** p, const char* limit, int n) {
    const char* word;
    size_t len;
    for (int i = 0; i < n; ++i) {
        if (!field_word(p, limit, &word, &len)) return 0;
    }
    return 1;
}

// A byte the table writes escaped, so that a mount point holding it would
// not match the path byte for byte.
int escaped_in_table(char c) {
    return static_cast<unsigned char>(c) <= ' ' || c == '\\';
}

// 1 when the mount point (len bytes) is the path or a directory on it.
int on_path(const mount_walk* walk, const char* mount_point, size_t len) {
    if (len == 1) return mount_point[0] == '/';
    if (len > walk->path_len || memcmp(mount_point, walk->path, len) != 0) return 0;
    return walk->path[len] == '/' || walk->path[len] == '\0';
}

// The mount that sits directly on `from` along the path: the child of
// `from` whose mount point the walk reaches first (a mount stacked on the
// same mount point comes first of all). -2 when two would be reached at
// once, -1 when there is none.
int next_step(const mount_walk* walk, int from) {
    int best = -1;
    for (int i = 0; i < walk->count; ++i) {
        const mount_step* s = &walk->steps[i];
        if (i == from || s->parent_id != walk->steps[from].mount_id) continue;
        if (best < 0 || s->mount_point_len < walk->steps[best].mount_point_len) {
            best = i;
        } else if (s->mount_point_len == walk->steps[best].mount_point_len) {
            return -2;
        }
    }
    return best;
}

// 1 when the line's mount point (its fifth field) certainly does not lie
// on the path: then nothing else in the line matters. A mount point cut
// off by the end of what was read is not on the path only when what there
// is of it is already longer than the path.
int off_the_path(const mount_walk* walk, const char* line, size_t len) {
    const char* p = line;
    const char* limit = line + len;
    if (!skip_fields(&p, limit, 4) || p >= limit || *p == ' ') return 0;
    const char* end = static_cast<const char*>(memchr(p, ' ', static_cast<size_t>(limit - p)));
    size_t seen = static_cast<size_t>((end ? end : limit) - p);
    if (end == nullptr) return seen > walk->path_len;
    return *p != '/' || !on_path(walk, p, seen);
}

int fail_with(int code) {
    errno = code;
    return -1;
}

}  // namespace

int parse_mountinfo_head(const char* line, size_t len, mountinfo_head* out) {
    const char* p = line;
    const char* limit = line + len;
    mountinfo_head head = {};
    if (!field_u32(&p, limit, ' ', &head.mount_id) || !field_u32(&p, limit, ' ', &head.parent_id) ||
        !field_u32(&p, limit, ':', &head.major) || !field_u32(&p, limit, ' ', &head.minor) ||
        !field_word(&p, limit, &head.root, &head.root_len) ||
        !field_word(&p, limit, &head.mount_point, &head.mount_point_len) || head.mount_point[0] != '/') {
        return fail_with(EINVAL);
    }
    *out = head;
    return 0;
}

void mount_walk_start(mount_walk* walk, const char* path) {
    *walk = mount_walk{};
    walk->path = path;
    walk->path_len = strlen(path);
    if (walk->path_len == 0 || path[0] != '/') walk->failed = EINVAL;
    for (size_t i = 0; i < walk->path_len; ++i) {
        if (escaped_in_table(path[i])) walk->failed = EINVAL;
    }
}

void mount_walk_add_line(mount_walk* walk, const char* line, size_t len) {
    if (walk->failed || off_the_path(walk, line, len)) return;
    mountinfo_head head;
    if (parse_mountinfo_head(line, len, &head) != 0) {
        walk->failed = EINVAL;
        return;
    }
    if (!on_path(walk, head.mount_point, head.mount_point_len)) return;
    if (walk->count == MOUNT_WALK_MAX) {
        walk->failed = E2BIG;
        return;
    }
    mount_step* s = &walk->steps[walk->count++];
    s->mount_id = head.mount_id;
    s->parent_id = head.parent_id;
    s->dev = static_cast<uint64_t>(makedev(head.major, head.minor));
    s->whole_fs = head.root_len == 1 && head.root[0] == '/';
    s->mount_point_len = head.mount_point_len;
}

int mount_walk_result(const mount_walk* walk, mount_step* out) {
    if (walk->failed) return fail_with(walk->failed);
    // The root: a mount on "/" whose parent is no mount on "/" seen here.
    int at = -1;
    for (int i = 0; i < walk->count; ++i) {
        const mount_step* s = &walk->steps[i];
        if (s->mount_point_len != 1) continue;
        int stacked = 0;
        for (int j = 0; j < walk->count; ++j) {
            if (walk->steps[j].mount_point_len == 1 && walk->steps[j].mount_id == s->parent_id && j != i) stacked = 1;
        }
        if (stacked) continue;
        if (at >= 0) return fail_with(EEXIST);
        at = i;
    }
    if (at < 0) return fail_with(ENOENT);
    // Each step crosses one mount; a loop in the table cannot go on longer.
    for (int steps = 0; steps < walk->count; ++steps) {
        int next = next_step(walk, at);
        if (next == -2) return fail_with(EEXIST);
        if (next < 0) {
            *out = walk->steps[at];
            return 0;
        }
        at = next;
    }
    return fail_with(EEXIST);
}

char* mount_reader_space(mount_table_reader* reader, size_t* room) {
    *room = sizeof reader->buf - reader->have;
    return reader->buf + reader->have;
}

void mount_reader_took(mount_table_reader* reader, mount_walk* walk, size_t n) {
    // What waits at the front is the start of one line: only the new
    // bytes can end it.
    size_t start = 0;
    size_t from = reader->have;
    reader->have += n;
    for (size_t i = from; i < reader->have; ++i) {
        if (reader->buf[i] != '\n') continue;
        if (!reader->skipping) mount_walk_add_line(walk, reader->buf + start, i - start);
        reader->skipping = 0;
        start = i + 1;
    }
    // A line a read cut off waits at the front for its rest.
    memmove(reader->buf, reader->buf + start, reader->have - start);
    reader->have -= start;
    if (reader->have == sizeof reader->buf) {
        // A line longer than the buffer: only its head matters, and that
        // must be in what we have.
        if (!reader->skipping) mount_walk_add_line(walk, reader->buf, reader->have);
        reader->skipping = 1;
        reader->have = 0;
    }
}

void mount_reader_end(mount_table_reader* reader, mount_walk* walk) {
    if (reader->have > 0 && !reader->skipping) mount_walk_add_line(walk, reader->buf, reader->have);
    reader->have = 0;
    reader->skipping = 0;
}

int mount_walk_read(mount_walk* walk, int fd) {
    mount_table_reader reader;
    reader.have = 0;
    reader.skipping = 0;
    for (;;) {
        size_t room;
        char* at = mount_reader_space(&reader, &room);
        ssize_t n = read(fd, at, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        mount_reader_took(&reader, walk, static_cast<size_t>(n));
    }
    mount_reader_end(&reader, walk);
    return 0;
}

int mount_of_path(const char* path, mount_step* out) {
    mount_walk walk;
    mount_walk_start(&walk, path);
    unique_fd fd(open(MOUNT_TABLE_PATH, O_RDONLY | O_CLOEXEC));
    if (!fd.ok() || mount_walk_read(&walk, fd.get()) != 0) return -1;
    return mount_walk_result(&walk, out);
}
