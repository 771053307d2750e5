// The node path policy is the one gate between a path someone hands the
// daemon (on its command line, or inside a permission record) and the file
// root writes and chmods. Every path it allows must have the shape
// /sys/class/(backlight|leds)/NAME/brightness, and its answer must match an
// independent restatement of the rules.
//
// Input: the path text (at most 511 bytes; NUL ends it early).
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "process/state.h"
#include "fuzz/fuzz_common.h"
#include "node/node_policy.h"

namespace {

const char* const kDeny[] = {
    "secondary", "second", "aux",           "cover",         "rear",  "subdisplay",
    "sub-display", "sub_backlight", "sub-backlight", "outer", "keyboard", "kbd",
    "button",    "torch",  "flash",         "notification",  "indicator", "rgb",
};
const char* const kSiblingWords[] = {"panel", "display", "lcd"};
const char* const kLedNames[] = {
    "panel0-backlight", "panel0", "display0-backlight", "display0", "lcd0-backlight", "lcd0",
    "lcd-backlight", "lcd_backlight", "lcd", "display-backlight", "display_backlight",
    "mtk-lcd-backlight", "mtk-lcd", "mtk-backlight", "mtk-bl", "mdss-bl", "primary-backlight",
};

bool reference_allowed(const std::string& path) {
    bool led;
    std::string rest;
    const std::string backlight = "/sys/class/backlight/";
    const std::string leds = "/sys/class/leds/";
    if (path.compare(0, backlight.size(), backlight) == 0) {
        led = false;
        rest = path.substr(backlight.size());
    } else if (path.compare(0, leds.size(), leds) == 0) {
        led = true;
        rest = path.substr(leds.size());
    } else {
        return false;
    }
    size_t slash = rest.find('/');
    if (slash == std::string::npos || rest.substr(slash) != "/brightness") return false;
    std::string name = rest.substr(0, slash);
    if (name.empty() || name.size() > NODE_NAME_MAX) return false;

    std::string lower;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') {
            lower += static_cast<char>(c + ('a' - 'A'));
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                   c == ':' || c == '_') {
            lower += c;
        } else {
            return false;
        }
    }
    if (lower == "." || lower == "..") return false;
    for (const char* d : kDeny) {
        if (lower.find(d) != std::string::npos) return false;
    }
    // The sibling words cannot overlap themselves, so testing every
    // occurrence is the same as the left-to-right scan of the rule.
    for (const char* w : kSiblingWords) {
        std::string word = w;
        for (size_t at = lower.find(word); at != std::string::npos; at = lower.find(word, at + 1)) {
            size_t look = at + word.size();
            if (look < lower.size() && (lower[look] == '_' || lower[look] == '-')) ++look;
            if (look < lower.size() && lower[look] >= '1' && lower[look] <= '9') return false;
        }
    }
    if (!led) return true;
    for (const char* n : kLedNames) {
        if (lower == n) return true;
    }
    return false;
}

// The shape /sys/class/(backlight|leds)/NAME/brightness with NAME made of
// 1 to 96 letters, digits, '-', '.', ':' or '_' and not "." or "..".
bool has_node_shape(const std::string& path) {
    const std::string tail = "/brightness";
    std::string name;
    for (const std::string prefix : {"/sys/class/backlight/", "/sys/class/leds/"}) {
        if (path.size() > prefix.size() + tail.size() &&
            path.compare(0, prefix.size(), prefix) == 0 &&
            path.compare(path.size() - tail.size(), tail.size(), tail) == 0) {
            name = path.substr(prefix.size(), path.size() - prefix.size() - tail.size());
            break;
        }
    }
    if (name.empty() || name.size() > NODE_NAME_MAX || name == "." || name == "..") return false;
    for (char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != ':' &&
            c != '_') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text = fuzz::terminated_copy(data, size, 511);

    errno = 12345;
    int allowed = node_path_allowed(text.data());
    FUZZ_CHECK(errno == 12345);  // pure: no error code of its own
    FUZZ_CHECK(allowed == 0 || allowed == 1);

    std::string path(text.data());
    FUZZ_CHECK((allowed == 1) == reference_allowed(path));
    if (allowed) {
        FUZZ_CHECK(has_node_shape(path));
        FUZZ_CHECK(path.size() < NODE_PATH_SIZE);
    }
    return 0;
}
