#include "node/node_policy.h"

#include <stddef.h>
#include <string.h>

#include "process/protocol.h"

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

int under_sysfs_devices(const char* path) {
    return strncmp(path, SYSFS_DEVICES_PREFIX, SYSFS_DEVICES_PREFIX_LEN) == 0;
}

real_path_verdict judge_real_path(const char* real) {
    if (!under_sysfs_devices(real)) return REAL_PATH_OUTSIDE_DEVICES;
    if (strnlen(real, CANONICAL_PATH_SIZE) > CANONICAL_PATH_SIZE - 1) return REAL_PATH_TOO_LONG;
    // Bytes are compared unsigned: 0x80 and above pass.
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(real); *p; ++p) {
        if (*p < 0x21 || *p == '"' || *p == '\\') return REAL_PATH_BAD_BYTE;
    }
    return REAL_PATH_OK;
}

int real_path_allowed(const char* real) {
    return judge_real_path(real) == REAL_PATH_OK;
}
