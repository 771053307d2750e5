#include "process/environment.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "process/state.h"

namespace {

int parse(const std::string& text, char* out) {
    return parse_boot_identity(text.data(), text.size(), out);
}

TEST(BootIdentity, AcceptsTheKernelFormsAndKeepsCase) {
    char out[BOOT_ID_SIZE];
    ASSERT_EQ(parse("c3bde2ad-573b-4d21-b999-7b540b6bb5c5\n", out), 0);
    EXPECT_STREQ(out, "c3bde2ad-573b-4d21-b999-7b540b6bb5c5");
    ASSERT_EQ(parse("C3BDE2AD-573B-4D21-B999-7B540B6BB5C5\r\n\n\r", out), 0);
    EXPECT_STREQ(out, "C3BDE2AD-573B-4D21-B999-7B540B6BB5C5");
}

TEST(BootIdentity, RefusesOtherShapesWithEinval) {
    for (const std::string& text :
         {std::string("c3bde2ad-573b-4d21-b999-7b540b6bb5c5a"),
          std::string("c3bde2ad5-73b-4d21-b999-7b540b6bb5c5"),
          std::string("c3bde2ad-573b-4d21-b999-7b540b6bb5cg"),
          std::string("c3bde2ad-573b-4d21-b999-7b540b6bb5c5 "), std::string(""),
          std::string("\n"), std::string(36, '-')}) {
        char out[BOOT_ID_SIZE] = "untouched";
        errno = 0;
        EXPECT_EQ(parse(text, out), -1) << text;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_STREQ(out, "untouched");
    }
}

}  // namespace
