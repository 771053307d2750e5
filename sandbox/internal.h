// Pieces shared by the sandbox's own source files; tests do not use them.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

namespace sandbox {

class Daemon;
class FakeNode;

namespace detail {

// Every long-lived child (daemon, stand-in process, FUSE server) is
// registered here, so teardown can kill and reap all of them. Children are
// only ever reaped by pid, never with waitpid(-1), so that helpers that
// wait for their own short-lived children are not robbed.
void register_child(pid_t pid);
// The decoded exit status (code, or 128 + signal) once the child has
// ended, waiting up to timeout; nullopt while it still runs.
std::optional<int> reap_child(pid_t pid, std::chrono::milliseconds timeout);
void kill_and_reap_all_children(std::chrono::milliseconds timeout);
// Kills and reaps the unregistered children: orphans of programs run with
// run_program, reparented to the test process, and theirs in turn.
void kill_orphans();

void register_daemon(Daemon* d);
void unregister_daemon(Daemon* d);
void register_node(FakeNode* n);
void unregister_node(FakeNode* n);
// Teardown order: daemons first (they hold node descriptors), then the
// remaining children, then the FUSE servers and their mounts.
void shutdown_all_daemons();
void stop_all_nodes();

int decode_wait_status(int status);

// setgroups(0) + setresgid + setresuid; 0 or -1.
int drop_privileges(uid_t uid, gid_t gid);
// Writes all of content to fd; 0, or the errno of the write that failed.
int write_all(int fd, const std::string& content);

}  // namespace detail
}  // namespace sandbox
