// The write guard: while it is armed the daemon keeps one descriptor
// open for writing and clears the node's write bits, after saving the bits
// it found in the permission record.
#pragma once
#include <sys/stat.h>

#include "process/state.h"

// Arms the guard (at once when it already is): records the node's bits,
// opens the node and clears its write bits. 0, or -1 with errno (EEXIST
// while a record is left over, ESTALE when the node is no longer the
// captured one).
int arm_write_guard(guard_state* guard, const node_identity* node, const char* boot_id);

// Puts the recorded bits back, through the held descriptor while its inode
// is the recorded one, else through the node path, and closes the
// descriptor. 0 only when the bits are back (or there was nothing to put
// back); -1 with errno otherwise: the restore failed and the record stays,
// or the node was made afresh and the record was dropped (ESTALE). A
// failure is kept in release_errno until a release puts bits back.
int release_write_guard(guard_state* guard, const char* boot_id);

// While armed, clears the write bits again when something (the device
// manager resets sysfs modes on change events) has turned them back on.
// node_st, when given, is the node's attributes just taken (through
// another descriptor on the same node); otherwise the held descriptor is
// asked. 0 when the mode is as it should be (or the guard is not armed),
// -1 with errno when it could not be checked or fixed.
int enforce_guard_mode(const guard_state* guard, const struct stat* node_st = nullptr);
