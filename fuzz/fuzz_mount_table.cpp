// The mount table decides whether a permission record may be dropped: a
// line the parser misreads could hide a bind mount over the node. Every
// accepted head must point inside its line with a root and a mount point
// (a path, starting with '/') that end before a blank; a refused one leaves the record alone; and the
// walk over any table ends with a mount on the path or an error, never
// with a mount whose point is not on the path.
//
// Input: a mount table's text; the path walked to is the first line, the
// rest is the table.
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "common/mount_table.h"
#include "fuzz/fuzz_common.h"

namespace {

void check_head(const char* line, size_t len) {
    mountinfo_head head;
    fuzz::fill_sentinel(&head);
    errno = 0;
    int rc = parse_mountinfo_head(line, len, &head);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(errno == EINVAL);
        FUZZ_CHECK(fuzz::is_sentinel(&head));
        return;
    }
    for (auto [p, n] : {std::pair{head.root, head.root_len}, std::pair{head.mount_point, head.mount_point_len}}) {
        FUZZ_CHECK(n >= 1 && p >= line && p + n < line + len);
        FUZZ_CHECK(p[n] == ' ');
        FUZZ_CHECK(memchr(p, ' ', n) == nullptr);
    }
    FUZZ_CHECK(head.mount_point[0] == '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t first = text.find('\n');
    std::string path = text.substr(0, first == std::string::npos ? text.size() : first);
    path = path.c_str();  // up to a NUL, as a C string would be
    mount_walk walk;
    mount_walk_start(&walk, path.c_str());
    size_t at = first == std::string::npos ? text.size() : first + 1;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        // Each line in a block of its own size, so a read past it is seen.
        std::string line = text.substr(at, end - at);
        check_head(line.data(), line.size());
        mount_walk_add_line(&walk, line.data(), line.size());
        at = end + 1;
    }
    mount_step on;
    fuzz::fill_sentinel(&on);
    errno = 0;
    int rc = mount_walk_result(&walk, &on);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(errno == EINVAL || errno == E2BIG || errno == ENOENT || errno == EEXIST);
        FUZZ_CHECK(fuzz::is_sentinel(&on));
        return 0;
    }
    FUZZ_CHECK(on.mount_point_len >= 1 && on.mount_point_len <= path.size());
    FUZZ_CHECK(on.whole_fs == 0 || on.whole_fs == 1);
    FUZZ_CHECK(on.mount_point_len == 1 || path[on.mount_point_len] == '/' || on.mount_point_len == path.size());
    return 0;
}
