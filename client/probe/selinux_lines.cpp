// Judging and formatting the SELinux part of `probe`; no I/O here. The
// kernel answers a query on selinuxfs's access file with
// "%x %x %x %x %u %x": allowed, decided, auditallow, auditdeny, the policy's
// sequence number (decimal) and flags (absent on old kernels). A class is
// named by its number in class/NAME/index, a permission by its 1-based
// number in class/NAME/perms/PERM, which is its bit in the vectors.
#include <errno.h>
#include <stdlib.h>

#include <string>

#include "client/control/escape.h"
#include "client/probe/probe.h"
#include "client/probe/selinux.h"

namespace ctl {

namespace {

enum : size_t {
    ACCESS_FIELDS_MIN = 5,  // without flags
    ACCESS_FIELDS_MAX = 6,
    HEX_WORD_DIGITS = 8,
    DECIMAL_WORD_DIGITS = 10,
};

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One unsigned 32-bit word of the given base, digits only.
bool parse_word(const std::string& word, int base, uint32_t* out) {
    size_t max_digits = base == 16 ? HEX_WORD_DIGITS : DECIMAL_WORD_DIGITS;
    if (word.empty() || word.size() > max_digits) return false;
    for (char c : word) {
        if (base == 16 ? !is_hex_digit(c) : (c < '0' || c > '9')) return false;
    }
    unsigned long long v = strtoull(word.c_str(), nullptr, base);
    if (v > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

const char* answer_word(connect_answer a) {
    switch (a) {
        case connect_answer::allowed:
            return "allowed";
        case connect_answer::denied:
            return "denied";
        case connect_answer::unknown:
            break;
    }
    return "unknown";
}

std::string domain_text(const selinux_view& view) {
    return view.domain.empty() ? std::string("this process's domain") : "domain " + view.domain;
}

// What the mode means for a denial.
std::string denial_effect(const selinux_view& view, const selinux_connect& c) {
    if (c.permissive_source) return "its domain is permissive: only logged";
    if (view.mode == "enforcing") return "enforcing";
    if (view.mode == "permissive") return "permissive: only logged";
    return view.mode;
}

std::string json_or_null(const std::string& text) {
    return text.empty() ? std::string("null") : json_string(text);
}

}  // namespace

bool parse_selinux_number(const std::string& text, uint32_t max, uint32_t* out) {
    std::string digits = text;
    if (!digits.empty() && digits.back() == '\n') digits.pop_back();
    uint32_t v = 0;
    if (!parse_word(digits, 10, &v) || v < 1 || v > max) return false;
    *out = v;
    return true;
}

bool parse_access_decision(const std::string& text, access_decision* out) {
    std::string words[ACCESS_FIELDS_MAX];
    size_t count = 0;
    size_t at = 0;
    while (at < text.size()) {
        char c = text[at];
        if (c == ' ' || c == '\n') {
            ++at;
            continue;
        }
        if (count == ACCESS_FIELDS_MAX) return false;
        size_t end = text.find_first_of(" \n", at);
        if (end == std::string::npos) end = text.size();
        words[count++] = text.substr(at, end - at);
        at = end;
    }
    if (count < ACCESS_FIELDS_MIN) return false;
    access_decision d;
    uint32_t* hex[] = {&d.allowed, &d.decided, &d.auditallow, &d.auditdeny};
    for (size_t i = 0; i < 4; ++i) {
        if (!parse_word(words[i], 16, hex[i])) return false;
    }
    if (!parse_word(words[4], 10, &d.seqno)) return false;
    if (count == ACCESS_FIELDS_MAX && !parse_word(words[5], 16, &d.flags)) return false;
    *out = d;
    return true;
}

std::string selinux_mode(int read_error, const std::string& enforce_text) {
    if (read_error == ENOENT) return "disabled";
    if (read_error != 0) return "unknown";
    std::string t = enforce_text;
    if (!t.empty() && t.back() == '\n') t.pop_back();
    if (t == "1") return "enforcing";
    if (t == "0") return "permissive";
    return "unknown";
}

std::string clean_context(const std::string& raw) {
    std::string t = raw;
    while (!t.empty() && (t.back() == '\0' || t.back() == '\n')) t.pop_back();
    return t;
}

std::string selinux_domain(const std::string& context) {
    size_t first = context.find(':');
    if (first == std::string::npos || first == 0) return std::string();
    size_t second = context.find(':', first + 1);
    if (second == std::string::npos || second == first + 1) return std::string();
    size_t third = context.find(':', second + 1);
    std::string type = context.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
    for (char c : type) {
        bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!word) return std::string();
    }
    return type;
}

std::string connect_query(size_t i, const std::string& context, uint32_t cls) {
    return std::string("u:r:") + kSelinuxClients[i] + ":s0 " + context + " " + std::to_string(cls);
}

selinux_connect judge_access(const access_decision& decision, uint32_t perm) {
    selinux_connect c;
    if (perm < 1 || perm > SELINUX_PERM_MAX) {
        c.reason = "the permission's number is out of range";
        return c;
    }
    uint32_t bit = 1u << (perm - 1);
    if ((decision.decided & bit) == 0) {
        c.reason = "the kernel left the permission undecided";
        return c;
    }
    c.answer = (decision.allowed & bit) != 0 ? connect_answer::allowed : connect_answer::denied;
    c.permissive_source = (decision.flags & AVD_FLAG_PERMISSIVE) != 0;
    return c;
}

// What allows a connection the kernel allows.
const char kAllowedBy[] = "allowed by the module's sepolicy rule or the root manager's own policy";

std::string selinux_connect_line(const selinux_view& view, size_t i) {
    const selinux_connect& c = view.connect[i];
    std::string who = std::string("control socket: ") + kSelinuxClients[i];
    switch (c.answer) {
        case connect_answer::allowed:
            // The kernel's answer cannot say which rule allows it: this
            // module's, or the root manager's own policy (B's kernel lets
            // any domain connect to its root domain from one release on; A
            // and C let system_app connect to theirs).
            return who + " may connect to " + domain_text(view) + " (" + view.mode + "): " + kAllowedBy;
        case connect_answer::denied:
            return who + " may not connect to " + domain_text(view) + " (" + denial_effect(view, c) +
                   "): the module's sepolicy rule is not in force";
        case connect_answer::unknown:
            break;
    }
    return who + ": unknown (" + c.reason + ")";
}

std::string selinux_log_line(const selinux_view& view) {
    std::string line = "selinux: " + view.mode;
    if (view.mode == "disabled") return line + " (no selinuxfs): nothing refuses a connection to the control socket";
    if (!view.mode_error.empty()) line += " (" + view.mode_error + ")";
    line += view.context.empty() ? ", own context unknown (" + view.context_error + ")"
                                 : ", domain " + (view.domain.empty() ? std::string("?") : view.domain) + " (" +
                                       escape_text(view.context) + ")";
    bool denied = false;
    bool all_allowed = true;
    std::string each;
    for (size_t i = 0; i < SELINUX_CLIENT_COUNT; ++i) {
        const selinux_connect& c = view.connect[i];
        denied = denied || c.answer == connect_answer::denied;
        all_allowed = all_allowed && c.answer == connect_answer::allowed;
        if (!each.empty()) each += ", ";
        each += kSelinuxClients[i];
        if (c.answer == connect_answer::allowed) each += " may connect";
        else if (c.answer == connect_answer::denied) each += " may not connect";
        else each += " unknown (" + c.reason + ")";
    }
    std::string verdict = denied        ? "the module's sepolicy rule is not in force"
                          : all_allowed ? std::string("both may connect: ") + kAllowedBy
                                        : "unknown whether the module's sepolicy rule is in force";
    line += ": " + verdict + " (" + each + ")";
    if (denied && view.mode == "enforcing") line += "; their clients get EACCES";
    if (denied && view.mode == "permissive") line += "; only logged while permissive";
    return line;
}

std::string selinux_json(const selinux_view& view) {
    std::string out = "{\"mode\":" + json_string(view.mode) + ",\"context\":" + json_or_null(view.context) +
                      ",\"domain\":" + json_or_null(view.domain) + ",\"connect\":{";
    std::string reasons = "{";
    for (size_t i = 0; i < SELINUX_CLIENT_COUNT; ++i) {
        if (i > 0) {
            out += ",";
            reasons += ",";
        }
        out += json_string(kSelinuxClients[i]) + ":" + json_string(answer_word(view.connect[i].answer));
        reasons += json_string(kSelinuxClients[i]) + ":" + json_or_null(view.connect[i].reason);
    }
    return out + "},\"reasons\":" + reasons + "}}";
}

}  // namespace ctl
