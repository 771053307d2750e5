// The boot identity ties a permission record to the boot that wrote it; a
// record of another boot is deleted without touching the node. The parser
// must accept exactly the kernel's 36-character form (trailing line ends
// aside), keep its case, and never write past the 40-byte field.
//
// Input: the file's bytes as one read of at most 39 bytes returns them.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "process/environment.h"
#include "process/state.h"
#include "fuzz/fuzz_common.h"

namespace {

bool reference_accepts(const char* s, size_t len) {
    while (len > 0 && (s[len - 1] == '\n' || s[len - 1] == '\r')) --len;
    return fuzz::boot_id_form(s, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t len = size < size_t{BOOT_ID_READ_MAX} ? size : size_t{BOOT_ID_READ_MAX};
    std::vector<char> raw(data, data + len);
    const char* bytes = raw.empty() ? "" : raw.data();

    struct {
        char id[BOOT_ID_SIZE];
    } out;
    fuzz::fill_sentinel(&out);
    errno = 0;
    int rc = parse_boot_identity(bytes, len, out.id);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK((rc == 0) == reference_accepts(bytes, len));

    if (rc != 0) {
        FUZZ_CHECK(errno == EINVAL);
        FUZZ_CHECK(fuzz::is_sentinel(&out));
        return 0;
    }
    FUZZ_CHECK(strnlen(out.id, sizeof out.id) == BOOT_ID_LENGTH);
    FUZZ_CHECK(memcmp(out.id, bytes, BOOT_ID_LENGTH) == 0);  // stored as read, case kept
    for (size_t i = BOOT_ID_LENGTH; i < len; ++i) {
        FUZZ_CHECK(bytes[i] == '\n' || bytes[i] == '\r');
    }
    // Only the text and its terminator are written.
    for (size_t i = BOOT_ID_LENGTH + 1; i < sizeof out.id; ++i) {
        FUZZ_CHECK(static_cast<unsigned char>(out.id[i]) == fuzz::kSentinel);
    }
    return 0;
}
