// Which mount a path lies on, from the process's mount table
// (/proc/self/mountinfo), for decisions that a look-up by name alone would
// take on trust although a mount can change what a name leads to.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define MOUNT_TABLE_PATH "/proc/self/mountinfo"

enum {
    MOUNT_WALK_MAX = 32,          // mounts on the way to one path; more is "cannot tell"
    MOUNT_TABLE_READ_SIZE = 8192, // a line's head (its first five fields) must fit
};

// The first five fields of a mount table line: "ID PARENT MAJOR:MINOR ROOT
// MOUNT_POINT ...". The root is a path within its file system, or the name
// of a pseudo file's object where one was bound (a network namespace kept
// by a file reads "net:[4026532176]"); the mount point is a path. Both
// point into the line (escaped as the kernel writes them: \ooo for blanks,
// tabs, line feeds and backslashes) and are not NUL-terminated.
struct mountinfo_head {
    uint32_t mount_id;
    uint32_t parent_id;
    uint32_t major;
    uint32_t minor;
    const char* root;
    size_t root_len;
    const char* mount_point;
    size_t mount_point_len;
};

// Parses the head of one line (len bytes, no line feed; it may be cut
// anywhere after the blank that ends the mount point). 0 and *out, or -1
// with errno EINVAL and *out untouched. Pure.
int parse_mountinfo_head(const char* line, size_t len, mountinfo_head* out);

// One mount whose mount point lies on the path being walked to.
struct mount_step {
    uint32_t mount_id;
    uint32_t parent_id;
    uint64_t dev;
    int whole_fs;           // its root is its file system's root, not a bound part of it
    size_t mount_point_len;
};

// Gathers, line by line, the mounts a walk to path crosses or could cross.
// path must be absolute, without links, "." or ".." components, and hold
// no byte that the table escapes (a blank, a control byte, a backslash):
// then a mount point on the path matches it byte for byte. Only the lines
// whose mount point lies on the path must read; any other line is passed
// over, whatever its form, so that mounts elsewhere cannot stop the walk.
struct mount_walk {
    const char* path;
    size_t path_len;
    mount_step steps[MOUNT_WALK_MAX];
    int count;
    int failed;  // an errno value once a line could not be read or kept
};

// Pure, all three.
void mount_walk_start(mount_walk* walk, const char* path);
void mount_walk_add_line(mount_walk* walk, const char* line, size_t len);
// The mount the path lies on, as a walk from the root crosses mount points
// in order: 0 with *out, or -1 with errno (EINVAL for a path that cannot be
// matched or an unreadable line, E2BIG for too many mounts on the way,
// ENOENT when no root mount was seen, EEXIST when the table is ambiguous).
int mount_walk_result(const mount_walk* walk, mount_step* out);

// Cuts the table, as reads hand it over in pieces of any size, into lines
// for a walk. A line longer than the buffer gives the walk its head (what
// fits) and the rest of it is passed over.
struct mount_table_reader {
    char buf[MOUNT_TABLE_READ_SIZE];
    size_t have;
    int skipping;  // inside the rest of a line whose head was handed on
};

// Pure, all three: where the next read may put its bytes (*room > 0), the
// n bytes it put there, and the end of the table.
char* mount_reader_space(mount_table_reader* reader, size_t* room);
void mount_reader_took(mount_table_reader* reader, mount_walk* walk, size_t n);
void mount_reader_end(mount_table_reader* reader, mount_walk* walk);

// Reads the whole table from fd into walk: 0, or -1 with the read's errno
// (a table read only in part decides nothing).
int mount_walk_read(mount_walk* walk, int fd);

// The same from this process's mount table: 0 with *out, or -1 with errno
// (the open or read error when the table cannot be read, e.g. without
// /proc).
int mount_of_path(const char* path, mount_step* out);
