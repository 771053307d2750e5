// The client's lease writer on the device's files: it replaces a lease
// through a temporary file and clears the temporary files that cut-off
// writers left, never one that another writer is about to rename. The
// writer's own steps run in-process here, so that a clean-up can be put
// between a temporary file's creation and its lock.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/control/lease_file.h"
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

// Whether someone waits for the flock on the file st describes: a line
// "N: -> FLOCK ... MAJ:MIN:INODE ..." of the lock table.
bool lock_awaited(const struct stat& st) {
    char where[64];
    snprintf(where, sizeof where, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    std::string locks = read_file("/proc/locks").value_or("");
    for (size_t at = 0; at < locks.size();) {
        size_t end = locks.find('\n', at);
        if (end == std::string::npos) end = locks.size();
        std::string line = locks.substr(at, end - at);
        if (line.find("-> FLOCK") != std::string::npos && line.find(where) != std::string::npos) return true;
        at = end + 1;
    }
    return false;
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
    seam.unnamed_error = EOPNOTSUPP;
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

// Every way the writer can take holds its temporary file locked from
// before the file has a name until the rename, so another writer's
// clean-up just before the rename takes nothing: the unnamed file named
// through /proc, or by its descriptor where /proc is missing; a named file
// where the kernel or the file system has no unnamed files, or where
// naming the unnamed one is refused. What another way would not mend
// fails the write.
TEST_F(LeaseWriterTest, EveryWayHoldsItsFileUntilTheRename) {
    enum trouble { none, without_proc, file_too_large, lease_is_a_directory };
    struct way {
        const char* what;
        int unnamed_error;
        int naming_error;
        trouble also;
        int files_made;  // 0: the write fails
        int names_taken = 0;
    };
    const way ways[] = {
        {"unnamed, named through /proc", 0, 0, none, 1},
        {"unnamed, named by its descriptor without /proc", 0, 0, without_proc, 1},
        {"a file system without unnamed files", EOPNOTSUPP, 0, none, 1},
        {"a kernel older than unnamed files", EISDIR, 0, none, 1},
        {"naming the unnamed file denied", 0, EACCES, none, 2},
        {"every random name taken", 0, EEXIST, none, 0},
        {"the first random names taken", 0, 0, none, 1, 2},
        {"no temporary file allowed in the directory", EACCES, 0, none, 0},
        // What fails after a name exists leaves no file behind.
        {"a named file that cannot be written", EOPNOTSUPP, 0, file_too_large, 0},
        {"an unnamed file that cannot be written", 0, 0, file_too_large, 0},
        {"a rename that fails", 0, 0, lease_is_a_directory, 0},
        {"a named file's rename that fails", EOPNOTSUPP, 0, lease_is_a_directory, 0},
    };
    for (const way& w : ways) {
        ASSERT_TRUE(remove_tree(kMainPanelLease));
        if (w.also == lease_is_a_directory) {
            ASSERT_EQ(mkdir(kMainPanelLease, 0700), 0);
        }
        // In a child, whose own mount namespace may lose /proc and whose
        // files may be limited in size.
        int made = run_as(0, 0, [&] {
            if (w.also == without_proc && (unshare(CLONE_NEWNS) != 0 ||
                                           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                           mount("none", "/proc", "tmpfs", 0, nullptr) != 0))
                return 100;
            const struct rlimit tiny = {4, 4};
            if (w.also == file_too_large &&
                (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &tiny) != 0)) {
                return 101;
            }
            int created = 0;
            ctl::lease_write_seam seam;
            seam.unnamed_error = w.unnamed_error;
            seam.naming_error = w.naming_error;
            // Names taken for real, so that the link itself meets them.
            std::vector<std::string> taken;
            seam.before_naming = [&](const std::string& name) {
                if (static_cast<int>(taken.size()) >= w.names_taken) return;
                int fd = open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
                if (fd >= 0) close(fd);
                taken.push_back(name);
            };
            seam.after_create = [&] { ++created; };
            seam.before_rename = [] { ctl::remove_temporary_leftovers(kMainPanelLease); };
            std::string error;
            bool written = ctl::replace_lease_file(kMainPanelLease, kLine, &error, &seam);
            for (const std::string& name : taken) unlink(name.c_str());
            return written ? created : 0;
        });
        EXPECT_EQ(made, w.files_made) << w.what;
        if (w.also != lease_is_a_directory) {
            EXPECT_EQ(read_file(kMainPanelLease), w.files_made ? std::optional<std::string>(kLine) : std::nullopt)
                << w.what;
        }
        EXPECT_EQ(temporaries(), std::vector<std::string>{}) << w.what;
    }
    ASSERT_TRUE(remove_tree(kMainPanelLease));
}

// A clean-up locks a file before it looks at its name again, so it may
// hold a new named file's lock for an instant and leave the file alone:
// the writer waits for the lock rather than failing.
TEST_F(LeaseWriterTest, WithoutUnnamedFilesACleanUpsInstantOnTheLockIsWaitedOut) {
    int held = -1;
    std::thread release;
    ctl::lease_write_seam seam;
    seam.unnamed_error = EOPNOTSUPP;
    seam.after_create = [&] {
        std::vector<std::string> named = temporaries();
        if (held != -1 || named.size() != 1) return;
        held = open((LEASE_DIR "/" + named[0]).c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (held >= 0 && (flock(held, LOCK_EX) != 0 || fstat(held, &st) != 0)) {
            close(held);
            held = -2;
        }
        if (held < 0) return;
        // Let go once the writer waits for the lock, or after 10 s.
        release = std::thread([&held, st] {
            wait_until([&] { return lock_awaited(st); }, 10s);
            close(held);
        });
    };
    std::string error;
    bool written = ctl::replace_lease_file(kMainPanelLease, kLine, &error, &seam);
    if (release.joinable()) release.join();
    ASSERT_GE(held, 0);
    EXPECT_TRUE(written) << error;
    EXPECT_EQ(read_file(kMainPanelLease), kLine);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace sandbox
