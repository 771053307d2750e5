// The field scanners under every record parser. Each one must either
// convert exactly what the formatted scan would (with a number that does
// not fit its type refused instead of wrapped) and advance past it, or
// fail and leave both the position and the output alone.
//
// Input: first byte picks a word width, the rest is the text (at most 255
// bytes; NUL ends it early). Every scanner runs on the same text.
#include <stdint.h>
#include <string.h>

#include "common/scan.h"
#include "fuzz/fuzz_common.h"

namespace {

struct reference_number {
    bool ok;
    bool negative;
    uint64_t magnitude;
    const char* end;
};

// Optional white space, an optional sign (a minus only when allowed), then
// at least one digit of base; ok when the magnitude fits the limit of its
// sign.
reference_number reference_scan(const char* p, unsigned base, bool allow_minus,
                                 uint64_t max_positive, uint64_t max_negative) {
    reference_number r = {false, false, 0, p};
    const char* s = p;
    while (fuzz::c_space(*s)) ++s;
    if (*s == '+' || (allow_minus && *s == '-')) {
        r.negative = *s == '-';
        ++s;
    }
    uint64_t limit = r.negative ? max_negative : max_positive;
    const char* first = s;
    bool overflow = false;
    while (static_cast<unsigned>(static_cast<unsigned char>(*s) - '0') < base) {
        uint64_t digit = static_cast<uint64_t>(*s - '0');
        if (!overflow && r.magnitude > (limit - digit) / base) overflow = true;
        if (!overflow) r.magnitude = r.magnitude * base + digit;
        ++s;
    }
    if (s == first || overflow) return r;
    r.ok = true;
    r.end = s;
    return r;
}

int64_t signed_value(const reference_number& r) {
    if (!r.negative) return static_cast<int64_t>(r.magnitude);
    if (r.magnitude == UINT64_C(1) << 63) return INT64_MIN;
    return -static_cast<int64_t>(r.magnitude);
}

void check_signed_32(const char* text) {
    const char* p = text;
    int32_t out = 0x5a5a5a5a;
    int ok = scan_i32(&p, &out);
    reference_number r =
        reference_scan(text, 10, true, static_cast<uint64_t>(INT32_MAX), UINT64_C(1) << 31);
    FUZZ_CHECK(ok == (r.ok ? 1 : 0));
    if (ok) {
        FUZZ_CHECK(p == r.end && out == signed_value(r));
    } else {
        FUZZ_CHECK(p == text && out == 0x5a5a5a5a);
    }
}

void check_signed_64(const char* text) {
    const char* p = text;
    int64_t out = 0x5a5a5a5a;
    int ok = scan_i64(&p, &out);
    reference_number r =
        reference_scan(text, 10, true, static_cast<uint64_t>(INT64_MAX), UINT64_C(1) << 63);
    FUZZ_CHECK(ok == (r.ok ? 1 : 0));
    if (ok) {
        FUZZ_CHECK(p == r.end && out == signed_value(r));
    } else {
        FUZZ_CHECK(p == text && out == 0x5a5a5a5a);
    }
}

void check_unsigned(const char* text, unsigned base) {
    const char* p = text;
    int ok;
    uint64_t value;
    uint64_t max;
    if (base == 10) {
        uint64_t out = 0x5a5a5a5a;
        ok = scan_u64(&p, &out);
        value = out;
        max = UINT64_MAX;
    } else {
        uint32_t out = 0x5a5a5a5a;
        ok = scan_octal(&p, &out);
        value = out;
        max = UINT32_MAX;
    }
    reference_number r = reference_scan(text, base, false, max, 0);
    FUZZ_CHECK(ok == (r.ok ? 1 : 0));
    if (ok) {
        FUZZ_CHECK(p == r.end && value == r.magnitude);
    } else {
        FUZZ_CHECK(p == text && value == 0x5a5a5a5a);
    }
}

void check_word(const char* text, size_t width) {
    const char* p = text;
    char out[257];
    memset(out, fuzz::kSentinel, sizeof out);
    int ok = scan_word(&p, out, width);
    const char* start = text;
    while (fuzz::c_space(*start)) ++start;
    size_t n = 0;
    while (n < width && start[n] != '\0' && !fuzz::c_space(start[n])) ++n;
    FUZZ_CHECK(ok == (n > 0 ? 1 : 0));
    if (ok) {
        FUZZ_CHECK(p == start + n);
        FUZZ_CHECK(memcmp(out, start, n) == 0 && out[n] == '\0');
        for (size_t i = n + 1; i < sizeof out; ++i) {
            FUZZ_CHECK(static_cast<unsigned char>(out[i]) == fuzz::kSentinel);
        }
    } else {
        FUZZ_CHECK(p == text);
        for (size_t i = 0; i < sizeof out; ++i) {
            FUZZ_CHECK(static_cast<unsigned char>(out[i]) == fuzz::kSentinel);
        }
    }
}

void check_char(const char* text) {
    const char* p = text;
    char out = 0x5a;
    int ok = scan_char(&p, &out);
    const char* start = text;
    while (fuzz::c_space(*start)) ++start;
    FUZZ_CHECK(scan_skip_space(text) == start);
    FUZZ_CHECK(ok == (*start != '\0' ? 1 : 0));
    if (ok) {
        FUZZ_CHECK(p == start + 1 && out == *start);
    } else {
        FUZZ_CHECK(p == text && out == 0x5a);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t widths[] = {1, 2, 15, 39, 80, 255};
    size_t width = fuzz::pick(widths, data[0]);
    std::vector<char> text = fuzz::terminated_copy(data + 1, size - 1, 255);

    for (size_t i = 0; i < text.size(); ++i) {
        FUZZ_CHECK((scan_is_space(text[i]) != 0) == fuzz::c_space(text[i]));
    }
    check_word(text.data(), width);
    check_signed_32(text.data());
    check_signed_64(text.data());
    check_unsigned(text.data(), 10);
    check_unsigned(text.data(), 8);
    check_char(text.data());
    return 0;
}
