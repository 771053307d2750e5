// The measurements of the daemon as a process: start-up time, heap
// allocations under valgrind, resident and binary size, and the wake-ups of
// an idle outdoor daemon.
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "bench/bench.h"
#include "client/owner/owner.h"

namespace bench {
namespace {

Figure plain_figure(const std::string& id, const std::string& title) {
    Figure f;
    f.id = id;
    f.title = title;
    return f;
}

// fork/exec with standard error on a pipe; the time from just before the
// fork until the first line arrives (until_line) or the pipe reaches end of
// file (the program has exited). The process is killed and reaped after.
int64_t timed_exec(const std::vector<std::string>& argv, bool until_line, std::string* first_line) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    int64_t t0 = now_ns();
    SpawnOptions options;
    options.stderr_fd = fds[1];
    pid_t pid = spawn(argv, options);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    std::string got;
    char buf[512];
    int64_t t1 = -1;
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!until_line) t1 = now_ns();
            break;
        }
        got.append(buf, static_cast<size_t>(n));
        if (until_line && got.find('\n') != std::string::npos) {
            t1 = now_ns();
            break;
        }
    }
    close(fds[0]);
    kill_and_wait(pid);
    if (first_line) *first_line = got.substr(0, got.find('\n'));
    return t1 < 0 ? -1 : t1 - t0;
}

struct ValgrindLog {
    bool found = false;
    long long allocs = -1;
    long long frees = -1;
    long long bytes = -1;
    long long errors = -1;
    std::string text;
};

long long number_after(const std::string& text, const std::string& key) {
    size_t pos = text.find(key);
    if (pos == std::string::npos) return -1;
    std::string digits;
    for (size_t i = pos + key.size(); i < text.size(); ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c == ',' && !digits.empty()) {
            continue;
        } else if (!digits.empty() || c != ' ') {
            break;
        }
    }
    return digits.empty() ? -1 : atoll(digits.c_str());
}

ValgrindLog read_valgrind_log(const std::string& path) {
    ValgrindLog log;
    std::ifstream in(path);
    if (!in) return log;
    std::stringstream ss;
    ss << in.rdbuf();
    log.text = ss.str();
    // "total heap usage: 1,024 allocs, 1,024 frees, 73,728 bytes allocated"
    size_t at = log.text.find("total heap usage:");
    if (at == std::string::npos) return log;
    std::string line = log.text.substr(at, log.text.find('\n', at) - at);
    log.found = true;
    log.allocs = number_after(line, "usage:");
    log.frees = number_after(line, "allocs,");
    log.bytes = number_after(line, "frees,");
    log.errors = number_after(log.text, "ERROR SUMMARY:");
    return log;
}

// The allocating call chains from valgrind's xtree file, through
// callgrind_annotate, as note lines; empty when there is nothing to show.
std::vector<std::string> allocation_sites(const std::string& xtree_path) {
    std::vector<std::string> out;
    std::string annotate, perl;
    if (!tool_available("callgrind_annotate", &annotate) || !tool_available("perl", &perl) ||
        access(xtree_path.c_str(), R_OK) != 0) {
        return out;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return out;
    SpawnOptions options;
    options.stdout_fd = fds[1];
    // Inclusive, by allocation count: the daemon's own functions that lead
    // to an allocation show up with the C library's.
    pid_t pid = spawn({perl, annotate, "--inclusive=yes", "--sort=totBk", "--show=totBk,totB", "--threshold=100",
                       "--context=0", xtree_path},
                      options);
    close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    wait_pid(pid, 30000);
    std::istringstream lines(text);
    std::string line;
    bool table = false;
    while (std::getline(lines, line)) {
        // The per-function table follows the "file:function" header line.
        if (line.find("file:function") != std::string::npos) {
            table = true;
            continue;
        }
        if (!table || line.find_first_not_of(" -") == std::string::npos) continue;
        if (line.rfind("--", 0) == 0) break;
        out.push_back("allocations (blocks, bytes, function): " + line.substr(line.find_first_not_of(' ')));
        if (out.size() >= 8) break;
    }
    return out;
}

}  // namespace

