// Which paths may name the panel's brightness node, the node's identity
// captured at start, and opening the node for writing only while that
// identity still holds.
#pragma once

#define SYSFS_DEVICES_PREFIX "/sys/devices/"
enum { SYSFS_DEVICES_PREFIX_LEN = 13, NODE_NAME_MAX = 96 };

// 1 when path names an acceptable brightness node; pure.
int node_path_allowed(const char* path);

// Validates path, resolves it and fills the node fields of g_daemon
// (node_path, canonical_path, node_dev, node_ino, max_path). Returns 0, or
// -1 with errno EINVAL (refused or unresolvable) or ENAMETOOLONG (the
// max_brightness sibling path does not fit).
int capture_node(const char* path);

// 1 when node_path still resolves to the captured device, inode and
// canonical path; sets no error code.
int node_identity_ok(void);

// A descriptor open for writing on the captured node, or -1 with errno
// (ESTALE when the identity does not hold, the open error otherwise).
int open_node_for_write(void);
