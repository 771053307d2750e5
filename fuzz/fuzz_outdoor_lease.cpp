// The outdoor lease is written by system_server and read by root on every
// turn of the outdoor loop. A record it yields decides how far the panel
// is driven, so every accepted value must lie in its version's range.
//
// Input: one selector byte for the reader's clock, then the file's bytes as
// one read of at most 159 bytes returns them (NULs included). The same
// bytes also go through the system_server command-line test.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "fuzz/fuzz_common.h"
#include "outdoor/outdoor_lease.h"

namespace {

const int64_t kNows[8] = {
    1000000, 0, 1, 86400000, INT64_MAX - 1500, INT64_MAX - 1, INT64_MAX, INT64_C(1) << 62,
};

enum { MAX_TEXT = OUTDOOR_LEASE_READ_SIZE - 2 };  // 158: a full read is refused

bool deadline_ok(int64_t deadline, int64_t now) {
    return deadline > now && static_cast<uint64_t>(deadline) - static_cast<uint64_t>(now) <=
                                 OUTDOOR_LEASE_MAX_AHEAD_MS;
}

bool value_ok(bool v2, int value) {
    return v2 ? (value == 0 || (value >= 10 && value <= 65535)) : (value >= 0 && value <= 1000);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int64_t now = fuzz::pick(kNows, data[0]);
    size_t len = size - 1;
    if (len > OUTDOOR_LEASE_READ_SIZE - 1) len = OUTDOOR_LEASE_READ_SIZE - 1;
    // Exactly len bytes, unterminated: the parser must not rely on a NUL.
    std::vector<char> raw(data + 1, data + 1 + len);
    const char* bytes = raw.empty() ? "" : raw.data();

    int is_ss = cmdline_is_system_server(bytes, len);
    FUZZ_CHECK(is_ss == ((len >= 14 && memcmp(bytes, "system_server", 14) == 0) ? 1 : 0));

    outdoor_lease_record out;
    fuzz::fill_sentinel(&out);
    int ok = parse_outdoor_lease(bytes, len, now, &out);
    FUZZ_CHECK(ok == 0 || ok == 1);

    if (!ok) {
        FUZZ_CHECK(fuzz::is_sentinel(&out));
    } else {
        FUZZ_CHECK(len >= 1 && len <= MAX_TEXT);
        FUZZ_CHECK(bytes[0] == 'v' && (bytes[1] == '1' || bytes[1] == '2') && bytes[2] == ' ');
        FUZZ_CHECK(out.pid >= 1);
        FUZZ_CHECK(out.held == 0 || out.held == 1);
        FUZZ_CHECK(deadline_ok(out.deadline_ms, now));
        FUZZ_CHECK(out.is_v2 == (bytes[1] == '2' ? 1 : 0));
        if (out.is_v2) {
            FUZZ_CHECK(out.ratio_permille == 1000);
            FUZZ_CHECK(out.level == 0 || (out.level >= 10 && out.level <= 65535));
        } else {
            FUZZ_CHECK(out.ratio_permille >= 0 && out.ratio_permille <= 1000);
            FUZZ_CHECK(out.level == 0);
        }
    }

    // Against the C library's formatted scan wherever every number fits.
    std::vector<char> text = fuzz::terminated_copy(data + 1, size - 1, len);
    if (fuzz::digit_runs_at_most(text.data(), 9)) {
        char version[3] = {};
        int pid = 0;
        long long deadline = 0;
        int value = 0;
        int held = 0;
        char spare = 0;
        int n = sscanf(text.data(), "%2s %d %lld %d %d %c", version, &pid, &deadline, &value,
                       &held, &spare);
        bool prefix = len >= 3 && text[0] == 'v' && (text[1] == '1' || text[1] == '2') &&
                      text[2] == ' ';
        bool v2 = strcmp(version, "v2") == 0;
        bool ref_ok = len >= 1 && len <= MAX_TEXT && prefix && n == 5 && pid >= 1 &&
                      deadline_ok(static_cast<int64_t>(deadline), now) &&
                      (held == 0 || held == 1) && value_ok(v2, value);
        FUZZ_CHECK(ref_ok == (ok == 1));
        if (ok) {
            FUZZ_CHECK(out.pid == pid && out.deadline_ms == deadline && out.held == held);
            FUZZ_CHECK(out.is_v2 == (v2 ? 1 : 0));
            FUZZ_CHECK(v2 ? out.level == value : out.ratio_permille == value);
        }
    }
    return 0;
}
