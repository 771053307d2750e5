// The node's identity: captured once at start-up, checked again before the
// node is read for a correction or written, and required to open it for
// writing.
#pragma once
#include <sys/stat.h>

#include "process/state.h"

// Validates path, resolves it and fills *node (node_path, canonical_path,
// node_dev, node_ino, max_path). Returns 0, or -1 with errno EINVAL
// (refused or unresolvable) or ENAMETOOLONG (the max_brightness sibling
// path does not fit). *node may be partly written on failure.
int capture_node(node_identity* node, const char* path);

// 1 when st is a regular file with the captured device and inode numbers.
int stat_is_node(const struct stat* st, const node_identity* node);

// 1 when node_path still resolves to the captured device, inode and
// canonical path; sets no error code. With st, the node's attributes are
// left there when it does.
int node_identity_ok(const node_identity* node, struct stat* st = nullptr);

// Checks the node's identity and reads its value through one descriptor:
// the path is opened (no final link followed), and the open descriptor
// must be the captured device and inode, with the captured real path as
// its name. Returns the value (0..65535), or -1 with errno ESTALE when the
// path no longer leads to the captured node (or it is gone), or EIO when
// the node could not be read or had no value. With st, the node's
// attributes (its mode, say) are left there.
int read_node_checked(const node_identity* node, struct stat* st = nullptr);

// A descriptor open for writing on the captured node, or -1 with errno
// (ESTALE when the identity is not the captured one, the open error
// otherwise). The path is checked before the open, so that a FIFO put in
// the node's place cannot block it. After the open only the descriptor is
// checked: the captured device and inode, and the captured real path as
// the kernel names the open file (without /proc, the path resolved again
// instead). That is enough: every write goes through this descriptor, so
// what the path names after the open does not matter, and a swap before
// the open shows on the descriptor itself.
int open_node_for_write(const node_identity* node);
