// The client's lease writer on the device's files: it replaces a lease
// through a temporary file and clears the temporary files that cut-off
// writers left, never one that another writer is about to rename. The
// writer's own steps run in-process here, so that a clean-up can be put
// between a temporary file's creation and its lock.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/ctl.h"
#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const std::string kTmpPrefix = "." MAIN_PANEL_LEASE_NAME ".";
const std::string kLine = "s1 4242 999999 1 120\n";

// The lease's temporary files in /data/system.
std::vector<std::string> temporaries() {
    std::vector<std::string> out;
    DIR* d = opendir(LEASE_DIR);
    if (d == nullptr) return out;
    while (struct dirent* e = readdir(d)) {
        if (std::string(e->d_name).rfind(kTmpPrefix, 0) == 0) out.push_back(e->d_name);
    }
    closedir(d);
    return out;
}

class LeaseWriterTest : public SandboxTest {};

// A lease writer cut off before its rename leaves its temporary file in
// /data/system; the next writer removes those of its own lease and its own
// making, and nothing else: not another user's, not through a link, not
// another lease's, not a name of another form, not one a writer at work
// holds locked.
TEST_F(LeaseWriterTest, RemovesItsOwnLeftoversOnly) {
    const std::string tmp = LEASE_DIR "/" + kTmpPrefix;
    struct Entry {
        std::string path;
        uid_t owner;
        bool removed;
    };
    const std::vector<Entry> plain = {
        {tmp + "aB3dE9", 0, true},           // root's, before the hand-over
        {tmp + "Zz0yX1", kSystemUid, true},  // handed over, not yet renamed
        {tmp + "other2", 2000, false},
        {tmp + "toolong", 0, false},
        {tmp + "short", 0, false},
        {tmp + "ab.c_1", 0, false},          // six characters, not all letters or digits
        {tmp + "aB3dE-", 0, false},
        {LEASE_DIR "/." OUTDOOR_LEASE_NAME ".aB3dE9", 0, false},
    };
    for (const Entry& e : plain) {
        ASSERT_TRUE(write_file(e.path, "s0 1 2 1 3\n", 0600)) << e.path;
        ASSERT_EQ(chown(e.path.c_str(), e.owner, e.owner), 0) << e.path;
    }
    ASSERT_TRUE(write_file(LEASE_DIR "/target", "kept\n", 0600));
    ASSERT_EQ(symlink(LEASE_DIR "/target", (tmp + "link00").c_str()), 0);
    ASSERT_TRUE(mkdir_p(tmp + "dir000"));
    ASSERT_TRUE(write_file(tmp + "locked", "", 0600));
    int held = open((tmp + "locked").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    ProgramResult r = run_program({client_binary(), "lease", "s1", "120"});
    close(held);
    EXPECT_EQ(r.code, 0) << r;
    EXPECT_TRUE(path_exists(kMainPanelLease));
    for (const Entry& e : plain) EXPECT_EQ(path_exists(e.path), !e.removed) << e.path;
    for (const char* kept : {"link00", "dir000", "locked"}) EXPECT_TRUE(path_exists(tmp + kept)) << kept;
    EXPECT_EQ(read_file(LEASE_DIR "/target"), "kept\n");
}

// Another writer's clean-up between the temporary file's creation and its
// lock finds no name to take: the file has none until it is locked and
// whole.
TEST_F(LeaseWriterTest, ACleanUpBeforeTheLockFindsNothingToTake) {
    std::vector<std::string> seen = {"(the clean-up did not run)"};
    ctl::lease_write_seam seam;
    seam.after_create = [&] {
        seen = temporaries();
        ctl::remove_temporary_leftovers(kMainPanelLease);
    };
    std::string error;
    ASSERT_TRUE(ctl::replace_lease_file(kMainPanelLease, kLine, &error, &seam)) << error;
    EXPECT_EQ(seen, std::vector<std::string>{});
    EXPECT_EQ(read_file(kMainPanelLease), kLine);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
    auto st = stat_path(kMainPanelLease);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->st_uid, kSystemUid);
    EXPECT_EQ(st->st_mode & 07777, 0600u);
}

// Where the file system cannot make unnamed files the temporary file has a
// name before its lock, and a clean-up in between removes it: the writer
// sees that the name no longer leads to the file it locked and makes
// another.
TEST_F(LeaseWriterTest, WithoutUnnamedFilesAFileTakenBeforeTheLockIsMadeAgain) {
    int created = 0;
    std::vector<std::string> before_cleanup, after_cleanup;
    ctl::lease_write_seam seam;
    seam.named_only = true;
    seam.after_create = [&] {
        if (++created > 1) return;
        before_cleanup = temporaries();
        ctl::remove_temporary_leftovers(kMainPanelLease);
        after_cleanup = temporaries();
    };
    std::string error;
    ASSERT_TRUE(ctl::replace_lease_file(kMainPanelLease, kLine, &error, &seam)) << error;
    EXPECT_EQ(before_cleanup.size(), 1u);
    EXPECT_EQ(after_cleanup, std::vector<std::string>{}) << "the clean-up took the unlocked file";
    EXPECT_EQ(created, 2);
    EXPECT_EQ(read_file(kMainPanelLease), kLine);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace sandbox
