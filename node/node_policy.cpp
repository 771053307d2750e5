#include "node/node_policy.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "daemon/state.h"

namespace {

struct class_prefix {
    const char* text;
    size_t length;
    int led;  // the device name must be a listed LED panel name
};

const class_prefix kClassPrefixes[] = {
    {"/sys/class/backlight/", 21, 0},
    {"/sys/class/leds/", 16, 1},
};

// Names that say the device is not the main panel.
const char* const kDenySubstrings[] = {
    "secondary", "second",       "aux",           "cover",  "rear",     "subdisplay",
    "sub-display", "sub_backlight", "sub-backlight", "outer", "keyboard", "kbd",
    "button",    "torch",        "flash",         "notification", "indicator", "rgb",
};

// A digit 1..9 after one of these words names a second panel.
const char* const kNumberedSiblingWords[] = {"panel", "display", "lcd"};

const char* const kLedPanelNames[] = {
    "panel0-backlight", "panel0",        "display0-backlight", "display0",
    "lcd0-backlight",   "lcd0",          "lcd-backlight",      "lcd_backlight",
    "lcd",              "display-backlight", "display_backlight", "mtk-lcd-backlight",
    "mtk-lcd",          "mtk-backlight", "mtk-bl",             "mdss-bl",
    "primary-backlight",
};

const char kTail[] = "/brightness";
const char kMaxName[] = "max_brightness";
enum { REALPATH_SIZE = 4096 };

int names_numbered_sibling(const char* name) {
    for (const char* word : kNumberedSiblingWords) {
        size_t word_len = strlen(word);
        const char* from = name;
        const char* hit;
        while ((hit = strstr(from, word)) != nullptr) {
            const char* look = hit + word_len;
            if (*look == '_' || *look == '-') ++look;
            if (*look >= '1' && *look <= '9') return 1;
            from = look;
        }
    }
    return 0;
}

// The canonical path is printed unescaped in JSON and stored as one
// blank-free field, so it may hold no blank, control byte, quote or
// backslash.
int canonical_bytes_ok(const char* path) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p) {
        if (*p < 0x21 || *p == '"' || *p == '\\') return 0;
    }
    return 1;
}

int fail_with(int code) {
    errno = code;
    return -1;
}

}  // namespace

node_path_verdict judge_node_path(const char* path) {
    const class_prefix* cls = nullptr;
    for (const class_prefix& c : kClassPrefixes) {
        if (strncmp(path, c.text, c.length) == 0) {
            cls = &c;
            break;
        }
    }
    if (cls == nullptr) return NODE_PATH_NOT_CLASS_NODE;

    const char* name = path + cls->length;
    const char* slash = strchr(name, '/');
    if (slash == nullptr || strcmp(slash, kTail) != 0) return NODE_PATH_NOT_CLASS_NODE;
    size_t name_len = static_cast<size_t>(slash - name);
    if (name_len < 1 || name_len > NODE_NAME_MAX) return NODE_PATH_NAME_LENGTH;

    char lower[NODE_NAME_MAX + 1];
    for (size_t i = 0; i < name_len; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == ':' || c == '_')) {
            return NODE_PATH_BAD_BYTE;
        }
        lower[i] = c;
    }
    lower[name_len] = '\0';

    if (strcmp(lower, ".") == 0 || strcmp(lower, "..") == 0) return NODE_PATH_DOT_NAME;
    for (const char* deny : kDenySubstrings) {
        if (strstr(lower, deny) != nullptr) return NODE_PATH_DENY_WORD;
    }
    if (names_numbered_sibling(lower)) return NODE_PATH_NUMBERED_SIBLING;
    if (!cls->led) return NODE_PATH_ACCEPTED;
    for (const char* led : kLedPanelNames) {
        if (strcmp(lower, led) == 0) return NODE_PATH_ACCEPTED;
    }
    return NODE_PATH_NOT_LED_PANEL;
}

int node_path_allowed(const char* path) {
    return judge_node_path(path) == NODE_PATH_ACCEPTED;
}

real_path_verdict judge_real_path(const char* real) {
    if (strncmp(real, SYSFS_DEVICES_PREFIX, SYSFS_DEVICES_PREFIX_LEN) != 0)
        return REAL_PATH_OUTSIDE_DEVICES;
    if (strlen(real) > CANONICAL_PATH_SIZE - 1) return REAL_PATH_TOO_LONG;
    if (!canonical_bytes_ok(real)) return REAL_PATH_BAD_BYTE;
    return REAL_PATH_OK;
}

int capture_node(const char* path) {
    if (!node_path_allowed(path)) return fail_with(EINVAL);
    size_t path_len = strlen(path);
    if (path_len > NODE_PATH_SIZE - 1) return fail_with(EINVAL);

    char real[REALPATH_SIZE];
    if (realpath(path, real) == nullptr) return fail_with(EINVAL);
    // Every refusal here is EINVAL, so checking the bytes before the stat
    // rather than after it changes no outcome.
    if (judge_real_path(real) != REAL_PATH_OK) return fail_with(EINVAL);
    size_t real_len = strlen(real);
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return fail_with(EINVAL);

    memcpy(g_daemon.node_path, path, path_len + 1);
    memcpy(g_daemon.canonical_path, real, real_len + 1);
    g_daemon.node_dev = static_cast<uint64_t>(st.st_dev);
    g_daemon.node_ino = static_cast<uint64_t>(st.st_ino);

    // The policy guarantees the last "/" is the one before "brightness".
    const char* last_slash = strrchr(path, '/');
    int dir_len = static_cast<int>(last_slash - path);
    int n = snprintf(g_daemon.max_path, sizeof g_daemon.max_path, "%.*s/%s", dir_len, path,
                     kMaxName);
    if (n < 1 || n > NODE_PATH_SIZE - 1) return fail_with(ENAMETOOLONG);

    // The maximum must come from the node's own device directory.
    char max_real[REALPATH_SIZE];
    if (realpath(g_daemon.max_path, max_real) == nullptr) return fail_with(EINVAL);
    char* max_dir_end = strrchr(max_real, '/');
    if (max_dir_end == nullptr) return fail_with(EINVAL);
    size_t max_dir_len = static_cast<size_t>(max_dir_end - max_real);
    const char* node_last = strrchr(real, '/');
    if (node_last == nullptr || static_cast<size_t>(node_last - real) != max_dir_len ||
        memcmp(real, max_real, max_dir_len) != 0) {
        return fail_with(EINVAL);
    }
    return 0;
}

int node_identity_ok(void) {
    int saved = errno;
    struct stat st;
    int ok = 0;
    if (stat(g_daemon.node_path, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<uint64_t>(st.st_dev) == g_daemon.node_dev &&
        static_cast<uint64_t>(st.st_ino) == g_daemon.node_ino) {
        char real[REALPATH_SIZE];
        ok = realpath(g_daemon.node_path, real) != nullptr &&
             strcmp(real, g_daemon.canonical_path) == 0;
    }
    errno = saved;
    return ok;
}

int open_node_for_write(void) {
    if (!node_identity_ok()) return fail_with(ESTALE);
    unique_fd fd(open(g_daemon.node_path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) return -1;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_dev) != g_daemon.node_dev ||
        static_cast<uint64_t>(st.st_ino) != g_daemon.node_ino || !node_identity_ok()) {
        fd.reset();
        return fail_with(ESTALE);
    }
    return fd.release();
}
