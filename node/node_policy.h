// Which paths may name the main panel's brightness node, and which real
// paths such a node may resolve to. Pure: nothing here touches a file.
#pragma once

// 1 when path names an acceptable brightness node: under the backlight
// class, or a listed panel name under the LED class, with a device name
// that says nothing of a second panel, keyboard, torch or the like.
int node_path_allowed(const char* path);

// 1 when path lies under /sys/devices/, where every real device node is.
int under_sysfs_devices(const char* path);

// 1 when a node's real path may be held: under /sys/devices/, at most 767
// bytes, and without blanks, control bytes, quotes or backslashes, so that
// it can be printed unescaped in JSON and stored as one field.
int real_path_allowed(const char* real);
