// The main-panel lease is written by the system user and read by root on
// every turn of the hold loop: whatever the file holds, the parser must
// either refuse it and leave the caller's record alone, or yield a record
// inside every limit the hold loop relies on.
//
// Input: one selector byte for the maximum, one for the reader's clock,
// then the lease text as the daemon reads it (at most 159 bytes).
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "fuzz/fuzz_common.h"
#include "mainpanel/lease.h"

namespace {

const int32_t kMaximums[8] = {255, 4095, 65535, 10, 9, 0, -1, INT32_MAX};
const int64_t kNows[8] = {
    1000000,              // a device up for a quarter of an hour
    0,                    // the clock's origin
    1,
    86400000,             // a day
    INT64_MAX - 8000,     // deadlines up to the very end of the clock
    INT64_MAX - 1,
    INT64_MAX,            // no deadline can lie ahead
    INT64_C(1) << 62,
};

bool token_ok(const char* s) {
    size_t len = strnlen(s, SESSION_MAX + 1);
    if (len < 1 || len > SESSION_MAX) return false;
    for (size_t i = 0; i < len; ++i) {
        char c = s[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// deadline - now in (0, 8000], computed without signed overflow.
bool deadline_ok(int64_t deadline, int64_t now) {
    return deadline > now &&
           static_cast<uint64_t>(deadline) - static_cast<uint64_t>(now) <= LEASE_MAX_AHEAD_MS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int32_t maximum = fuzz::pick(kMaximums, data[0]);
    const int64_t now = fuzz::pick(kNows, data[1]);
    std::vector<char> text = fuzz::terminated_copy(data + 2, size - 2, LEASE_READ_SIZE - 1);

    // The token rule on arbitrary text, against its own statement.
    FUZZ_CHECK(is_valid_session_token(text.data()) == (token_ok(text.data()) ? 1 : 0));

    lease_record out;
    fuzz::fill_sentinel(&out);
    int ok = parse_main_panel_lease(text.data(), now, maximum, &out);
    FUZZ_CHECK(ok == 0 || ok == 1);

    if (!ok) {
        FUZZ_CHECK(fuzz::is_sentinel(&out));
    } else {
        size_t len = fuzz::bounded_strlen(out.session, sizeof out.session);
        FUZZ_CHECK(len >= 1 && len <= SESSION_MAX);
        FUZZ_CHECK(token_ok(out.session));
        FUZZ_CHECK(is_valid_session_token(out.session) == 1);
        FUZZ_CHECK(out.pid >= 1);
        FUZZ_CHECK(out.active == 0 || out.active == 1);
        FUZZ_CHECK(out.target >= HELD_VALUE_MIN && out.target <= maximum);
        FUZZ_CHECK(deadline_ok(out.deadline_ms, now));
    }

    // Against the C library's formatted scan, which is how the record's
    // grammar is defined, wherever every number fits its field.
    if (fuzz::digit_runs_at_most(text.data(), 9)) {
        char session[SESSION_SIZE] = {};
        int pid = 0;
        long long deadline = 0;
        int active = 0;
        int target = 0;
        char spare = 0;
        int n = sscanf(text.data(), "%80s %d %lld %d %d %c", session, &pid, &deadline, &active,
                       &target, &spare);
        bool ref_ok = n == 5 && token_ok(session) && pid >= 1 && (active == 0 || active == 1) &&
                      target >= HELD_VALUE_MIN && target <= maximum &&
                      deadline_ok(static_cast<int64_t>(deadline), now);
        FUZZ_CHECK(ref_ok == (ok == 1));
        if (ok) {
            FUZZ_CHECK(strcmp(out.session, session) == 0);
            FUZZ_CHECK(out.pid == pid && out.deadline_ms == deadline && out.active == active &&
                       out.target == target);
        }
    }
    return 0;
}