void measure_startup(Context& ctx) {
    Figure f = plain_figure("startup", "start-up to readiness line");
    std::string daemon = sandbox::daemon_binary();
    std::vector<double> daemon_ns, static_ns, dynamic_ns;
    int failures = 0;
    std::string bad_line;
    for (int i = 0; i < ctx.sizes.startup_runs + ctx.sizes.warmup / 5; ++i) {
        // Interleaved, in a changing order, so a noisy moment hits all three.
        int order = static_cast<int>(ctx.rng() % 3);
        for (int k = 0; k < 3; ++k) {
            int which = (order + k) % 3;
            std::string line;
            int64_t ns;
            if (which == 0) {
                ns = timed_exec({daemon, "--daemon", "--node", ctx.node->brightness_path()}, true, &line);
                if (ns >= 0 && line.rfind("NATIVE_READY ", 0) != 0) {
                    bad_line = line;
                    ns = -1;
                }
            } else {
                ns = timed_exec({which == 1 ? BENCH_EXIT_STATIC : BENCH_EXIT_DYNAMIC}, false, nullptr);
            }
            if (ns < 0) {
                ++failures;
                continue;
            }
            if (i < ctx.sizes.warmup / 5) continue;
            (which == 0 ? daemon_ns : which == 1 ? static_ns : dynamic_ns).push_back(static_cast<double>(ns));
        }
    }
    Summary d = summarize(daemon_ns), s = summarize(static_ns), y = summarize(dynamic_ns);
    f.result = fmt_us(d.median) + " / p99 " + fmt_us(d.p99);
    f.baseline = "static exit " + fmt_us(s.median);
    f.ratio = d.median / s.median;
    f.goal = "(none; vs static exit)";
    f.summary("us", d, 1e-3);
    f.summary("static_exit_us", s, 1e-3);
    f.summary("dynamic_exit_us", y, 1e-3);
    f.num("ratio_to_static_exit", f.ratio);
    f.num("ratio_to_dynamic_exit", d.median / y.median);
    f.num("failures", failures);
    f.verdict = daemon_ns.empty() ? Verdict::error : Verdict::info;
    f.notes.push_back(fmt(
        "fork+exec in the benchmark until the readiness line is read from the pipe on standard error, %zu runs; "
        "baselines: a static program that exits at once (until its pipe closes) %s, and the same program linked "
        "dynamically %s (ratio %.2fx), since the daemon is a dynamic executable on the host",
        d.n, fmt_us(s.median).c_str(), fmt_us(y.median).c_str(), d.median / y.median));
    if (!bad_line.empty()) f.notes.push_back("unexpected first line: " + bad_line);
    ctx.report->add(std::move(f));
}

