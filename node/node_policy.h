// Which paths may name the panel's brightness node, the node's identity
// captured at start, and opening the node for writing only while that
// identity still holds.
#pragma once

#define SYSFS_DEVICES_PREFIX "/sys/devices/"
enum { SYSFS_DEVICES_PREFIX_LEN = 13, NODE_NAME_MAX = 96 };

// Why a path is or is not acceptable as the node, in the order the rules
// are applied; the first rule a path breaks is the one reported.
enum node_path_verdict {
    NODE_PATH_ACCEPTED = 0,
    NODE_PATH_NOT_CLASS_NODE,     // not /sys/class/{backlight,leds}/NAME/brightness
    NODE_PATH_NAME_LENGTH,        // NAME is empty or longer than NODE_NAME_MAX
    NODE_PATH_BAD_BYTE,           // NAME holds a byte outside A-Z a-z 0-9 - . : _
    NODE_PATH_DOT_NAME,           // NAME is "." or ".."
    NODE_PATH_DENY_WORD,          // NAME says it is not the main panel
    NODE_PATH_NUMBERED_SIBLING,   // NAME is a second panel (panel1, lcd-2, ...)
    NODE_PATH_NOT_LED_PANEL,      // under leds/, NAME is not a known panel name
};

// The verdict of the path policy on path; pure.
node_path_verdict judge_node_path(const char* path);

// 1 when path names an acceptable brightness node; pure.
int node_path_allowed(const char* path);

// Why a resolved (real) node path is or is not acceptable as the node's
// canonical path, in the order the rules are applied.
enum real_path_verdict {
    REAL_PATH_OK = 0,
    REAL_PATH_OUTSIDE_DEVICES,  // does not begin with SYSFS_DEVICES_PREFIX
    REAL_PATH_TOO_LONG,         // does not fit CANONICAL_PATH_SIZE
    REAL_PATH_BAD_BYTE,         // a blank, a control byte, a quote or a backslash
};

// The verdict on a real path as realpath() returned it; pure.
real_path_verdict judge_real_path(const char* real);

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
