// A narrated walk through both modes of the daemon against a simulated
// panel: a main-panel hold driven by veltarisctl (arm, set, a foreign write
// corrected, pause, resume, stop), then an outdoor boost and its end. It
// runs inside the test sandbox, so the machine's own /data and /sys are
// never touched, and ends with a timeline of the node's value, also drawn
// as a plot with the events and the two modes marked on it.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sandbox/sandbox.h"

using namespace std::chrono_literals;
using sandbox::Daemon;
using sandbox::FakeNode;
using sandbox::kNodePath;

namespace {

const char kSession[] = "demo-hold";

int64_t g_start_ms = 0;

struct sample {
    int64_t t_ms;
    int value;
    int target;  // -1 when nothing is held or boosted
};

std::mutex g_samples_mutex;
std::vector<sample> g_samples;
std::atomic<int> g_target{-1};

// What the plot marks: the moments that explain a change of the line, and
// the spans during which each mode's daemon ran.
struct event_mark {
    int64_t t_ms;
    std::string label;
};
struct mode_span {
    int64_t start_ms;
    int64_t end_ms;
    std::string label;
    const char* fill;
};
std::vector<event_mark> g_events;
std::vector<mode_span> g_modes;

int64_t since_start_ms() {
    return sandbox::monotonic_ms() - g_start_ms;
}

void mark(const std::string& label) {
    g_events.push_back({since_start_ms(), label});
}

double seconds() {
    return static_cast<double>(sandbox::monotonic_ms() - g_start_ms) / 1000.0;
}

void step(const char* text) {
    // A short pause between steps keeps the timeline readable.
    static int steps = 0;
    if (steps++ > 0) std::this_thread::sleep_for(400ms);
    printf("\n[%5.2fs] == %s\n", seconds(), text);
    fflush(stdout);
}

void note(const std::string& text) {
    printf("[%5.2fs]    %s\n", seconds(), text.c_str());
    fflush(stdout);
}

std::string ctl_path() {
    const char* env = getenv("VELTARISCTL");
    return env != nullptr && *env != '\0' ? env : VELTARISCTL_DEFAULT_PATH;
}

// Steps that could not run here, told apart from a daemon that behaved
// unexpectedly: a program that could not be started says what it could not
// do and why.
std::atomic<int> g_environment_failures{0};
int g_unexpected = 0;

void environment_failure(const std::string& what) {
    note("ENVIRONMENT: " + what);
    ++g_environment_failures;
}

sandbox::ProgramOptions as_user(uid_t uid) {
    sandbox::ProgramOptions o;
    o.uid = uid;
    o.gid = uid;
    return o;
}

std::vector<std::string> ctl_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ctl_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Runs veltarisctl as uid and returns its exit code (-1 when it could not
// be started); its output is shown indented.
int ctl(uid_t uid, const std::vector<std::string>& args) {
    std::string shown = "$ veltarisctl";
    for (const auto& a : args) shown += " " + a;
    if (uid != 0) shown += "    (as uid " + std::to_string(uid) + ")";
    note(shown);
    sandbox::ProgramResult r = sandbox::run_program(ctl_argv(args), as_user(uid));
    if (!r.launch_error.empty()) {
        environment_failure(r.launch_error);
        return -1;
    }
    std::string out = r.out + r.err;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        note("  " + out.substr(start, end - start));
        start = end + 1;
    }
    return r.code;
}

// A veltarisctl that keeps renewing a lease until it is told to stop.
pid_t start_holder(uid_t uid, const std::vector<std::string>& args) {
    std::string shown = "$ veltarisctl";
    for (const auto& a : args) shown += " " + a;
    note(shown + " &    (as uid " + std::to_string(uid) + ", renews until stopped)");
    std::string why;
    pid_t pid = sandbox::start_program(ctl_argv(args), as_user(uid), &why);
    if (pid < 0) environment_failure(why.empty() ? "cannot start veltarisctl" : why);
    return pid;
}

void stop_holder(pid_t pid) {
    if (pid > 0) sandbox::stop_process(pid, SIGTERM);
}

// Shows the daemon's own lines that arrived since the last call.
void show_daemon_lines(Daemon& d, size_t* shown) {
    auto lines = d.lines();
    for (; *shown < lines.size(); ++*shown) note("  veltarisd: " + lines[*shown].text);
}

bool wait_line(Daemon& d, const std::string& prefix, size_t* shown, std::chrono::milliseconds t = 5s) {
    bool ok = d.wait_for_line(prefix, t, *shown).has_value();
    show_daemon_lines(d, shown);
    if (!ok) note("(expected a line starting with \"" + prefix + "\")");
    return ok;
}

std::string node_mode(const FakeNode& node) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(node.mode()));
    return buf;
}