namespace {

// Goals of the benchmark's own rather than the daemon's constants, so that
// a constant changed by mistake shows against them: a boost kept beside a
// busy lock is looked at once a second, no more (a phone's battery) and no
// less (its base comes back soon after the lock is free); a main-panel
// start waits 200 ms for a busy lock, outwaiting outdoor mode's instant
// on it without keeping a client waiting.
constexpr double kBusyRecheckGoalMs = 1000;
constexpr double kStartLockWaitGoalMs = 200;

// An outdoor daemon that boosts the node from 100 to 177 (maximum 255,
// ratio 500), then the main-panel lock taken by the benchmark: the lock's
// descriptor, or -1 with *why. *server and *d are started either way.
int boosted_outdoor_beside_taken_lock(Context& ctx, pid_t* server, sandbox::Daemon* d, std::string* why) {
    ctx.node->set_value(100);
    unlink(sandbox::kOutdoorLease);
    unlink(sandbox::kOutdoorHealth);
    *server = sandbox::start_system_server();
    if (*server <= 0) {
        *why = "no system_server stand-in";
        return -1;
    }
    if (!d->start({"--outdoor", "--node", ctx.node->brightness_path()}) ||
        !sandbox::wait_outdoor_ready(*d, nullptr, std::chrono::seconds(10))) {
        *why = "the outdoor daemon did not start: " + d->stderr_text();
        return -1;
    }
    int64_t deadline = sandbox::monotonic_ms() + 20000;
    bool boosted = false;
    while (!boosted && sandbox::monotonic_ms() < deadline) {
        write_outdoor_lease("v1", *server, 500, 1);
        for (int i = 0; i < 30 && !boosted; ++i) {
            boosted = ctx.node->value() == 177;
            sleep_ms(10);
        }
    }
    if (!boosted) {
        *why = "the node was never boosted";
        return -1;
    }
    int lock = open(sandbox::kMainPanelLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || fchmod(lock, 0600) != 0 || flock(lock, LOCK_EX) != 0) {
        if (lock >= 0) close(lock);
        *why = "the main-panel lock was not taken";
        return -1;
    }
    return lock;
}

// A boost whose lease ended while a holder of the main-panel lock that
// never touches the node (a recovery run, a start that fails) was there:
// freeing the lock makes no event in /data/system, so the loop looks again
// once a second while the lock stays taken, and not at all once the base is
// back. Counted in both phases, with the time the base took to come back.
void measure_outdoor_busy_panel(Context& ctx) {
    Figure f = plain_figure("wakeups_outdoor_busy_panel", "wake-ups, outdoor boost, panel lock taken");
    f.goal = "60/min while the lock is taken, 0 after";
    std::string why;
    pid_t server = -1;
    sandbox::Daemon d;
    int lock = boosted_outdoor_beside_taken_lock(ctx, &server, &d, &why);
    WakeupCount busy, after;
    double restore_ms = NAN;
    if (why.empty()) {
        write_outdoor_lease("v1", server, 500, 0);
        sleep_ms(300);
        busy = count_wakeups(d.pid(), static_cast<int64_t>(ctx.sizes.outdoor_wakeup_seconds) * 1000, nullptr,
                             nullptr);
        int64_t freed = now_ns();
        close(lock);
        lock = -1;
        if (sandbox::wait_until([&] { return ctx.node->value() == 100; }, std::chrono::seconds(10))) {
            restore_ms = static_cast<double>(now_ns() - freed) / 1e6;
        }
        sleep_ms(300);
        after = count_wakeups(d.pid(), static_cast<int64_t>(std::min(ctx.sizes.outdoor_wakeup_seconds, 10)) * 1000,
                              nullptr, nullptr);
    }
    if (lock >= 0) close(lock);
    d.signal(SIGTERM);
    int code = d.wait_exit(std::chrono::seconds(10));
    if (server > 0) sandbox::stop_process(server);
    unlink(sandbox::kOutdoorLease);

    if (!why.empty()) {
        f.result = "error";
        f.verdict = Verdict::error;
        f.notes.push_back(why);
    } else if (!busy.ok || !after.ok) {
        f.result = "unavailable";
        f.verdict = Verdict::unavailable;
        f.notes.push_back(busy.ok ? after.why : busy.why);
    } else {
        double busy_per_min = static_cast<double>(busy.returns) * 60.0 / busy.window_s;
        double after_per_min = static_cast<double>(after.returns) * 60.0 / after.window_s;
        f.result = fmt("%.1f/min, then %.1f/min", busy_per_min, after_per_min);
        f.baseline = fmt("%.0f s + %.0f s windows", busy.window_s, after.window_s);
        // One wake-up a recheck period, give or take the windows' edges;
        // none once the base is back.
        double expected = busy.window_s * 1000.0 / kBusyRecheckGoalMs;
        bool paced = static_cast<double>(busy.returns) >= expected - 2 &&
                     static_cast<double>(busy.returns) <= expected + 1;
        f.verdict = paced && after.returns == 0 && !isnan(restore_ms) ? Verdict::met : Verdict::missed;
        f.num("busy_window_s", busy.window_s);
        f.num("busy_wakeups", static_cast<double>(busy.returns));
        f.num("busy_timeouts", static_cast<double>(busy.timeouts));
        f.num("busy_wakeups_per_min", busy_per_min);
        f.num("after_window_s", after.window_s);
        f.num("after_wakeups", static_cast<double>(after.returns));
        f.num("base_back_after_free_ms", restore_ms);
        f.notes.push_back(fmt("boost 100 -> 177, lock taken by the benchmark, lease rewritten held 0; ppoll returns "
                              "counted with strace while the lock stays taken, then after it is freed (base back "
                              "%s ms later) with nothing happening in /data/system",
                              isnan(restore_ms) ? "NEVER" : fmt("%.0f", restore_ms).c_str()));
    }
    if (code != 0) f.notes.push_back(fmt("the outdoor daemon ended with %d", code));
    ctx.report->add(std::move(f));
}

// A boost that the main-panel daemon's own value replaced while it holds
// the lock: nothing is left to put back, so nothing wakes the loop for as
// long as the hold lasts (hours), and the record says the boost is over.
void measure_outdoor_busy_nothing_kept(Context& ctx) {
    Figure f = plain_figure("wakeups_outdoor_busy_nothing_kept",
                            "wake-ups, outdoor mode, panel lock taken, boost replaced by the holder's value");
    f.goal = "0/min";
    std::string why;
    pid_t server = -1;
    sandbox::Daemon d;
    int lock = boosted_outdoor_beside_taken_lock(ctx, &server, &d, &why);
    WakeupCount busy;
    std::string record;
    if (why.empty()) {
        // The holder's value, then one more event for a turn to see it;
        // the lease, no longer renewed, expires within 1.5 s.
        ctx.node->set_value(150);
        write_outdoor_lease("v1", server, 500, 1);
        sleep_ms(2000);
        busy = count_wakeups(d.pid(), static_cast<int64_t>(ctx.sizes.outdoor_wakeup_seconds) * 1000, nullptr,
                             nullptr);
        record = sandbox::read_file(sandbox::kOutdoorHealth).value_or("");
    }
    if (lock >= 0) close(lock);
    d.signal(SIGTERM);
    int code = d.wait_exit(std::chrono::seconds(10));
    if (server > 0) sandbox::stop_process(server);
    unlink(sandbox::kOutdoorLease);

    if (!why.empty()) {
        f.result = "error";
        f.verdict = Verdict::error;
        f.notes.push_back(why);
    } else if (!busy.ok) {
        f.result = "unavailable";
        f.verdict = Verdict::unavailable;
        f.notes.push_back(busy.why);
    } else {
        double per_min = static_cast<double>(busy.returns) * 60.0 / busy.window_s;
        f.result = fmt("%.1f/min", per_min);
        f.baseline = fmt("%.0f s window", busy.window_s);
        bool released = record.find("\"released\"") != std::string::npos;
        f.verdict = busy.returns == 0 && released ? Verdict::met : Verdict::missed;
        f.num("window_s", busy.window_s);
        f.num("wakeups", static_cast<double>(busy.returns));
        f.num("wakeups_per_min", per_min);
        f.notes.push_back("boost 100 -> 177, lock taken by the benchmark, node set to 150 and the lease rewritten "
                          "once, then left to expire; ppoll returns counted with strace; last record: " + record);
    }
    if (code != 0) f.notes.push_back(fmt("the outdoor daemon ended with %d", code));
    ctx.report->add(std::move(f));
}

// How long a main-panel start waits for a lock that stays taken before it
// gives up (exit 2, EWOULDBLOCK): long enough to outwait outdoor mode's
// instant on the lock, short enough that a client is not kept waiting.
void measure_start_lock_wait(Context& ctx) {
    Figure f = plain_figure("start_busy_lock_wait", "main-panel start against a lock that stays taken");
    f.goal = fmt("gives up after %.0f ms (+50 ms)", kStartLockWaitGoalMs);
    int lock = open(sandbox::kMainPanelLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::vector<double> ms;
    std::string line;
    if (lock >= 0 && fchmod(lock, 0600) == 0 && flock(lock, LOCK_EX) == 0) {
        for (int i = 0; i < 10; ++i) {
            int64_t ns = timed_exec({sandbox::daemon_binary(), "--daemon", "--node", ctx.node->brightness_path()},
                                    false, &line);
            if (ns < 0 || line.find("errno=11 ") == std::string::npos) break;
            ms.push_back(static_cast<double>(ns) / 1e6);
        }
    }
    if (lock >= 0) close(lock);
    if (ms.size() < 10) {
        f.result = "error";
        f.verdict = Verdict::error;
        f.notes.push_back("the start did not give up with errno 11: " + line);
    } else {
        Summary w = summarize(ms);
        f.result = fmt("%.0f ms / max %.0f ms", w.median, w.max);
        f.verdict = w.min >= kStartLockWaitGoalMs && w.median <= kStartLockWaitGoalMs + 50 ? Verdict::met
                                                                                            : Verdict::missed;
        f.summary("ms", w, 1.0);
        f.notes.push_back("fork+exec until the start's failure line has been read and its pipe closed, 10 runs, "
                          "the lock held by the benchmark throughout");
    }
    ctx.report->add(std::move(f));
}

}  // namespace

void measure_outdoor_wakeups(Context& ctx) {
    Figure f = plain_figure("wakeups_outdoor_idle", "wake-ups, outdoor mode, no lease");
    f.goal = "0/min";
    unlink(sandbox::kOutdoorLease);
    unlink(sandbox::kOutdoorHealth);
    sandbox::Daemon d;
    if (!d.start({"--outdoor", "--node", ctx.node->brightness_path()}) ||
        !sandbox::wait_outdoor_ready(d, nullptr, std::chrono::seconds(10))) {
        f.result = "error";
        f.verdict = Verdict::error;
        f.notes.push_back("the outdoor daemon did not start: " + d.stderr_text());
        ctx.report->add(std::move(f));
        return;
    }
    sleep_ms(300);
    int64_t csw0 = status_field(d.pid(), "voluntary_ctxt_switches");
    WakeupCount c = count_wakeups(d.pid(), static_cast<int64_t>(ctx.sizes.outdoor_wakeup_seconds) * 1000, nullptr,
                                  nullptr);
    int64_t csw1 = status_field(d.pid(), "voluntary_ctxt_switches");
    d.signal(SIGTERM);
    int code = d.wait_exit(std::chrono::seconds(10));
    if (!c.ok) {
        f.result = "unavailable";
        f.verdict = Verdict::unavailable;
        f.notes.push_back(c.why);
    } else {
        double per_min = static_cast<double>(c.returns) * 60.0 / c.window_s;
        f.result = fmt("%.1f/min", per_min);
        f.baseline = fmt("%.0f s window", c.window_s);
        f.verdict = c.returns == 0 ? Verdict::met : Verdict::missed;
        f.num("window_s", c.window_s);
        f.num("wakeups", static_cast<double>(c.returns));
        f.num("wakeups_per_min", per_min);
        f.num("voluntary_switches", static_cast<double>(csw1 - csw0));
        f.notes.push_back("ppoll returns counted with strace attached for the window; nothing is written in "
                          "/data/system meanwhile");
    }
    if (code != 0) f.notes.push_back(fmt("the outdoor daemon ended with %d", code));
    ctx.report->add(std::move(f));
    measure_outdoor_busy_panel(ctx);
    measure_outdoor_busy_nothing_kept(ctx);
    measure_start_lock_wait(ctx);
    measure_owner_keeper(ctx);
}

// The owner's keeper, which renews the main-panel lease for as long as the
// owner's hold lasts (hours): its wake-ups (one a renewal, every
// KEEPER_RENEW_MS), its renames (one a renewal) and its syncs (none: a
// lease's deadline means nothing after a reboot), counted with strace over
// the window.
void measure_owner_keeper(Context& ctx) {
    Figure f = plain_figure("owner_keeper", "the owner's keeper: wake-ups, renames and syncs");
    f.goal = "15/min, 0 syncs";
    std::string why, strace, trace = "/sandbox/strace-keeper";
    int hold = wait_pid(spawn({sandbox::client_binary(), "hold", "150", "--node", ctx.node->brightness_path()}),
                        30000);
    pid_t keeper = atoi(sandbox::read_file(PRIVATE_DIR "/owner-hold.pid").value_or("0").c_str());
    double window_s = 0;
    if (hold != 0 || keeper <= 0) why = fmt("veltarisctl hold exited %d", hold);
    else if (!tool_available("strace", &strace)) why = "strace is not installed";
    if (why.empty()) {
        pid_t tracer = spawn({strace, "-qq", "-e", "trace=rt_sigtimedwait,fsync,fdatasync,rename,renameat,renameat2",
                              "-e", "signal=none", "-o", trace, "-p", std::to_string(keeper)});
        int64_t deadline = now_ns() + 10000000000LL;
        while (status_field(keeper, "TracerPid") <= 0 && now_ns() < deadline) sleep_ms(1);
        int64_t t0 = now_ns();
        // At least two renewals, also in a quick run: a sync shows only there.
        sleep_ms(std::max<int64_t>(static_cast<int64_t>(ctx.sizes.outdoor_wakeup_seconds) * 1000,
                                   2 * ctl::KEEPER_RENEW_MS + 500));
        window_s = static_cast<double>(now_ns() - t0) / 1e9;
        kill(tracer, SIGINT);
        if (wait_pid(tracer, 10000) < 0) kill_and_wait(tracer);
    }
    wait_pid(spawn({sandbox::client_binary(), "release"}), 30000);
    std::string text = sandbox::read_file(trace).value_or("");
    unlink(trace.c_str());
    auto calls = [&](const char* name) {
        long n = 0;
        for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) ++n;
        return n;
    };
    long wakeups = calls("rt_sigtimedwait(");
    long syncs = calls("fsync(") + calls("fdatasync(");
    long renames = calls("rename");
    if (!why.empty() || window_s <= 0) {
        f.result = "error";
        f.verdict = Verdict::error;
        f.notes.push_back(why.empty() ? "strace did not attach" : why);
    } else {
        double per_min = static_cast<double>(wakeups) * 60.0 / window_s;
        f.result = fmt("%.1f/min, %ld syncs, %ld renames", per_min, syncs, renames);
        f.baseline = fmt("%.0f s window", window_s);
        // A count that cannot flake: one sync would be a fault, whatever the
        // window (the rate depends on the window's length in a short run).
        f.gate = true;
        f.verdict = syncs == 0 ? Verdict::met : Verdict::missed;
        f.num("window_s", window_s);
        f.num("wakeups", static_cast<double>(wakeups));
        f.num("syncs", static_cast<double>(syncs));
        f.num("renames", static_cast<double>(renames));
        f.notes.push_back("veltarisctl hold 150 on the panel; the keeper's sigtimedwait calls, syncs and renames "
                          "counted with strace attached for the window, then veltarisctl release");
    }
    ctx.report->add(std::move(f));
}

