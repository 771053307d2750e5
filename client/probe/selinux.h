// SELinux for `probe`: may the platform's clients reach the control
// socket of this process's domain? The kernel answers through selinuxfs
// (read_selinux, in probe.cpp); judging and formatting the answers is in
// selinux_lines.cpp, which the unit tests call directly.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace ctl {

// The platform domains whose clients connect to the control socket, in the
// order of selinux_view::connect.
inline constexpr const char* kSelinuxClients[] = {"system_server", "system_app"};
enum : size_t { SELINUX_CLIENT_COUNT = sizeof kSelinuxClients / sizeof kSelinuxClients[0] };

enum : uint32_t {
    SELINUX_CLASS_MAX = 65535,  // the kernel reads the class as an unsigned short
    SELINUX_PERM_MAX = 32,      // one bit of a 32-bit access vector
    AVD_FLAG_PERMISSIVE = 1,    // the source domain is permissive
};

// The answer of selinuxfs's access file: "allowed decided auditallow
// auditdeny seqno [flags]", hexadecimal but for the decimal seqno (flags
// are missing on old kernels).
struct access_decision {
    uint32_t allowed = 0;
    uint32_t decided = 0;
    uint32_t auditallow = 0;
    uint32_t auditdeny = 0;
    uint32_t seqno = 0;
    uint32_t flags = 0;
};

enum class connect_answer { allowed, denied, unknown };

struct selinux_connect {
    connect_answer answer = connect_answer::unknown;
    std::string reason;              // why unknown
    bool permissive_source = false;  // the client's own domain is permissive
};

struct selinux_view {
    std::string mode;           // enforcing, permissive, disabled or unknown
    std::string mode_error;     // why unknown
    std::string context;        // this process's context; empty when unknown
    std::string context_error;  // why empty
    std::string domain;         // the context's type
    selinux_connect connect[SELINUX_CLIENT_COUNT];
};

// A positive decimal number of at most max (a class index, a permission's
// 1-based number) with an optional final newline.
bool parse_selinux_number(const std::string& text, uint32_t max, uint32_t* out);

// The access file's answer; false for anything else.
bool parse_access_decision(const std::string& text, access_decision* out);

// "enforcing" or "permissive" from the enforce file's text, "disabled"
// when it does not exist (read_error ENOENT), "unknown" otherwise.
std::string selinux_mode(int read_error, const std::string& enforce_text);

// The context of /proc/self/attr/current without its final NUL or newline.
std::string clean_context(const std::string& raw);

// The type field of "user:role:type[:level]"; empty when there is none.
std::string selinux_domain(const std::string& context);

// The access file's query whether platform client i may connect to a
// socket of context: "SCON TCON CLASS", the client the source and the
// socket the target.
std::string connect_query(size_t i, const std::string& context, uint32_t cls);

// The verdict on the permission numbered perm (1-based) in a decision.
selinux_connect judge_access(const access_decision& decision, uint32_t perm);

// "control socket: system_server may connect to domain su (enforcing)" and
// the like, for client i.
std::string selinux_connect_line(const selinux_view& view, size_t i);

// One line for the service log: the mode, the domain and whether the
// module's rule is in force.
std::string selinux_log_line(const selinux_view& view);

// The "selinux" JSON object.
std::string selinux_json(const selinux_view& view);

// ---- I/O (probe.cpp) ----

// SELinux as this process sees it, asking the kernel through selinuxfs.
selinux_view read_selinux();

}  // namespace ctl
