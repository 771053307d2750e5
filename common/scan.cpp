#include "common/scan.h"

int scan_is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* scan_skip_space(const char* p) {
    while (scan_is_space(*p)) ++p;
    return p;
}

int scan_word(const char** p, char* out, size_t width) {
    const char* s = scan_skip_space(*p);
    size_t n = 0;
    while (n < width && s[n] != '\0' && !scan_is_space(s[n])) {
        out[n] = s[n];
        ++n;
    }
    if (n == 0) return 0;
    out[n] = '\0';
    *p = s + n;
    return 1;
}

// Parses an optionally signed decimal number into [lo, hi].
static int scan_signed(const char** p, int64_t lo, int64_t hi, int64_t* out) {
    const char* s = scan_skip_space(*p);
    int negative = 0;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    if (*s < '0' || *s > '9') return 0;
    // Accumulate as a negative number so that INT64_MIN is representable.
    int64_t value = 0;
    while (*s >= '0' && *s <= '9') {
        int digit = *s - '0';
        if (value < (INT64_MIN + digit) / 10) return 0;
        value = value * 10 - digit;
        ++s;
    }
    if (!negative) {
        if (value == INT64_MIN) return 0;
        value = -value;
    }
    if (value < lo || value > hi) return 0;
    *out = value;
    *p = s;
    return 1;
}

int scan_i32(const char** p, int32_t* out) {
    int64_t v;
    if (!scan_signed(p, INT32_MIN, INT32_MAX, &v)) return 0;
    *out = static_cast<int32_t>(v);
    return 1;
}

int scan_i32_field(const char** p, int32_t* out) {
    if (scan_i32(p, out)) return 1;
    const char* s = scan_skip_space(*p);
    if (*s == '+' || *s == '-') ++s;
    if (*s < '0' || *s > '9') return 0;
    while (*s >= '0' && *s <= '9') ++s;
    *p = s;
    return -1;
}

int scan_i64(const char** p, int64_t* out) {
    return scan_signed(p, INT64_MIN, INT64_MAX, out);
}

static int scan_unsigned(const char** p, unsigned base, uint64_t max, uint64_t* out) {
    const char* s = scan_skip_space(*p);
    if (*s == '+') ++s;
    unsigned digit = static_cast<unsigned char>(*s) - '0';
    if (digit >= base) return 0;
    uint64_t value = 0;
    while ((digit = static_cast<unsigned char>(*s) - '0') < base) {
        if (value > (max - digit) / base) return 0;
        value = value * base + digit;
        ++s;
    }
    *out = value;
    *p = s;
    return 1;
}

int scan_u64(const char** p, uint64_t* out) {
    return scan_unsigned(p, 10, UINT64_MAX, out);
}

int scan_octal(const char** p, uint32_t* out) {
    uint64_t v;
    if (!scan_unsigned(p, 8, UINT32_MAX, &v)) return 0;
    *out = static_cast<uint32_t>(v);
    return 1;
}

int scan_char(const char** p, char* out) {
    const char* s = scan_skip_space(*p);
    if (*s == '\0') return 0;
    *out = *s;
    *p = s + 1;
    return 1;
}
