// Fitting the process into its environment: the root-only private
// directory and its instance locks, the boot identity, the escape from the
// app freezer and the stop signals.
#pragma once
#include <signal.h>
#include <stddef.h>

// 1 when the private directory is a directory owned by uid 0 with no group
// or other permission bits (symbolic links followed); 0 otherwise.
int check_private_directory(void);

enum {
    // A main-panel start that finds its lock busy tries again for this
    // long before it gives up. Outdoor mode holds the lock for an instant
    // at every turn (its probe, or one node write), far shorter than this;
    // another main-panel daemon holds it for its whole life.
    MAIN_PANEL_LOCK_WAIT_MS = 200,
    MAIN_PANEL_LOCK_RETRY_MS = 5,  // the pause between two tries
};

// Opens, checks (root-owned regular file, no group/other bits) and locks
// path exclusively without waiting. Returns the descriptor or -1.
int take_instance_lock(const char* path);
// The same for the main-panel lock; outdoor mode's probe and writes.
int take_main_panel_lock(void);
// The main-panel lock at a main-panel start: a lock found busy
// (EWOULDBLOCK) is tried again for up to MAIN_PANEL_LOCK_WAIT_MS, so that
// outdoor mode's probe does not refuse the start; any other failure
// returns at once. The descriptor, or -1 with errno (EWOULDBLOCK when it
// stayed busy).
int take_main_panel_lock_at_start(void);

// Validates len bytes of boot identity text: trailing CR/LF removed, then
// exactly 36 characters, '-' at 8, 13, 18, 23, hex digits elsewhere. On
// success copies the text (case kept) into out (BOOT_ID_SIZE bytes) and
// returns 0; on failure returns -1 with errno EINVAL and leaves out alone.
int parse_boot_identity(const char* text, size_t len, char* out);

// Fills out (BOOT_ID_SIZE bytes) from BOOT_ID_PATH; 0, or -1 with errno
// (EINVAL for malformed content; an empty file sets nothing).
int read_boot_identity(char* out);

// Writes the pid into the first usable app-freezer target; 0 or -1.
int escape_app_freezer(void);

// Sets the stop flag of the process's state record, and nothing else.
void on_stop_signal(int signo);

// Points SIGTERM, SIGINT and SIGHUP at on_stop_signal (restartable), and
// ignores SIGPIPE when asked.
void install_stop_signals(int ignore_sigpipe);

// The stop signals stay blocked outside the loops' waits so that a signal
// arriving between the flag test and the wait cannot be missed: the wait
// (ppoll) unblocks them atomically with the given mask.
void block_stop_signals(sigset_t* wait_mask);

// 1 when a stop signal is pending (blocked, not yet delivered). A wait
// that returns ready descriptors does not deliver a signal that was
// already pending, so the loops ask before they act on what woke them.
int stop_signal_pending(void);