namespace {

std::string valgrind_prefix(const std::string& name) { return "/sandbox/vg-" + name; }

bool start_under_valgrind(sandbox::Daemon& d, const std::string& name, const std::vector<std::string>& args,
                          std::string* why) {
    std::string valgrind;
    if (!tool_available("valgrind", &valgrind)) {
        *why = "valgrind is not installed";
        return false;
    }
    std::string prefix = valgrind_prefix(name);
    std::string emulator = valgrind + " --tool=memcheck --trace-children=no --error-exitcode=0 --log-file=" +
                           prefix + ".%p --xtree-memory=full --xtree-memory-file=" + prefix + ".%p.xt";
    const char* old = getenv("VELTARIS_EMULATOR");
    std::string saved = old ? old : "";
    setenv("VELTARIS_EMULATOR", emulator.c_str(), 1);
    bool ok = d.start(args);
    if (old) {
        setenv("VELTARIS_EMULATOR", saved.c_str(), 1);
    } else {
        unsetenv("VELTARIS_EMULATOR");
    }
    if (!ok) *why = "the daemon could not be started under valgrind";
    return ok;
}

void fill_heap_figure(Figure& f, const std::string& name, pid_t pid, const std::string& steps) {
    std::string log_path = valgrind_prefix(name) + "." + std::to_string(pid);
    ValgrindLog log = read_valgrind_log(log_path);
    f.goal = "0 allocations";
    if (!log.found) {
        f.result = "no heap summary";
        f.verdict = Verdict::error;
        f.notes.push_back("valgrind log " + log_path + ": " + log.text.substr(0, 600));
        return;
    }
    f.result = fmt("%lld allocs, %lld bytes", log.allocs, log.bytes);
    f.baseline = "";
    f.verdict = log.allocs == 0 ? Verdict::met : Verdict::missed;
    f.gate = true;  // a count: the daemon allocates nothing, so one is a fault
    f.num("allocs", static_cast<double>(log.allocs));
    f.num("frees", static_cast<double>(log.frees));
    f.num("bytes", static_cast<double>(log.bytes));
    f.num("memcheck_errors", static_cast<double>(log.errors));
    f.notes.push_back("valgrind memcheck via VELTARIS_EMULATOR, \"total heap usage\" of the log; run: " + steps);
    if (log.errors > 0) f.notes.push_back(fmt("memcheck reported %lld errors; see %s", log.errors, log_path.c_str()));
    if (log.allocs > 0) {
        for (const std::string& site : allocation_sites(log_path + ".xt")) f.notes.push_back(site);
    }
}

}  // namespace