std::string file_or(const char* path, const char* missing) {
    auto text = sandbox::read_file(path);
    if (!text) return missing;
    std::string t = *text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    return t;
}

std::string svg_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else out += c;
    }
    return out;
}

void write_timeline_svg(const std::vector<sample>& samples, int maximum, const std::string& path) {
    if (samples.empty()) return;
    const double width = 960, height = 440, left = 56, right = width - 16, top = 110, bottom = 390;
    double t_end = static_cast<double>(samples.back().t_ms) / 1000.0;
    auto x = [&](double t) { return left + (right - left) * t / std::max(t_end, 0.001); };
    auto x_ms = [&](int64_t ms) { return x(static_cast<double>(ms) / 1000.0); };
    auto y = [&](int v) { return bottom - (bottom - top) * v / static_cast<double>(maximum); };
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return;
    fprintf(f, "<svg xmlns='http://www.w3.org/2000/svg' width='%.0f' height='%.0f' "
               "font-family='sans-serif' font-size='12'>\n<rect width='100%%' height='100%%' fill='white'/>\n",
            width, height);
    fprintf(f, "<text x='%.0f' y='20' font-size='15' font-weight='bold'>veltarisd: the panel's brightness "
               "node through both modes</text>\n", left);

    // The modes as shaded spans behind everything else, named at the top.
    for (const mode_span& m : g_modes) {
        double x0 = x_ms(m.start_ms), x1 = x_ms(m.end_ms);
        fprintf(f, "<rect x='%.1f' y='%.0f' width='%.1f' height='%.0f' fill='%s'/>\n", x0, top, x1 - x0,
                bottom - top, m.fill);
        fprintf(f, "<text x='%.1f' y='%.0f' font-weight='bold' fill='#555'>%s</text>\n", x0 + 4, top + 14,
                svg_escape(m.label).c_str());
    }

    fprintf(f, "<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='black'/>\n", left, bottom, right, bottom);
    fprintf(f, "<line x1='%.0f' y1='%.0f' x2='%.0f' y2='%.0f' stroke='black'/>\n", left, top, left, bottom);
    for (int v = 0; v <= maximum; v += 50)
        fprintf(f, "<text x='%.0f' y='%.1f' text-anchor='end'>%d</text>\n", left - 6, y(v) + 4, v);
    for (int s = 0; s <= static_cast<int>(t_end); ++s)
        fprintf(f, "<text x='%.1f' y='%.0f' text-anchor='middle'>%ds</text>\n", x(s), bottom + 18, s);
    fprintf(f, "<text x='14' y='%.0f' transform='rotate(-90 14 %.0f)' text-anchor='middle'>brightness "
               "(maximum %d)</text>\n", (top + bottom) / 2, (top + bottom) / 2, maximum);

    // Each event: a thin line down the plot and its label above it, in the
    // first of three rows where it does not run into the previous label.
    const double row_y[] = {top - 40, top - 24, top - 8};
    double row_end[] = {-1e9, -1e9, -1e9};
    const double char_width = 6.2;
    for (const event_mark& e : g_events) {
        double px = x_ms(e.t_ms);
        double w = char_width * static_cast<double>(e.label.size());
        // Near the right edge a label ends at its line instead.
        bool flip = px + w > right;
        double from = flip ? px - w : px;
        size_t row = 0;
        while (row < 2 && from < row_end[row] + 8) ++row;
        row_end[row] = from + w;
        fprintf(f, "<line x1='%.1f' y1='%.0f' x2='%.1f' y2='%.0f' stroke='#888' stroke-dasharray='2,3'/>\n", px,
                row_y[row] + 3, px, bottom);
        fprintf(f, "<text x='%.1f' y='%.0f' font-size='11' fill='#333'%s>%s</text>\n", flip ? px - 2 : px + 2,
                row_y[row], flip ? " text-anchor='end'" : "", svg_escape(e.label).c_str());
    }

    // Drawn as steps, and broken where nothing is held or boosted.
    auto polyline = [&](bool target, const char* colour, const char* dash) {
        bool open = false;
        double last_y = 0;
        for (const auto& s : samples) {
            int v = target ? s.target : s.value;
            double px = x(static_cast<double>(s.t_ms) / 1000.0);
            if (v < 0) {
                if (open) fprintf(f, "'/>\n");
                open = false;
                continue;
            }
            if (!open) {
                fprintf(f, "<polyline fill='none' stroke='%s' stroke-width='2' %s points='", colour, dash);
                open = true;
            } else {
                fprintf(f, "%.1f,%.1f ", px, last_y);
            }
            last_y = y(v);
            fprintf(f, "%.1f,%.1f ", px, last_y);
        }
        if (open) fprintf(f, "'/>\n");
    };
    polyline(true, "#d62728", "stroke-dasharray='6,4'");
    polyline(false, "#1f77b4", "");

    double legend_x = right - 330;
    fprintf(f, "<line x1='%.0f' y1='16' x2='%.0f' y2='16' stroke='#1f77b4' stroke-width='2'/>\n", legend_x,
            legend_x + 24);
    fprintf(f, "<text x='%.0f' y='20'>node value</text>\n", legend_x + 30);
    fprintf(f, "<line x1='%.0f' y1='16' x2='%.0f' y2='16' stroke='#d62728' stroke-width='2' "
               "stroke-dasharray='6,4'/>\n", legend_x + 110, legend_x + 134);
    fprintf(f, "<text x='%.0f' y='20'>target (held or boosted)</text>\n", legend_x + 140);
    fprintf(f, "<text x='%.0f' y='%.0f' font-size='11' fill='#555'>time since the demonstration "
               "started</text>\n", right - 210, bottom + 36);
    fprintf(f, "</svg>\n");
    fclose(f);
}

