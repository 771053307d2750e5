// Lease files as their owners must write them (lease_file.cpp): replaced in
// one step, handed to the system user, and the temporary files that
// cut-off writers left behind cleared without taking one that another
// writer is about to rename.
#pragma once
#include <functional>
#include <string>

namespace ctl {

// Where a test steps into replace_lease_file: after_create runs between a
// temporary file's creation and its lock, before_rename once the file has
// its name; unnamed_error fails the open of the unnamed file with that
// errno (EOPNOTSUPP: a file system without unnamed files, EISDIR: a kernel
// older than them), naming_error the naming of it (EACCES: a policy that
// denies link).
struct lease_write_seam {
    std::function<void()> after_create;
    std::function<void()> before_rename;
    int unnamed_error = 0;
    int naming_error = 0;
    // Sees each random name before it is tried (a test may take it).
    std::function<void(const std::string&)> before_naming;
};

// Replaces the lease at path with text: a temporary file in its directory,
// written, synced, handed to the system user (mode 0600) and renamed over
// the lease. False with *error when it could not. A writer that renews for
// hours passes durable false: a lease names a deadline on this boot's
// clock, so a sync would wear the flash for nothing.
bool replace_lease_file(const char* path, const std::string& text, std::string* error,
                        const lease_write_seam* seam = nullptr, bool durable = true);
// Whether a directory entry is ".NAME.XXXXXX" (six letters or digits), the
// name of a temporary file of the lease NAME.
bool is_own_temporary_name(const char* entry, const std::string& lease_name);
// Removes the temporary files that cut-off writers of the lease at path
// left behind, and none that a writer at work holds.
void remove_temporary_leftovers(const char* path);

}  // namespace ctl