void measure_heap(Context& ctx) {
    // Main panel: start, ARM, SET, a target change followed by the loop, a
    // foreign write corrected, STATUS, pause and resume with a heartbeat in
    // between, STOP.
    {
        Figure f = plain_figure("heap_main_panel", "heap allocations, full hold cycle");
        std::string why;
        Hold hold(ctx.node->brightness_path());
        ctx.node->set_value(100);
        bool ok = start_under_valgrind(hold.daemon(), "main", {"--daemon", "--node", ctx.node->brightness_path()},
                                       &why);
        if (ok && !sandbox::wait_ready(hold.daemon(), &why, std::chrono::seconds(120))) {
            ok = false;
            why = "under valgrind: " + why;
        }
        pid_t pid = hold.pid();
        if (ok) ok = hold.arm(150, &why);
        if (ok) {
            hold.set_target(160);
            sandbox::wait_until([&] { return ctx.node->value() == 160; }, std::chrono::seconds(10));
            ctx.node->set_value(90);
            sandbox::wait_until([&] { return ctx.node->value() == 160; }, std::chrono::seconds(10));
            timed_request(sandbox::kControlSocketName, "STATUS\n");
            hold.set_paused(true);
            hold.daemon().wait_for_line("NATIVE_PAUSED", std::chrono::seconds(10));
            // Long enough for a heartbeat in a full run.
            for (int i = 0; i < (ctx.options.quick ? 50 : 250); ++i) {
                hold.renew_if_due();
                sleep_ms(10);
            }
            hold.set_paused(false);
            hold.daemon().wait_for_line("NATIVE_RESUMED", std::chrono::seconds(10));
            sleep_ms(300);
            int code = hold.stop();
            if (code != 0) {
                ok = false;
                why = fmt("the daemon under valgrind ended with %d: %s", code, hold.daemon().stderr_text().c_str());
            }
        }
        if (!ok) {
            f.result = why.find("not installed") != std::string::npos ? "unavailable" : "error";
            f.verdict = why.find("not installed") != std::string::npos ? Verdict::unavailable : Verdict::error;
            f.notes.push_back(why);
        } else {
            fill_heap_figure(f, "main", pid,
                             ctx.options.quick ? "start, ARM, SET, lease target change, foreign write corrected, STATUS, "
                                               "pause, resume, STOP"
                                             : "start, ARM, SET, lease target change, foreign write corrected, STATUS, "
                                               "pause with a heartbeat, resume, STOP");
        }
        ctx.report->add(std::move(f));
    }

    // Outdoor: a v1 boost asked by a system_server stand-in, held, ended by
    // the lease, then SIGTERM.
    {
        Figure f = plain_figure("heap_outdoor", "heap allocations, outdoor boost");
        std::string why;
        ctx.node->set_value(100);
        unlink(sandbox::kOutdoorLease);
        unlink(sandbox::kOutdoorHealth);
        pid_t server = sandbox::start_system_server();
        sandbox::Daemon d;
        bool ok = server > 0;
        if (!ok) why = "no system_server stand-in";
        if (ok) ok = start_under_valgrind(d, "outdoor", {"--outdoor", "--node", ctx.node->brightness_path()}, &why);
        if (ok) {
            ok = sandbox::wait_outdoor_ready(d, nullptr, std::chrono::seconds(120));
            if (!ok) why = "the outdoor daemon did not start under valgrind: " + d.stderr_text();
        }
        bool boosted = false, restored = false;
        if (ok) {
            // base 100, maximum 255, ratio 500: 100 + 155 * 500 / 1000 = 177.
            int64_t deadline = sandbox::monotonic_ms() + 20000;
            while (sandbox::monotonic_ms() < deadline && !boosted) {
                write_outdoor_lease("v1", server, 500, 1);
                for (int i = 0; i < 40 && !boosted; ++i) {
                    boosted = ctx.node->value() == 177;
                    sleep_ms(10);
                }
            }
            write_outdoor_lease("v1", server, 500, 0);
            restored = sandbox::wait_until([&] { return ctx.node->value() == 100; }, std::chrono::seconds(20));
            d.signal(SIGTERM);
            int code = d.wait_exit(std::chrono::seconds(60));
            if (code != 0) {
                ok = false;
                why = fmt("the outdoor daemon under valgrind ended with %d", code);
            }
        }
        if (server > 0) sandbox::stop_process(server);
        unlink(sandbox::kOutdoorLease);
        if (!ok) {
            f.result = why.find("not installed") != std::string::npos ? "unavailable" : "error";
            f.verdict = why.find("not installed") != std::string::npos ? Verdict::unavailable : Verdict::error;
            f.notes.push_back(why);
        } else {
            fill_heap_figure(f, "outdoor", d.pid(),
                             fmt("start, v1 lease 500 per mille renewed by rename, boost to 177 %s, lease held 0, "
                                 "base 100 %s, SIGTERM",
                                 boosted ? "seen" : "NOT seen", restored ? "restored" : "NOT restored"));
            if (!boosted || !restored) f.verdict = Verdict::error;
        }
        ctx.report->add(std::move(f));
    }
}

