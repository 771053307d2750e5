// The module's web page (webroot/) in a real browser: Debian's headless
// Chromium driven by playwright-core (tests/page/page.test.mjs), against the
// real client, the real daemon and a fake node in the sandbox.
//
// The test lays out the installed module as the package has it after an
// install (/data/adb/modules/veltaris with the host-built binaries in bin/,
// webroot/, the scripts and module.prop), then runs the browser test as a
// child: it inherits the sandbox's namespaces, so what it runs sees the
// sandbox's /data, /sys and control socket. Its stand-in of the managers'
// bridge runs every command the page hands it with `sh -c`, for real.
//
// The browser test asks this process, through files in /sandbox/page/ctl,
// for what only the fake node's owner can do (a node that refuses opens,
// a panel that reads 0): it writes the word into `request` and waits until
// `request` is gone and `answer` holds the result.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"

namespace sandbox {
namespace {

const char* const kModule = "/data/adb/modules/veltaris";
const char* const kWork = "/sandbox/page";
const char* const kCtlDir = "/sandbox/page/ctl";
// Under the busy CI machine the whole browser run takes well under a minute.
constexpr auto kBrowserTimeout = std::chrono::seconds(240);

std::string chromium() {
    const char* env = getenv("VELTARIS_CHROMIUM");
    return env && *env ? env : "/usr/lib/chromium/chromium";
}

bool copy_file(const std::string& from, const std::string& to, mode_t mode) {
    auto content = read_file(from);
    return content && write_file(to, *content, mode);
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether process pid has ended (a zombie not yet reaped, or gone).
bool ended(pid_t pid) {
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    size_t paren = stat->rfind(')');
    return paren == std::string::npos || paren + 2 >= stat->size() || (*stat)[paren + 2] == 'Z';
}

class PageTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string missing;
        if (access(chromium().c_str(), X_OK) != 0)
            missing = chromium() + " is missing (apt-get install chromium; scripts/deps.sh does it in scripts/test.sh)";
        else if (!path_exists(VELTARIS_PAGE_TEST_DIR "/node_modules/playwright-core/package.json"))
            missing = "playwright-core is missing (npm ci --prefix tests/page; scripts/test.sh does it)";
        if (!missing.empty()) {
            if (running_in_ci()) FAIL() << missing;
            GTEST_SKIP() << missing;
        }
    }

    // The module folder as an install leaves it, with the host's builds.
    void install_module() {
        std::string bin = std::string(kModule) + "/bin/";
        ASSERT_TRUE(mkdir_p(bin, 0755) && mkdir_p(std::string(kModule) + "/webroot", 0755));
        ASSERT_TRUE(copy_file(daemon_binary(), bin + "veltarisd", 0755)) << daemon_binary();
        ASSERT_TRUE(copy_file(client_binary(), bin + "veltarisctl", 0755)) << client_binary();
        for (const char* script : {"service.sh", "uninstall.sh", "action.sh", "veltaris-lib.sh", "customize.sh"})
            ASSERT_TRUE(copy_file(std::string(VELTARIS_PACKAGE_SOURCE_DIR "/") + script,
                                  std::string(kModule) + "/" + script, 0755))
                << script;
        for (const char* file : {"index.html", "page.js", "page.css"})
            ASSERT_TRUE(copy_file(std::string(VELTARIS_WEBROOT_DIR "/") + file,
                                  std::string(kModule) + "/webroot/" + file, 0644))
                << file;
        ASSERT_TRUE(write_file(std::string(kModule) + "/module.prop",
                               "id=veltaris\nname=Veltaris\nversion=test\nversionCode=1\nauthor=test\n"
                               "description=page test\n"));
    }

    // Serves one request of the browser test, if one is waiting.
    void serve_control(FakeNode* node) {
        std::string request_path = std::string(kCtlDir) + "/request";
        auto request = read_file(request_path);
        if (!request) return;
        std::string word = request->substr(0, request->find('\n'));
        std::string answer = "ok";
        if (word == "node-refuses-opens") {
            node->fail_opens(EACCES);
        } else if (word == "node-opens") {
            node->fail_opens(0);
        } else if (word == "screen-off") {
            node->force_zero(true);
        } else if (word == "screen-on") {
            node->force_zero(false);
        } else {
            answer = "unknown request: " + word;
        }
        write_file(std::string(kCtlDir) + "/answer", answer + "\n");
        unlink(request_path.c_str());
    }
};

TEST_F(PageTest, BrowserScenarios) {
    FakeNodeOptions main_panel;
    main_panel.value = 100;
    main_panel.maximum = 255;
    FakeNode* node = add_node(main_panel);
    ASSERT_NE(node, nullptr);
    // A second candidate for the outdoor node: an LED panel, which probe
    // passes over while a backlight panel is there.
    FakeNodeOptions led;
    led.name = "lcd-backlight";
    led.device_class = "leds";
    led.value = 40;
    led.maximum = 255;
    ASSERT_NE(add_node(led), nullptr);
    ASSERT_NO_FATAL_FAILURE(install_module());
    ASSERT_TRUE(mkdir_p(kCtlDir, 0755));

    std::string out = std::string(kWork) + "/browser.out";
    ProgramOptions options;
    options.env = {"VELTARIS_CHROMIUM=" + chromium(),
                   "VELTARIS_NODE_PATH=" + std::string(kNodePath),
                   "VELTARIS_CTL_DIR=" + std::string(kCtlDir),
                   "VELTARIS_PAGE_OUT=" VELTARIS_PAGE_OUT_DIR,
                   "VELTARIS_DENY_CONNECT=" VELTARIS_DENY_CONNECT,
                   "VELTARIS_WEBROOT=" + std::string(kModule) + "/webroot"};
    std::string why;
    // Its output goes to a file the test prints at the end.
    pid_t pid = start_program({"sh", "-c", "exec node \"$0\" >\"$1\" 2>&1", VELTARIS_PAGE_TEST_DIR "/page.test.mjs",
                               out},
                              options, &why);
    ASSERT_GT(pid, 0) << why;
    auto deadline = std::chrono::steady_clock::now() + kBrowserTimeout;
    while (!ended(pid) && std::chrono::steady_clock::now() < deadline) {
        serve_control(node);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bool in_time = ended(pid);
    int code = stop_process(pid, SIGKILL);
    std::string output = read_file(out).value_or("(no output)");
    // The browser test's own lines: its scenarios, the load time, the
    // page's size and where the screenshots are.
    printf("%s", output.c_str());
    ASSERT_TRUE(in_time) << "the browser test ran past " << kBrowserTimeout.count() << " s";
    EXPECT_EQ(code, 0) << "the browser test failed";
    EXPECT_TRUE(has(output, "page: all scenarios passed")) << "the browser test did not reach its end";
}

}  // namespace
}  // namespace sandbox
