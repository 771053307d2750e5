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
    RECORD_NODE_REPLACED,   // the path leads to another inode, and the recorded one is gone
    RECORD_NODE_GONE,       // nothing at the path, and the recorded inode is gone
    RECORD_NODE_ELSEWHERE,  // anything else (the path leads elsewhere, not a node, ...)
};

// Judges rec (its node path, and for version 2 its device, inode and
// canonical path) against the system as it is now; *node_st gets what the
// node path leads to when that is a file. Only a version 2 record can be
// REPLACED or GONE: a legacy one names no inode. Keeps errno.
record_node_verdict judge_record_node(const permission_record* rec, struct stat* node_st);

// Writes rec to PERMISSION_RECORD_PATH, whole and synced before it gets
// its name, so that a crash leaves either no record or a whole one; 0 only
// once the name is on disk too (the directory synced), else the record is
// removed again. An existing record is never replaced: -1 with EEXIST. 0,
// or -1 with errno.
int write_permission_record(const permission_record* rec);

// Applies a record left by an earlier run and deletes it: 0 when there was
// none, when it was applied, or when it was of another boot than boot_id
// or its node has been made afresh or is gone (then only deleted, with a
// line on standard error for the latter); -1 with errno when it cannot be
// applied, and the record stays.
int restore_permissions(const char* boot_id);
