// The permission record: the node's mode saved before the write guard
// clears its write bits, with the node's and the boot's identity, so that
// the mode can be put back even after a crash. Its format, its creation,
// and the restore that applies and deletes it.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include "process/protocol.h"

struct permission_record {
    uint32_t mode;
    uint64_t dev;
    uint64_t ino;
    char boot_id[BOOT_ID_SIZE];
    char node_path[NODE_PATH_SIZE];
    char canonical_path[CANONICAL_PATH_SIZE];
    int legacy;  // the old single-number form, always for LEGACY_NODE_PATH
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
int record_matches_node(const permission_record* rec, const char* real_path, uint64_t dev,
                        uint64_t ino);

// What a record's node is now, against the record.
enum record_node_verdict {
    RECORD_NODE_SAME,       // the recorded node at the recorded path: the bits can go back
    RECORD_NODE_REPLACED,   // the node made afresh at the recorded place of the same file
                            // system: the recorded inode is certainly gone
    RECORD_NODE_MISSING,    // nothing at the node path (gone, renamed, or covered by a mount)
    RECORD_NODE_ELSEWHERE,  // anything else (the path leads elsewhere, another file system,
                            // a mount over the node or a directory on its way, not a node ...)
};

// Judges rec (its node path, and for version 2 its device, inode and
// canonical path) against the system as it is now; *node_st gets what the
// node path leads to when that is a file. Only a version 2 record can be
// REPLACED, and only when the mount table shows no mount in the way: a
// name can be covered by a mount, and a node's inode can live on under
// another name, so a look-up by name alone never decides that it is gone.
// Keeps errno.
record_node_verdict judge_record_node(const permission_record* rec, struct stat* node_st);

// Writes rec to PERMISSION_RECORD_PATH, whole and synced before it gets
// its name, so that a crash leaves either no record or a whole one; 0 only
// once the name is on disk too (the directory synced), else the record is
// removed again. An existing record is never replaced: -1 with EEXIST. 0,
// or -1 with errno.
int write_permission_record(const permission_record* rec);

// Reads and checks the record at PERMISSION_RECORD_PATH (root's own file,
// the size, the format): 0 with *rec, 1 when there is none, or -1 with
// errno (a file that fails the owner and mode check leaves errno alone).
int load_permission_record(permission_record* rec);

// What applying a record came to.
enum record_outcome {
    RECORD_ABSENT,      // no record
    RECORD_APPLIED,     // the bits went back and the record was deleted
    RECORD_OTHER_BOOT,  // of another boot: deleted, the node untouched
    RECORD_DROPPED,     // its node was made afresh: deleted, nothing put back
};

// Applies a record left by an earlier run (or by this one) through the
// node path and deletes it: 0 with *outcome, or -1 with errno when it
// cannot be applied, and the record stays. A dropped record is announced
// on standard error once it is gone.
int apply_permission_record(const char* boot_id, record_outcome* outcome);

// apply_permission_record for start-up: 0 whatever the outcome.
int restore_permissions(const char* boot_id);
