// The facts the daemon and its clients share: where every file lives, the
// control socket and its commands, the users, and the limits on values,
// times, leases, records and requests.
#pragma once
#include <stddef.h>

// ---- files ----

#define PRIVATE_DIR "/data/adb/tavorin_module_workspace"
#define MAIN_PANEL_LOCK_PATH PRIVATE_DIR "/main-panel.lock"
#define OUTDOOR_LOCK_PATH PRIVATE_DIR "/outdoor-node.lock"
#define PERMISSION_RECORD_PATH PRIVATE_DIR "/main-panel-permissions"
// Where the file system cannot make the record unnamed, it is written
// whole under this temporary name first and then linked into place.
#define PERMISSION_RECORD_TMP_PATH PERMISSION_RECORD_PATH ".tmp"
#define OUTDOOR_HEALTH_PATH PRIVATE_DIR "/outdoor-node-health.json"
#define OUTDOOR_HEALTH_TMP_PATH OUTDOOR_HEALTH_PATH ".new"

// The lease directory, written by the system user.
#define LEASE_DIR "/data/system"
#define MAIN_PANEL_LEASE_NAME "veltaris-main-panel-lease"
#define MAIN_PANEL_LEASE_PATH LEASE_DIR "/" MAIN_PANEL_LEASE_NAME
#define MAIN_PANEL_HEALTH_NAME "veltaris-main-panel-health"
#define MAIN_PANEL_HEALTH_PATH LEASE_DIR "/" MAIN_PANEL_HEALTH_NAME
#define MAIN_PANEL_HEALTH_TMP_PATH MAIN_PANEL_HEALTH_PATH ".new"
#define OUTDOOR_LEASE_NAME "veltaris-outdoor-node-lease"
#define OUTDOOR_LEASE_PATH LEASE_DIR "/" OUTDOOR_LEASE_NAME

#define BOOT_ID_PATH "/proc/sys/kernel/random/boot_id"
// The node a legacy permission record (mode only) refers to.
#define LEGACY_NODE_PATH "/sys/class/backlight/panel0-backlight/brightness"
#define SYSFS_DEVICES_PREFIX "/sys/devices/"

// ---- the control socket ----

// Abstract: a NUL, then the name without a terminator.
#define CONTROL_SOCKET_NAME "veltaris.main.panel.raw04"
// The build tag, in the readiness line and every status reply.
#define NATIVE_BUILD "raw07-mirelodge"

// ---- users ----

enum { ROOT_UID = 0, SYSTEM_UID = 1000 };

// ---- limits ----

enum {
    // Brightness values.
    SYSFS_VALUE_MAX = 65535,     // the largest value a node may read
    HELD_VALUE_MIN = 10,         // nothing below is held or boosted
    MAXIMUM_MIN = 11,            // a node whose maximum is lower is refused
    VALUE_TEXT_SIZE = 24,        // a value as written ("%d")
    SYSFS_READ_SIZE = 32,        // a value as read: at most 31 bytes

    // Paths.
    NODE_PATH_SIZE = 256,        // the node path and its sibling: at most 255 bytes
    CANONICAL_PATH_SIZE = 768,   // the real path: at most 767 bytes
    NODE_NAME_MAX = 96,          // the device name in a node path
    SYSFS_DEVICES_PREFIX_LEN = 13,
    REALPATH_SIZE = 4096,        // what realpath may write

    // The boot identity.
    BOOT_ID_LENGTH = 36,
    BOOT_ID_READ_MAX = 39,
    BOOT_ID_SIZE = 40,

    // The main-panel lease: "SESSION PID DEADLINE_MS ACTIVE TARGET".
    SESSION_MAX = 80,
    SESSION_SIZE = SESSION_MAX + 1,
    LEASE_READ_SIZE = 160,       // at most 159 bytes are examined
    LEASE_MAX_AHEAD_MS = 8000,   // the furthest deadline a lease may name

    // The outdoor lease: "v1|v2 PID DEADLINE_MS VALUE HELD".
    OUTDOOR_LEASE_READ_SIZE = 160,  // a valid file is 1..158 bytes
    OUTDOOR_LEASE_MAX_AHEAD_MS = 1500,
    OUTDOOR_V1_RATIO_MAX = 1000,    // v1: per mille of the way to the maximum
    OUTDOOR_V2_LEVEL_MIN = 10,      // v2: an absolute level, or 0 for the maximum
    OUTDOOR_V2_LEVEL_MAX = 65535,

    // The permission record: 1..1199 bytes.
    PERMISSION_RECORD_SIZE = 1200,

    // The control socket.
    CONTROL_NAME_LEN = 25,
    CONTROL_ADDR_LEN = 28,       // family + NUL + name
    CONTROL_BACKLOG = 8,
    REQUEST_SIZE = 240,          // a request is at most 239 bytes
    REQUEST_TIMEOUT_MS = 250,    // to receive a request, and per send
    REPLY_SIZE = 2048,
    COMMAND_WORD_MAX = 15,

    // The hold as a client sees it.
    IDLE_LIMIT_MS = 10000,       // ARM must come this soon after the start
    HEALTH_PERIOD_MS = 2000,     // the health record is at most this old
};

// ---- requests ----

// Who may send a command.
enum { PEER_ROOT = 1, PEER_SYSTEM = 2 };

enum control_verb { VERB_STATUS, VERB_ARM, VERB_STOP, VERB_STOP_SESSION, VERB_SET };

// A request is "%15s %80s %d %c": a command word, then its arguments. Its
// field count (word included) is part of the grammar: "STOP" alone and
// "STOP SESSION" are two commands.
struct control_command {
    const char* word;
    int fields;
    unsigned peers;
    control_verb verb;
};

inline constexpr control_command kControlCommands[] = {
    {"STATUS", 1, PEER_ROOT | PEER_SYSTEM, VERB_STATUS},
    {"ARM", 3, PEER_ROOT, VERB_ARM},                     // ARM SESSION PID
    {"STOP", 1, PEER_ROOT, VERB_STOP},
    {"STOP", 2, PEER_ROOT | PEER_SYSTEM, VERB_STOP_SESSION},  // STOP SESSION
    {"SET", 3, PEER_ROOT, VERB_SET},                     // SET SESSION VALUE
};
inline constexpr size_t kControlCommandCount = sizeof kControlCommands / sizeof kControlCommands[0];

// ---- reply reasons ----

#define REASON_STATUS "status"
#define REASON_ARMED "armed"
#define REASON_HEALTH_STATE_FAILED "health_state_failed"
#define REASON_READBACK_OK "readback_ok"
#define REASON_SCREEN_NOT_WRITABLE "screen_not_writable"
#define REASON_WRITE_OR_READBACK_FAILED "write_or_readback_failed"
#define REASON_RELEASED "released"
#define REASON_PERMISSION_RESTORE_FAILED "permission_restore_failed"
#define REASON_STALE "stale_or_invalid_request"
