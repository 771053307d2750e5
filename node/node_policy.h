// Which paths may name the main panel's brightness node, and which real
// paths such a node may resolve to; with the reason for every refusal, so
// that a bring-up tool can tell it. Pure: nothing here touches a file.
#pragma once

// Why a path is or is not acceptable as the node, in the order the rules
// are applied; the first rule a path breaks is the one reported.
enum node_path_verdict {
    NODE_PATH_ACCEPTED = 0,
    NODE_PATH_NOT_CLASS_NODE,    // not /sys/class/{backlight,leds}/NAME/brightness
    NODE_PATH_NAME_LENGTH,       // NAME is empty or longer than NODE_NAME_MAX
    NODE_PATH_BAD_BYTE,          // NAME has a byte outside A-Z a-z 0-9 - . : _
    NODE_PATH_DOT_NAME,          // NAME is "." or ".."
    NODE_PATH_DENY_WORD,         // NAME says it is not the main panel
    NODE_PATH_NUMBERED_SIBLING,  // NAME is a second panel (panel1, lcd-2, ...)
    NODE_PATH_NOT_LED_PANEL,     // under leds/, NAME is not a known panel name
};

// The verdict of the path policy on path.
node_path_verdict judge_node_path(const char* path);

// 1 when path names an acceptable brightness node: under the backlight
// class, or a listed panel name under the LED class, with a device name
// that says nothing of a second panel, keyboard, torch or the like.
int node_path_allowed(const char* path);

// 1 when path lies under /sys/devices/, where every real device node is.
int under_sysfs_devices(const char* path);

// Why a resolved (real) node path is or is not acceptable as the node's
// canonical path, in the order the rules are applied.
enum real_path_verdict {
    REAL_PATH_OK = 0,
    REAL_PATH_OUTSIDE_DEVICES,  // does not begin with /sys/devices/
    REAL_PATH_TOO_LONG,         // longer than 767 bytes
    REAL_PATH_BAD_BYTE,         // a blank, a control byte, a quote or a backslash
};

// The verdict on a real path as realpath() returned it. The bytes are
// refused so that the path can be printed unescaped in JSON and stored as
// one field of the permission record.
real_path_verdict judge_real_path(const char* real);

// 1 when judge_real_path accepts real.
int real_path_allowed(const char* real);