void print_timeline(const std::vector<sample>& samples, int maximum) {
    // One row per change of value or target: the value as a bar, the target
    // as a '|'.
    const int cols = 60;
    printf("\n    time  value  target\n");
    int last_value = -2, last_target = -2;
    for (const auto& s : samples) {
        if (s.value == last_value && s.target == last_target) continue;
        last_value = s.value;
        last_target = s.target;
        int bar = s.value * cols / maximum;
        std::string row(static_cast<size_t>(cols + 1), ' ');
        for (int i = 0; i < bar && i <= cols; ++i) row[static_cast<size_t>(i)] = '#';
        if (s.target >= 0) row[static_cast<size_t>(s.target * cols / maximum)] = '|';
        printf("  %6.2fs %5d %7s %s\n", static_cast<double>(s.t_ms) / 1000.0, s.value,
               s.target >= 0 ? std::to_string(s.target).c_str() : "-", row.c_str());
    }
}

// Keeps the main-panel lease fresh with one-shot veltarisctl writes, as a
// system-side client would, naming one pid that stays alive (this process).
class LeaseKeeper {
  public:
    // Writes the lease at once; what went wrong, or an empty text.
    std::string set(int target, bool paused) {
        std::lock_guard<std::mutex> lock(mutex_);
        target_ = target;
        paused_ = paused;
        wanted_ = true;
        write_locked();
        return problem_;
    }
    // What went wrong with the renewals since the last call (the first
    // such thing), or an empty text.
    std::string renewal_problem() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string p = renewal_problem_;
        renewal_problem_.clear();
        return p;
    }
    void start() {
        thread_ = std::thread([this] {
            while (running_) {
                std::this_thread::sleep_for(100ms);
                std::lock_guard<std::mutex> lock(mutex_);
                if (wanted_ && sandbox::monotonic_ms() - last_ms_ >= 1000) write_locked();
            }
        });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> args() const {
        std::vector<std::string> a = {"lease", kSession, std::to_string(target_), "--pid",
                                      std::to_string(getpid()), "--ttl", "4000"};
        if (paused_) a.push_back("--paused");
        return a;
    }

  private:
    void write_locked() {
        sandbox::ProgramResult r = sandbox::run_program(ctl_argv(args()), as_user(1000));
        last_ms_ = sandbox::monotonic_ms();
        problem_.clear();
        if (!r.launch_error.empty()) {
            problem_ = "cannot write the lease: " + r.launch_error;
        } else if (r.code != 0) {
            problem_ = "the lease writer exited with " + std::to_string(r.code) + ": " + r.err;
        }
        if (!problem_.empty() && renewal_problem_.empty()) renewal_problem_ = problem_;
    }

    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    bool wanted_ = false;
    int target_ = 0;
    bool paused_ = false;
    int64_t last_ms_ = 0;
    std::string problem_;
    std::string renewal_problem_;
};

