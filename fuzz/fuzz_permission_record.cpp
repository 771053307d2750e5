// The permission record decides which node root chmods at start-up, so a
// record the parser accepts must name an allowed node, carry a boot
// identity of the right form and a mode below 01000, and survive being
// written back and read again unchanged. Both the version 2 layout and the
// legacy single octal number are covered.
//
// Input: the record text as the daemon reads it (at most 1199 bytes).
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "fuzz/fuzz_common.h"
#include "node/node_policy.h"
#include "node/permission_record.h"

namespace {

const char kBootId[] = "c3bde2ad-573b-4d21-b999-7b540b6bb5c5";
const char kCanonical[] = "/sys/devices/platform/soc/panel0/backlight/panel0-backlight/brightness";

bool boot_id_form(const char* s) { return fuzz::boot_id_form(s, strlen(s)); }

bool all_zero(const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

bool same_record(const permission_record& a, const permission_record& b) {
    return a.mode == b.mode && a.dev == b.dev && a.ino == b.ino && a.legacy == b.legacy &&
           memcmp(a.boot_id, b.boot_id, sizeof a.boot_id) == 0 &&
           memcmp(a.node_path, b.node_path, sizeof a.node_path) == 0 &&
           memcmp(a.canonical_path, b.canonical_path, sizeof a.canonical_path) == 0;
}

// Writes rec in the version 2 format and reads it back: the daemon's own
// record must always be one it accepts again after a crash.
void check_round_trip(const permission_record& rec) {
    char buf[PERMISSION_RECORD_SIZE];
    int n = format_permission_record(&rec, buf, sizeof buf);
    FUZZ_CHECK(n >= 1 && n <= PERMISSION_RECORD_SIZE - 1);
    FUZZ_CHECK(static_cast<size_t>(n) == strlen(buf));
    permission_record again;
    fuzz::fill_sentinel(&again);
    FUZZ_CHECK(parse_permission_record(buf, &again) == 0);
    FUZZ_CHECK(same_record(rec, again));
    // A buffer one byte too short must be refused, not truncated.
    FUZZ_CHECK(format_permission_record(&rec, buf, static_cast<size_t>(n)) == -1);
}

void check_accepted(const char* text, const permission_record& rec) {
    FUZZ_CHECK(rec.mode < 01000);
    FUZZ_CHECK(fuzz::bounded_strlen(rec.boot_id, sizeof rec.boot_id) != SIZE_MAX);
    FUZZ_CHECK(fuzz::bounded_strlen(rec.node_path, sizeof rec.node_path) != SIZE_MAX);
    FUZZ_CHECK(fuzz::bounded_strlen(rec.canonical_path, sizeof rec.canonical_path) != SIZE_MAX);
    FUZZ_CHECK(node_path_allowed(rec.node_path) == 1);
    if (rec.legacy) {
        FUZZ_CHECK(rec.legacy == 1);
        FUZZ_CHECK(strncmp(text, "v2\n", 3) != 0);
        FUZZ_CHECK(rec.dev == 0 && rec.ino == 0);
        FUZZ_CHECK(all_zero(rec.boot_id, sizeof rec.boot_id));
        FUZZ_CHECK(all_zero(rec.canonical_path, sizeof rec.canonical_path));
        FUZZ_CHECK(strcmp(rec.node_path, LEGACY_NODE_PATH) == 0);

        // Its bits carried over into a version 2 record of this boot.
        permission_record v2 = rec;
        v2.legacy = 0;
        v2.dev = 0xfd01;
        v2.ino = 4242;
        memcpy(v2.boot_id, kBootId, sizeof kBootId);
        memcpy(v2.canonical_path, kCanonical, sizeof kCanonical);
        check_round_trip(v2);
    } else {
        FUZZ_CHECK(rec.legacy == 0);
        FUZZ_CHECK(strncmp(text, "v2\n", 3) == 0);
        FUZZ_CHECK(boot_id_form(rec.boot_id));
        FUZZ_CHECK(strncmp(rec.canonical_path, "/sys/devices/", 13) == 0);
        FUZZ_CHECK(!fuzz::has_space(rec.node_path) && !fuzz::has_space(rec.canonical_path));
        check_round_trip(rec);
    }
}

// A number token the C library would read differently from the daemon's
// stricter scanner: a minus sign (wrapped into a huge unsigned value) or
// more digits than the field can hold (truncated or saturated).
bool scan_would_differ(const char* text, int start, int end, int max_digits) {
    if (start < 0 || end < 0) return false;
    if (text[start] == '-') return true;
    int digits = end - start - ((text[start] == '+') ? 1 : 0);
    return digits > max_digits;
}

// The record as the C library's formatted scan reads it, with the limits
// the daemon applies afterwards; false where the two readings would
// legitimately part ways.
bool reference_parse(const char* text, permission_record* ref, bool* comparable) {
    *comparable = true;
    *ref = permission_record{};
    char spare = 0;
    unsigned int mode = 0;
    int m0 = -1, m1 = -1;
    if (strncmp(text, "v2\n", 3) == 0) {
        unsigned long long dev = 0, ino = 0;
        int d0 = -1, d1 = -1, i0 = -1, i1 = -1;
        int n = sscanf(text, "v2 %n%o%n %n%llu%n %n%llu%n %39s %255s %767s %c", &m0, &mode, &m1,
                       &d0, &dev, &d1, &i0, &ino, &i1, ref->boot_id, ref->node_path,
                       ref->canonical_path, &spare);
        if (scan_would_differ(text, m0, m1, 10) || scan_would_differ(text, d0, d1, 19) ||
            scan_would_differ(text, i0, i1, 19)) {
            *comparable = false;
            return false;
        }
        ref->mode = mode;
        ref->dev = dev;
        ref->ino = ino;
        return n == 6 && mode < 01000 && boot_id_form(ref->boot_id) &&
               node_path_allowed(ref->node_path) &&
               strncmp(ref->canonical_path, "/sys/devices/", 13) == 0;
    }
    int n = sscanf(text, " %n%o%n %c", &m0, &mode, &m1, &spare);
    if (scan_would_differ(text, m0, m1, 10)) {
        *comparable = false;
        return false;
    }
    ref->mode = mode;
    ref->legacy = 1;
    snprintf(ref->node_path, sizeof ref->node_path, "%s", LEGACY_NODE_PATH);
    return n == 1 && mode < 01000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text = fuzz::terminated_copy(data, size, PERMISSION_RECORD_SIZE - 1);

    permission_record out;
    fuzz::fill_sentinel(&out);
    errno = 0;
    int rc = parse_permission_record(text.data(), &out);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(errno == EINVAL);
        FUZZ_CHECK(fuzz::is_sentinel(&out));
    } else {
        check_accepted(text.data(), out);
    }

    permission_record ref;
    bool comparable = false;
    bool ref_ok = reference_parse(text.data(), &ref, &comparable);
    if (comparable) {
        FUZZ_CHECK(ref_ok == (rc == 0));
        if (rc == 0) FUZZ_CHECK(same_record(ref, out));
    }
    return 0;
}
