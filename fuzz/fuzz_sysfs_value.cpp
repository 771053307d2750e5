// Brightness texts come from sysfs nodes that drivers (and, for a planted
// node, anyone) fill. The parser must yield -1 or a value in 0..65535, and
// must agree with a plain restatement of the accepted grammar: strtoll's
// leading white space and sign, decimal digits, then only " \t\n\r".
//
// Input: the node's bytes as one read of at most 31 bytes returns them.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "fuzz/fuzz_common.h"
#include "node/node_value.h"
#include "process/protocol.h"

namespace {

struct reference_result {
    int value;      // -1 when refused
    bool overflow;  // the digits do not fit a signed 64-bit number
};

reference_result reference_parse(const char* s, size_t len) {
    reference_result r = {-1, false};
    if (len == 0 || len >= SYSFS_READ_SIZE) return r;
    size_t i = 0;
    while (i < len && fuzz::c_space(s[i])) ++i;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    size_t first_digit = i;
    uint64_t magnitude = 0;
    const uint64_t limit = negative ? UINT64_C(1) << 63 : static_cast<uint64_t>(INT64_MAX);
    while (i < len && s[i] >= '0' && s[i] <= '9') {
        uint64_t digit = static_cast<uint64_t>(s[i] - '0');
        if (!r.overflow && magnitude > (limit - digit) / 10) r.overflow = true;
        if (!r.overflow) magnitude = magnitude * 10 + digit;
        ++i;
    }
    if (i == first_digit) return r;  // nothing converted: not even an overflow
    while (i < len && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
    if (i != len || r.overflow) return r;
    if (negative && magnitude != 0) return r;
    if (magnitude > SYSFS_VALUE_MAX) return r;
    r.value = static_cast<int>(magnitude);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t len = size < SYSFS_READ_SIZE - 1 ? size : SYSFS_READ_SIZE - 1;
    // Exactly len bytes, unterminated: the parser terminates its own copy.
    std::vector<char> raw(data, data + len);
    const char* bytes = raw.empty() ? "" : raw.data();

    errno = EBADF;  // anything the parser does not set itself
    int value = parse_sysfs_value(bytes, len);
    int err = errno;
    FUZZ_CHECK(value >= -1 && value <= SYSFS_VALUE_MAX);

    reference_result ref = reference_parse(bytes, len);
    FUZZ_CHECK(value == ref.value);
    if (value == -1) FUZZ_CHECK(err == (ref.overflow ? ERANGE : 0));
    return 0;
}
