// Shared pieces of the fuzz targets: the entry point's declaration, the
// invariant check that stops the run, and small helpers for feeding the
// parsers exactly the buffers the daemon hands them.
#pragma once
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// A broken invariant is a finding: say which one and abort, so that both
// libFuzzer and the replay driver stop on it with the input kept.
#define FUZZ_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                     \
        }                                                                                \
    } while (0)

namespace fuzz {

// The byte written over an output record before a parse, so that a parse
// that reports failure can be shown to have left the record alone.
constexpr unsigned char kSentinel = 0xA5;

template <typename T>
void fill_sentinel(T* obj) {
    memset(static_cast<void*>(obj), kSentinel, sizeof *obj);
}

template <typename T>
bool is_sentinel(const T* obj) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(obj);
    for (size_t i = 0; i < sizeof *obj; ++i) {
        if (p[i] != kSentinel) return false;
    }
    return true;
}

// The first `cap` bytes of the input followed by a NUL, in a heap block of
// exactly that size so that AddressSanitizer sees any read past the end.
// The daemon reads its records into cleared buffers with one read of at
// most cap bytes, so this is the text a parser can receive from a file.
inline std::vector<char> terminated_copy(const uint8_t* data, size_t size, size_t cap) {
    size_t n = size < cap ? size : cap;
    std::vector<char> text(n + 1);
    if (n > 0) memcpy(text.data(), data, n);
    text[n] = '\0';
    return text;
}

// The length of the first NUL-terminated string in buf, which must hold a
// NUL within size bytes; SIZE_MAX when it does not.
inline size_t bounded_strlen(const char* buf, size_t size) {
    const void* nul = memchr(buf, '\0', size);
    return nul == nullptr ? SIZE_MAX : static_cast<size_t>(static_cast<const char*>(nul) - buf);
}

// White space as the C library's formatted scan knows it in the C locale.
inline bool c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool has_space(const char* s) {
    for (; *s; ++s) {
        if (c_space(*s)) return true;
    }
    return false;
}

// True when every run of decimal digits before the first NUL is at most
// max_run long. The daemon's scanner refuses numbers that do not fit their
// field where the C library would wrap or saturate them; comparing the two
// only makes sense when every number fits.
inline bool digit_runs_at_most(const char* s, size_t max_run) {
    size_t run = 0;
    for (; *s; ++s) {
        if (*s >= '0' && *s <= '9') {
            if (++run > max_run) return false;
        } else {
            run = 0;
        }
    }
    return true;
}

// The kernel's boot identity form: 36 characters, hex digits with dashes
// at 8, 13, 18 and 23.
inline bool boot_id_form(const char* s, size_t len) {
    if (len != 36) return false;
    for (size_t i = 0; i < len; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// Picks one entry of a small table from a selector byte, so the corpus
// files stay readable text after one or two leading selector characters.
template <typename T, size_t N>
T pick(const T (&table)[N], uint8_t selector) {
    return table[selector % N];
}

}  // namespace fuzz
