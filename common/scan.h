// Field scanning for the one-line text records and requests. Each helper
// reads one conversion the way the C library's formatted scan does (leading
// white space skipped, words end at white space, a number is an optional
// sign and decimal digits), except that a number that does not fit its type
// is a failed conversion instead of a silently wrapped value.
//
// Every helper advances *p past what it consumed only on success and
// returns 1, or returns 0 and leaves *p alone. Input ends at the first NUL.
#pragma once
#include <stddef.h>
#include <stdint.h>

int scan_is_space(char c);
const char* scan_skip_space(const char* p);

// Up to width non-blank bytes into out (which holds width + 1 bytes).
int scan_word(const char** p, char* out, size_t width);
int scan_i32(const char** p, int32_t* out);
// Like scan_i32, but tells a number that is there and does not fit (-1,
// with *p moved past its digits, as the formatted scan consumes them) from
// no number at all (0). A request that carries such a number has the field
// and must fail as a whole; it must never read as if the field were absent.
int scan_i32_field(const char** p, int32_t* out);
int scan_i64(const char** p, int64_t* out);
int scan_u64(const char** p, uint64_t* out);
// Octal digits without a sign; values above 0xffffffff fail.
int scan_octal(const char** p, uint32_t* out);
// Any one byte after optional white space (the trailing " %c" probe).
int scan_char(const char** p, char* out);
