// The owner's hold and the module page's entry: veltarisctl standing in for
// the platform's client on a phone whose platform has none. A keeper
// process of the system user writes and renews the main-panel lease; root
// arms and drives the hold over the control socket, exactly as a platform
// client would. The pure parts (arguments, who holds the panel, when the
// keeper ends, the page's JSON) are apart from the I/O, for the tests.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "client/control/escape.h"
#include "client/control/exit_status.h"
#include "client/control/health_record.h"
#include "client/control/lease_file.h"
#include "client/control/lines.h"
#include "client/control/run.h"
#include "client/control/watch.h"
#include "client/module/module.h"
#include "client/probe/probe.h"
#include "client/probe/selinux.h"
#include "process/protocol.h"

namespace ctl {

#define OWNER_KEEPER_PID_PATH PRIVATE_DIR "/owner-hold.pid"
#define OWNER_VALUE_PATH PRIVATE_DIR "/owner-hold.value"
#define OWNER_NODE_FILE_PATH PRIVATE_DIR "/outdoor-node"
#define OWNER_KEEP_FLAG_PATH PRIVATE_DIR "/keep-on-uninstall"
#define OWNER_SERVICE_LOG_PATH PRIVATE_DIR "/service.log"
#define OWNER_OUTDOOR_PID_PATH PRIVATE_DIR "/outdoor.pid"
// The word a keeper's command line holds, which the scripts check.
#define OWNER_KEEPER_WORD "owner-keeper"

enum : int32_t {
    // The keeper writes the furthest deadline the daemon accepts and
    // renews at half of it: 15 wake-ups a minute, 4 s of slack for a
    // keeper the phone is slow to schedule. Nothing is synced: a
    // lease's deadline means nothing after a reboot.
    KEEPER_TTL_MS = LEASE_MAX_AHEAD_MS,
    KEEPER_RENEW_MS = KEEPER_TTL_MS / 2,
    // A keeper whose hold no daemon has recorded this long after its start
    // ends: the daemon's own idle limit is shorter.
    KEEPER_ARM_GRACE_MS = IDLE_LIMIT_MS + 5000,
    DAEMON_READY_TIMEOUT_MS = 10000,
    KEEPER_READY_TIMEOUT_MS = 5000,
    KEEPER_ACK_TIMEOUT_MS = 3000,
    KEEPER_STOP_WAIT_MS = 3000,
    OWNER_ACK_POLL_MS = 10,
    PAGE_LOG_LINES = 20,
    PAGE_LOG_READ_MAX = 16384,
    // The service log's own bound (veltaris-lib.sh): past it the log moves
    // to .old, so at most twice this stays on the phone.
    SERVICE_LOG_MAX = 16384,
};

// ---- arguments -------------------------------------------------------------

enum class owner_verb {
    hold,               // hold VALUE: start the owner's hold, or change its value
    release,            // release: end it
    toggle,             // toggle: the action button (release, or hold at the last value)
    page_status,        // page status
    page_hold,          // page hold VALUE
    page_release,       // page release
    page_outdoor_node,  // page outdoor-node INDEX (0: automatic)
    page_keep,          // page keep-on-uninstall 0|1
    keeper,             // owner-keeper SESSION VALUE (started by hold, not by people)
};

struct owner_args {
    owner_verb verb = owner_verb::hold;
    int32_t value = 0;
    std::string session = OWNER_SESSION;
    std::string node;  // --node; empty: the module's node
};

// Whether the first argument names one of these commands.
bool is_owner_command(const std::string& word);
// Parses the whole argument list (command word first). Checks everything a
// number or a name must obey before anything runs; false with *error.
bool parse_owner_args(const std::vector<std::string>& args, owner_args* out, std::string* error);
// The usage lines for --help.
const char* owner_usage_text();

// ---- who holds the panel ---------------------------------------------------

enum class panel_holder { none, owner, platform };

struct panel_view {
    bool daemon_answered = false;  // a STATUS reply came
    bool armed = false;
    std::string session;  // the daemon's session
    bool lease_valid = false;  // the daemon would accept the lease now
    bool lease_pid_alive = false;
    int32_t lease_pid = 0;
    std::string lease_session;
    int32_t keeper_pid = 0;  // the owner's keeper, 0 when none runs
};

// A hold belongs to the owner when the daemon holds for the owner's session
// and any lease is the keeper's; any other armed session or valid lease is
// a platform client's, which the owner's commands never override.
panel_holder judge_holder(const panel_view& view, const std::string& owner_session);
const char* holder_word(panel_holder holder);

// The session and pid of a main-panel lease line, whatever its validity;
// false when it has none.
bool lease_identity(const std::string& text, std::string* session, int32_t* pid);

// ---- the keeper's end --------------------------------------------------------

// What the keeper makes of the main-panel health record at now_ms, having
// started at started_ms. *seen is set once a record showed the hold, so a
// later absence ends the keeper at once rather than after the grace.
enum class keeper_verdict { keep, hold_ended, taken_over, no_hold };
keeper_verdict judge_keeper(bool present, const std::string& record, const std::string& session,
                            int64_t started_ms, int64_t now_ms, bool* seen);
const char* keeper_verdict_text(keeper_verdict verdict);

// ---- the page's JSON ---------------------------------------------------------

// A daemon reply fit to embed as a JSON object, or "null".
std::string reply_object(const std::string& reply);

struct page_result {
    bool ok = false;
    std::string reason;
    int err = 0;
    std::string reply;   // the daemon's reply line, when one came
    std::string detail;  // a sentence for people
};
std::string page_result_json(const page_result& result);

struct page_status {
    int64_t now_ms = 0;
    std::string node_path;
    int32_t node_value = -1;
    int32_t node_maximum = -1;
    int32_t node_mode = -1;
    panel_holder holder = panel_holder::none;
    bool main_running = false;
    std::string main_reply;  // the daemon's STATUS reply
    std::string main_error;  // no_daemon, socket_denied, no_reply or empty
    bool owner_holding = false;
    std::string owner_session = OWNER_SESSION;
    int32_t owner_value = 0;  // the value of the hold, 0 when none
    int32_t keeper_pid = 0;
    int32_t last_value = 0;  // the last value held, 0 when none
    bool outdoor_running = false;
    std::string outdoor_record;  // the record's text, empty when none
    std::string chosen;
    std::string why;
    std::string selinux;
    std::string socket;
    std::string node_file;  // the owner's choice of node, empty: automatic
    std::vector<std::string> candidates;
    bool keep_on_uninstall = false;
    std::vector<std::string> log;
};
std::string page_status_json(const page_status& status);

// The target of a main-panel lease line (its fifth field), or -1.
int32_t lease_target(const std::string& text);

// The last n lines of text, without their ends.
std::vector<std::string> last_lines(const std::string& text, size_t n);
// The value file's number (OWNER_VALUE_PATH), 0 when it holds none.
int32_t parse_owner_value(const std::string& text);

// ---- runners ----------------------------------------------------------------

int run_owner_command(const owner_args& args);

}  // namespace ctl