namespace {

struct ElfSizes {
    bool ok = false;
    bool aarch64 = false;
    bool is_static = true;
    unsigned long long file_size = 0;
    unsigned long long load_file = 0;  // bytes of the file that are loaded
    unsigned long long load_mem = 0;   // memory the loaded segments take
};

ElfSizes elf_sizes(const std::string& path) {
    ElfSizes e;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return e;
    struct stat st;
    Elf64_Ehdr eh;
    if (fstat(fd, &st) != 0 || pread(fd, &eh, sizeof eh, 0) != static_cast<ssize_t>(sizeof eh) ||
        memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) {
        close(fd);
        return e;
    }
    e.file_size = static_cast<unsigned long long>(st.st_size);
    e.aarch64 = eh.e_machine == EM_AARCH64;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        off_t at = static_cast<off_t>(eh.e_phoff + static_cast<Elf64_Off>(i) * eh.e_phentsize);
        if (pread(fd, &ph, sizeof ph, at) != static_cast<ssize_t>(sizeof ph)) break;
        if (ph.p_type == PT_INTERP) e.is_static = false;
        if (ph.p_type == PT_LOAD) {
            e.load_file += ph.p_filesz;
            e.load_mem += ph.p_memsz;
        }
    }
    close(fd);
    e.ok = true;
    return e;
}

}  // namespace

