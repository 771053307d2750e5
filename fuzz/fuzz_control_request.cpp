// A control request line comes from any local process that can connect;
// the credentials are judged only after it has been scanned. The scan must
// always leave a fully written request whose strings end within their
// fields and whose count says how many fields the formatted scan
// "%15s %80s %d %c" would have converted.
//
// Input: the request bytes as received (at most 239; NUL ends them early).
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "fuzz/fuzz_common.h"
#include "mainpanel/control.h"

namespace {

bool all_zero_from(const char* p, size_t from, size_t size) {
    for (size_t i = from; i < size; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> line = fuzz::terminated_copy(data, size, REQUEST_SIZE - 1);

    control_request out;
    fuzz::fill_sentinel(&out);
    parse_control_request(line.data(), &out);

    FUZZ_CHECK(out.count >= 0 && out.count <= 4);
    size_t command_len = fuzz::bounded_strlen(out.command, sizeof out.command);
    size_t session_len = fuzz::bounded_strlen(out.session, sizeof out.session);
    FUZZ_CHECK(command_len <= COMMAND_WORD_MAX);
    FUZZ_CHECK(session_len <= SESSION_MAX);
    // Cleared before the scan: nothing of the sentinel survives.
    FUZZ_CHECK(all_zero_from(out.command, command_len, sizeof out.command));
    FUZZ_CHECK(all_zero_from(out.session, session_len, sizeof out.session));
    FUZZ_CHECK(!fuzz::has_space(out.command) && !fuzz::has_space(out.session));
    FUZZ_CHECK((out.count >= 1) == (command_len > 0));
    FUZZ_CHECK((out.count >= 2) == (session_len > 0));
    if (out.count < 3) FUZZ_CHECK(out.number == 0);

    if (out.number_overflow) FUZZ_CHECK(out.count >= 3 && out.number == 0);

    // Against the C library: the same fields and count always (a number
    // too large still counts as a field there), the same number unless it
    // would overflow.
    char command[COMMAND_WORD_MAX + 1] = {};
    char session[SESSION_SIZE] = {};
    int number = 0;
    char spare = 0;
    int n0 = -1, n1 = -1;
    int n = sscanf(line.data(), "%15s %80s %n%d%n %c", command, session, &n0, &number, &n1,
                   &spare);
    if (n < 0) n = 0;  // EOF: the line held nothing but white space
    bool comparable = true;
    if (n0 >= 0 && n1 >= 0) {
        int digits = n1 - n0 - ((line[n0] == '+' || line[n0] == '-') ? 1 : 0);
        comparable = digits <= 9;
    }
    FUZZ_CHECK(n == out.count);
    FUZZ_CHECK(strcmp(command, out.command) == 0);
    FUZZ_CHECK(strcmp(session, out.session) == 0);
    if (comparable) FUZZ_CHECK(number == out.number && !out.number_overflow);
    return 0;
}
