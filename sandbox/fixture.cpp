// The GoogleTest fixture that puts every sandbox test into its own
// sandbox.
#include "sandbox/internal.h"
#include "sandbox/sandbox.h"

namespace sandbox {

void SandboxTest::SetUp() {
    std::string why;
    BuildResult result = build_sandbox(sandbox_options(), &why);
    if (result == BuildResult::ok) {
        built_ = true;
        return;
    }
    // Whatever was entered before the failure is left again at once, so a
    // skipped or failed test leaves the process as it found it.
    std::string leave_why;
    leave_sandbox(&leave_why);
    if (result == BuildResult::unavailable && !running_in_ci()) {
        GTEST_SKIP() << "sandbox unavailable here: " << why;
    }
    FAIL() << "cannot build the sandbox: " << why
           << (result == BuildResult::unavailable ? " (CI is set, so this is a failure)" : "");
}

void SandboxTest::TearDown() {
    if (!built_) return;
    built_ = false;
    // Daemons first, while the nodes they may hold open still answer.
    for (auto& d : daemons_) d->shutdown();
    for (auto& n : nodes_) n->stop();
    std::string why;
    bool ok = leave_sandbox(&why);
    daemons_.clear();
    nodes_.clear();
    EXPECT_TRUE(ok) << "leaving the sandbox: " << why;
}

FakeNode* SandboxTest::add_node(const FakeNodeOptions& options) {
    std::string error;
    auto node = FakeNode::create(options, &error);
    if (!node) {
        ADD_FAILURE() << "fake node " << options.name << ": " << error;
        return nullptr;
    }
    nodes_.push_back(std::move(node));
    return nodes_.back().get();
}

Daemon& SandboxTest::spawn_daemon(const std::vector<std::string>& args, const DaemonOptions& options) {
    daemons_.push_back(std::make_unique<Daemon>());
    Daemon& d = *daemons_.back();
    if (!d.start(args, options)) ADD_FAILURE() << "could not start the daemon";
    return d;
}

}  // namespace sandbox
