// The write guard: while the daemon holds the node it keeps one descriptor
// open for writing and clears the node's write bits, after saving the bits
// it found in the permission record, so the mode can be put back even
// after a crash.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "daemon/environment.h"
#include "daemon/state.h"

#define PERMISSION_RECORD_PATH PRIVATE_DIR "/main-panel-permissions"
// Where the file system cannot make the record unnamed, it is written
// whole under this temporary name first and then linked into place, so a
// crash never leaves a partial record at PERMISSION_RECORD_PATH.
#define PERMISSION_RECORD_TMP_PATH PRIVATE_DIR "/main-panel-permissions.tmp"
#define LEGACY_NODE_PATH "/sys/class/backlight/panel0-backlight/brightness"

enum { PERMISSION_RECORD_SIZE = 1200 };  // a record is 1..1199 bytes

struct permission_record {
    uint32_t mode;
    uint64_t dev;
    uint64_t ino;
    char boot_id[BOOT_ID_SIZE];
    char node_path[NODE_PATH_SIZE];
    char canonical_path[CANONICAL_PATH_SIZE];
    int legacy;
};

// Parses record text (version 2, or the legacy single octal number). On
// success fills *out and returns 0; on malformed text returns -1 with
// errno EINVAL and leaves *out untouched. Checks the item count, the boot
// identity's form, the node path policy, the canonical prefix and mode <
// 01000. Pure.
int parse_permission_record(const char* text, permission_record* out);

// Formats rec in the version 2 format; the length (1..size-1) or -1.
int format_permission_record(const permission_record* rec, char* buf, size_t size);

// 1 when rec refers to the node at real_path with dev/ino; pure.
int record_matches_node(const permission_record* rec, const char* real_path,
                        uint64_t dev, uint64_t ino);

int arm_write_guard(void);
int release_write_guard(void);
int restore_permissions(void);

// While armed, puts the write bits off again when something (the device
// manager resets sysfs modes on change events) has turned them back on.
// Returns 0 when the mode is as it should be (or the guard is not armed),
// -1 with errno when it could not be checked or fixed.
int enforce_guard_mode(void);