void measure_size(Context& ctx) {
    {
        Figure f = plain_figure("peak_resident", "peak resident (VmHWM) while holding");
        pid_t idle = spawn({BENCH_PAUSE_STATIC});
        long long idle_hwm = -1;
        if (idle > 0) {
            sandbox::wait_until([&] { return process_state(idle) == 'S'; }, std::chrono::seconds(5), std::chrono::milliseconds(1));
            idle_hwm = status_field(idle, "VmHWM");
            kill_and_wait(idle);
        }
        f.result = ctx.daemon_hwm_kb >= 0 ? fmt("%lld kB", ctx.daemon_hwm_kb) : "not measured";
        f.baseline = idle_hwm >= 0 ? fmt("static pause() %lld kB", idle_hwm) : "not measured";
        if (ctx.daemon_hwm_kb > 0 && idle_hwm > 0) {
            f.ratio = static_cast<double>(ctx.daemon_hwm_kb) / static_cast<double>(idle_hwm);
        }
        f.num("daemon_vmhwm_kb", static_cast<double>(ctx.daemon_hwm_kb));
        f.num("daemon_vmrss_kb", static_cast<double>(ctx.daemon_rss_kb));
        f.num("static_pause_vmhwm_kb", static_cast<double>(idle_hwm));
        f.verdict = ctx.daemon_hwm_kb > 0 && idle_hwm > 0 ? Verdict::info : Verdict::error;
        f.notes.push_back("VmHWM of /proc/PID/status: the daemon after the CPU window of its active hold (the host "
                          "build, dynamically linked), and a static program blocked in pause()");
        ctx.report->add(std::move(f));
    }
    {
        Figure f = plain_figure("binary_size_arm64", "static arm64 binary size");
        std::string path = std::string(VELTARIS_SOURCE_DIR) + "/build-arm64/bin/veltarisd";
        ElfSizes e = elf_sizes(path);
        f.text("path", path);
        if (!e.ok) {
            f.result = "not built";
            f.verdict = Verdict::unavailable;
        } else {
            f.result = fmt("%llu bytes", e.file_size);
            f.baseline = fmt("loaded %llu kB", e.load_mem / 1024);
            f.num("file_bytes", static_cast<double>(e.file_size));
            f.num("loadable_file_bytes", static_cast<double>(e.load_file));
            f.num("loadable_memory_bytes", static_cast<double>(e.load_mem));
            f.text("machine", e.aarch64 ? "aarch64" : "other");
            f.text("linking", e.is_static ? "static" : "dynamic");
            f.notes.push_back(fmt("%s, %s; file size includes symbols unless stripped; loadable segments %llu "
                                  "bytes in the file, %llu bytes in memory",
                                  e.aarch64 ? "aarch64" : "NOT aarch64", e.is_static ? "static" : "NOT static",
                                  e.load_file, e.load_mem));
            f.verdict = e.aarch64 && e.is_static ? Verdict::info : Verdict::error;
        }
        ctx.report->add(std::move(f));
    }
    {
        Figure f = plain_figure("binary_size_host", "host binary size (as tested)");
        ElfSizes e = elf_sizes(sandbox::daemon_binary());
        ElfSizes p = elf_sizes(BENCH_PAUSE_STATIC);
        if (e.ok) {
            f.result = fmt("%llu bytes", e.file_size);
            f.num("file_bytes", static_cast<double>(e.file_size));
            f.num("loadable_memory_bytes", static_cast<double>(e.load_mem));
            f.text("linking", e.is_static ? "static" : "dynamic");
        } else {
            f.result = "unreadable";
        }
        if (p.ok) {
            f.baseline = fmt("static pause() %llu bytes", p.file_size);
            f.num("static_pause_file_bytes", static_cast<double>(p.file_size));
        }
        ctx.report->add(std::move(f));
    }
}

}  // namespace bench
