// Whole-file replacement through a sibling temporary file and rename, so a
// reader sees either the previous content or the replacement.
#pragma once
#include <stddef.h>

enum {
    ATOMIC_KEEP_MODE = 0,
    ATOMIC_SET_MODE_0644 = 1,  // fchmod the temporary file to 0644 before writing
};

// Writes len bytes of text into tmp_path with one write and renames it over
// final_path, with no sync. The temporary file may sit in a directory that another user
// can write, so it is never truncated through whatever it happens to be: it
// is opened without O_TRUNC and without blocking, and only a regular file
// with a single link owned by this process's user is reused; anything else
// there (a FIFO, a hard link, a foreign file) is unlinked and the file is
// created afresh with O_EXCL. A symbolic link there fails (ELOOP).
// On a failed write the temporary file is unlinked; on a failed rename it
// is left for the next call to reuse. Returns 0, or -1 with errno.
int replace_file_atomically(const char* tmp_path, const char* final_path,
                            const char* text, size_t len, int flags);