// Tells why the lease keeper's last write failed, when it did: an
// environment failure when veltarisctl could not be started as uid 1000.
void report_lease(const std::string& problem) {
    if (problem.empty()) return;
    if (problem.rfind("cannot write the lease: ", 0) == 0) {
        environment_failure(problem);
    } else {
        note("UNEXPECTED: " + problem);
        ++g_unexpected;
    }
}

std::string show_args(const std::vector<std::string>& args) {
    std::string s = "$ veltarisctl";
    for (const auto& a : args) s += " " + a;
    return s + "    (as uid 1000, renewed every second)";
}

void set_lease(LeaseKeeper& lease, int target, bool paused) {
    std::string problem = lease.set(target, paused);
    note(show_args(lease.args()));
    report_lease(problem);
}

int run_demo(const std::string& svg_path) {
    std::string error;
    auto owned = FakeNode::create({}, &error);
    if (!owned) {
        fprintf(stderr, "demo: cannot create the simulated panel: %s\n", error.c_str());
        return 1;
    }
    FakeNode* node = owned.get();
    const int maximum = node->maximum();

    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            {
                std::lock_guard<std::mutex> lock(g_samples_mutex);
                g_samples.push_back({sandbox::monotonic_ms() - g_start_ms, node->value(), g_target.load()});
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    auto check = [&](bool ok, const std::string& what) {
        note(std::string(ok ? "ok: " : "UNEXPECTED: ") + what);
        if (!ok) ++g_unexpected;
    };

    step("A simulated panel: a FUSE node that behaves like a sysfs attribute");
    note(std::string(kNodePath) + " -> " + node->real_brightness_path());
    note("value " + std::to_string(node->value()) + ", max_brightness " + std::to_string(maximum) +
         ", mode " + node_mode(*node) + ", owner uid 1000");

    step("Main-panel mode: start the daemon");
    note("$ veltarisd --daemon --node " + std::string(kNodePath));
    Daemon daemon;
    int64_t main_start = since_start_ms();
    size_t shown = 0;
    std::string why = "the daemon could not be started";
    bool ready = daemon.start({"--daemon", "--node", kNodePath}) && sandbox::wait_ready(daemon, &why, 5s);
    show_daemon_lines(daemon, &shown);
    if (!ready) {
        // The launcher's own lines start with "sandbox:" (an exec that
        // failed); anything else is the daemon's.
        if (daemon.stderr_text().rfind("sandbox: ", 0) == 0) {
            environment_failure(why);
        } else {
            check(false, "the daemon did not become ready: " + why);
        }
        sampling = false;
        sampler.join();
        return 1;
    }
    ctl(0, {"status"});

    step("The client (uid 1000) grants a hold through the lease; root arms it");
    LeaseKeeper lease;
    set_lease(lease, 180, false);
    lease.start();
    note("lease file: \"" + file_or(sandbox::kMainPanelLease, "(none)") + "\"");
    check(ctl(0, {"arm", kSession, std::to_string(getpid())}) == 0, "armed");
    mark("arm (lease 180)");
    // From here the hold loop follows the lease's target on its own.
    g_target = 180;
    note("health record: \"" + file_or(sandbox::kMainPanelHealth, "(none)") + "\"");

    check(wait_line(daemon, "NATIVE_CORRECTION", &shown, 3s),
          "the hold loop writes the lease's target at its next read-back");
    sandbox::wait_until([&] { return node->value() == 180; }, 3s);
    check(node->mode() == 0444, "node reads " + std::to_string(node->value()) + ", mode " + node_mode(*node) +
                                    ": write bits removed while held");
    std::string record = file_or(sandbox::kPermissionRecord, "(none)");
    std::replace(record.begin(), record.end(), '\n', ' ');
    note("permission record, written before the mode changed: \"" + record + "\"");

    step("To change the value at once: the lease names 160, then SET 160");
    g_target = 160;
    set_lease(lease, 160, false);
    check(ctl(0, {"set", kSession, "160"}) == 0, "readback_ok");
    mark("SET 160");
    check(node->value() == 160, "node reads " + std::to_string(node->value()));
    check(sandbox::open_for_write_as(1000, kNodePath) != 0, "an ordinary uid-1000 writer can no longer open the node");

    step("A privileged writer changes the node behind the daemon's back");
    node->set_value(40);
    mark("foreign write 40");
    note("the node now reads 40");
    check(wait_line(daemon, "NATIVE_CORRECTION", &shown), "corrected at the next read-back");
    sandbox::wait_until([&] { return node->value() == 160; }, 3s);
    check(node->value() == 160, "node reads " + std::to_string(node->value()));

    step("The client pauses the hold: the daemon hands the node back");
    g_target = -1;
    set_lease(lease, 160, true);
    mark("pause");
    check(wait_line(daemon, "NATIVE_PAUSED", &shown), "paused");
    sandbox::wait_until([&] { return node->mode() == 0664; }, 3s);
    check(node->mode() == 0664, "node mode " + node_mode(*node) + " again, permission record " +
                                    (sandbox::path_exists(sandbox::kPermissionRecord) ? "present" : "gone"));
    node->set_value(90);
    mark("write 90, left alone");
    note("another writer sets 90 while paused; the daemon leaves it");
    std::this_thread::sleep_for(800ms);
    check(node->value() == 90, "node reads " + std::to_string(node->value()));

    step("The client resumes with a new target");
    g_target = 200;
    set_lease(lease, 200, false);
    mark("resume at 200");
    check(wait_line(daemon, "NATIVE_RESUMED", &shown), "resumed");
    sandbox::wait_until([&] { return node->value() == 200; }, 3s);
    show_daemon_lines(daemon, &shown);
    check(node->value() == 200, "node reads " + std::to_string(node->value()) + ", mode " + node_mode(*node));

    step("STOP ends the hold and the daemon, leaving the node as it found it");
    check(ctl(0, {"stop", kSession}) == 0, "released");
    mark("STOP");
    lease.stop();
    report_lease(lease.renewal_problem());
    g_target = -1;
    int code = daemon.wait_exit(5s);
    g_modes.push_back({main_start, since_start_ms(), "main-panel mode", "#e8f0fa"});
    show_daemon_lines(daemon, &shown);
    check(code == 0, "daemon exited with " + std::to_string(code));
    check(node->mode() == 0664, "node mode " + node_mode(*node));
    check(!sandbox::path_exists(sandbox::kPermissionRecord), "no permission record left");
    note("last health record: \"" + file_or(sandbox::kMainPanelHealth, "(none)") + "\"");
    unlink(sandbox::kMainPanelLease);

    step("Outdoor mode: system_server asks for a boost");
    pid_t server = sandbox::start_system_server();
    note("a process named system_server runs as uid 1000 with pid " + std::to_string(server));
    note("$ veltarisd --outdoor --node " + std::string(kNodePath));
    Daemon outdoor;
    int64_t outdoor_start = since_start_ms();
    outdoor.start({"--outdoor", "--node", kNodePath});
    sandbox::wait_outdoor_ready(outdoor, nullptr, 5s);
    note("outdoor health: " + file_or(sandbox::kOutdoorHealth, "(none)"));
    std::vector<std::string> boost = {"outdoor-lease", "v1", "500", "--pid", std::to_string(server),
                                      "--hold", "--ttl", "1200"};
    pid_t booster = start_holder(1000, boost);
    mark("boost asked (v1 500)");
    int base = node->value();
    int boosted = base + (maximum - base) * 500 / 1000;
    note("v1 500 asks for half the distance to the maximum: " + std::to_string(base) + " -> " +
         std::to_string(boosted) + " once the node has been steady for 500 ms");
    g_target = boosted;
    bool reached = sandbox::wait_until([&] { return node->value() == boosted; }, 5s);
    if (reached) mark("boosted (500 ms steady)");
    check(reached, "node reads " + std::to_string(node->value()));
    note("outdoor health: " + file_or(sandbox::kOutdoorHealth, "(none)"));

    step("system_server stops asking (held 0): the base comes back");
    stop_holder(booster);
    booster = start_holder(1000, {"outdoor-lease", "v1", "500", "--pid", std::to_string(server), "--held",
                                  "0", "--hold", "--ttl", "1200"});
    mark("release (held 0)");
    g_target = -1;
    reached = sandbox::wait_until([&] { return node->value() == base; }, 5s);
    check(reached, "node reads " + std::to_string(node->value()));
    note("outdoor health: " + file_or(sandbox::kOutdoorHealth, "(none)"));
    stop_holder(booster);

    step("SIGTERM ends outdoor mode");
    outdoor.signal(SIGTERM);
    code = outdoor.wait_exit(5s);
    g_modes.push_back({outdoor_start, since_start_ms(), "outdoor mode", "#fdf0e2"});
    check(code == 0, "outdoor daemon exited with " + std::to_string(code) + ", nothing on stderr: " +
                         (outdoor.stderr_text().empty() ? "yes" : "no"));
    note("outdoor health: " + file_or(sandbox::kOutdoorHealth, "(none)"));
    sandbox::stop_process(server, SIGKILL);

    std::this_thread::sleep_for(200ms);
    sampling = false;
    sampler.join();
    step("Timeline of the node's value against the target");
    std::vector<sample> samples;
    {
        std::lock_guard<std::mutex> lock(g_samples_mutex);
        samples = g_samples;
    }
    print_timeline(samples, maximum);
    write_timeline_svg(samples, maximum, svg_path);
    printf("\n  plot: %s\n", svg_path.c_str());
    owned->stop();
    int failures = g_unexpected + g_environment_failures.load();
    if (g_environment_failures > 0) {
        printf("\ndemo finished: %d step(s) could not run in this environment (ENVIRONMENT above), %d "
               "UNEXPECTED\n",
               g_environment_failures.load(), g_unexpected);
    } else {
        printf("\n%s\n", failures == 0 ? "demo finished: every step behaved as expected"
                                       : "demo finished with UNEXPECTED steps (see above)");
    }
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    std::string svg_path = argc > 1 ? argv[1] : "demo-timeline.svg";
    g_start_ms = sandbox::monotonic_ms();
    std::string why;
    sandbox::SandboxOptions options;
    if (sandbox::build_sandbox(options, &why) != sandbox::BuildResult::ok) {
        fprintf(stderr, "demo: cannot build the sandbox (run as root): %s\n", why.c_str());
        sandbox::leave_sandbox(&why);
        return 1;
    }
    int failures = run_demo(svg_path);
    sandbox::leave_sandbox(&why);
    return failures == 0 ? 0 : 1;
}
