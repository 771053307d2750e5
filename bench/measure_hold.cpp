// The measurements on a running main-panel daemon: control round trips
// (idle and holding), SET latency, foreign-write correction, the CPU cost
// of a hold, its wake-ups and its resident size.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "bench/bench.h"

namespace bench {
namespace {

// Ratio figure over two latency series: median and p99 of each, the
// median ratio judged against limit.
Figure latency_figure(const std::string& id, const std::string& title, const std::vector<double>& measured,
                      const std::vector<double>& floor, double limit, const std::string& goal) {
    Figure f;
    f.id = id;
    f.title = title;
    Summary m = summarize(measured);
    Summary b = summarize(floor);
    f.result = fmt_us(m.median) + " / p99 " + fmt_us(m.p99);
    f.baseline = fmt_us(b.median) + " / p99 " + fmt_us(b.p99);
    f.ratio = m.median / b.median;
    f.goal = goal;
    f.summary("us", m, 1e-3);
    f.summary("floor_us", b, 1e-3);
    f.num("ratio_median", f.ratio);
    f.num("ratio_p99", m.p99 / b.p99);
    if (m.n == 0 || b.n == 0) {
        f.verdict = Verdict::error;
    } else if (limit > 0) {
        f.verdict = f.ratio <= limit ? Verdict::met : Verdict::missed;
    }
    return f;
}

Figure error_figure(const std::string& id, const std::string& title, const std::string& why) {
    Figure f;
    f.id = id;
    f.title = title;
    f.result = "error";
    f.verdict = Verdict::error;
    f.notes.push_back(why);
    return f;
}

// Interleaves the daemon's STATUS round trips with the floor's, in random
// order within each pair, so that the noise of the machine falls on both
// alike. before_each runs outside the timed part.
struct RoundTrips {
    std::vector<double> daemon_ns;
    std::vector<double> floor_ns;
    int failures = 0;
};

RoundTrips round_trips(Context& ctx, int count, const std::function<bool()>& before_each) {
    RoundTrips r;
    for (int i = 0; i < count + ctx.sizes.warmup; ++i) {
        if (before_each && !before_each()) {
            ++r.failures;
            continue;
        }
        bool daemon_first = (ctx.rng() & 1) != 0;
        for (int side = 0; side < 2; ++side) {
            bool daemon_turn = (side == 0) == daemon_first;
            int64_t ns = 0;
            auto reply = timed_request(daemon_turn ? sandbox::kControlSocketName : kFloorSocketName,
                                       "STATUS\n", &ns);
            bool ok = reply && (!daemon_turn || sandbox::reason_of(reply) == "status");
            if (!ok) {
                ++r.failures;
                continue;
            }
            if (i < ctx.sizes.warmup) continue;
            (daemon_turn ? r.daemon_ns : r.floor_ns).push_back(static_cast<double>(ns));
        }
    }
    return r;
}

// The floor server answers with a line as long as the daemon's own reply.
size_t status_reply_size() {
    auto reply = timed_request(sandbox::kControlSocketName, "STATUS\n");
    return reply ? reply->size() : 400;
}

void round_trip_notes(Figure& f, const RoundTrips& r) {
    f.num("failed_requests", r.failures);
    f.notes.push_back(
        "per request: socket, connect, send \"STATUS\\n\", read to end of file, as root; the floor is a forked "
        "server in the same sandbox that accepts, reads the line, reads the node once (open/read/close) and "
        "answers a line as long as the daemon's reply; requests alternate in random order");
}

void measure_control_armed(Context& ctx, Hold& hold) {
    size_t reply_size = status_reply_size();
    pid_t floor_server = start_floor_server(ctx.node->brightness_path(), reply_size);
    if (floor_server < 0) {
        ctx.report->add(error_figure("control_round_trip_holding", "STATUS round trip, holding",
                                     "the floor server could not be started"));
        return;
    }
    RoundTrips r = round_trips(ctx, ctx.sizes.round_trips, [&] {
        hold.renew_if_due();
        return true;
    });
    kill_and_wait(floor_server);
    Figure f = latency_figure("control_round_trip_holding", "STATUS round trip, holding (active)", r.daemon_ns,
                              r.floor_ns, 1.5, "median <= 1.5x floor");
    round_trip_notes(f, r);
    f.notes.push_back("holding: armed, lease active and renewed every second, node read back every 250 ms");
    ctx.report->add(std::move(f));
}

void measure_set(Context& ctx, Hold& hold) {
    // Three sides in random order each round, so that the machine's noise
    // falls on all of them alike: the daemon's SET, the floor server making
    // exactly a SET's calls, and the narrower floor of before (the lease
    // replacement plus one write and one read-back of the twin node).
    enum { DAEMON, FLOOR, NODE_ONLY, SIDES };
    std::vector<double> series[SIDES];
    int failures[SIDES] = {};
    std::string floor_node = ctx.floor->brightness_path();
    const std::string floor_lease = std::string(kFloorDir) + "/lease";
    pid_t floor_server = start_set_floor_server(floor_lease, floor_node);
    if (floor_server < 0) {
        ctx.report->add(error_figure("set_latency", "SET latency (lease rename + SET)",
                                     "the SET floor server could not be started"));
        return;
    }
    int node_reads0 = ctx.node->reads_served(), node_writes0 = ctx.node->writes_received();
    for (int i = 0; i < ctx.sizes.set_requests + ctx.sizes.warmup; ++i) {
        int value = 120 + (i % 2);
        int order[SIDES] = {DAEMON, FLOOR, NODE_ONLY};
        std::shuffle(order, order + SIDES, ctx.rng);
        for (int side : order) {
            std::string lease = sandbox::main_panel_lease_line(kSession, getpid(), sandbox::monotonic_ms() + 5000, 1,
                                                               value);
            int64_t t0 = now_ns();
            bool ok;
            if (side == DAEMON) {
                ok = hold.set_target(value);
                auto reply = ok ? timed_request(sandbox::kControlSocketName, fmt("SET %s %d\n", kSession, value))
                                : std::nullopt;
                ok = sandbox::reason_of(reply) == "readback_ok";
            } else if (side == FLOOR) {
                ok = replace_as_system(kFloorDir, "lease", lease) &&
                     timed_request(kFloorSocketName, fmt("SET %s %d\n", kSession, value)).has_value();
            } else {
                ok = replace_as_system(kFloorDir, "lease", lease) && write_and_read_back(floor_node, value);
            }
            int64_t ns = now_ns() - t0;
            if (!ok) {
                ++failures[side];
            } else if (i >= ctx.sizes.warmup) {
                series[side].push_back(static_cast<double>(ns));
            }
            // The daemon may still be draining the lease's file events; let
            // that settle so it does not land on the other side's clock.
            sleep_ms(2);
        }
    }
    kill_and_wait(floor_server);
    double ops = static_cast<double>(ctx.sizes.set_requests + ctx.sizes.warmup);
    Figure f = latency_figure("set_latency", "SET latency (lease rename + SET)", series[DAEMON], series[FLOOR], 1.3,
                              "median <= 1.3x floor");
    f.num("failed_requests", failures[DAEMON]);
    f.num("failed_floor_requests", failures[FLOOR]);
    // Requests reaching the fake node per operation (the daemon's own
    // read-backs every 250 ms add a little to its side).
    f.num("node_reads_per_set", (ctx.node->reads_served() - node_reads0) / ops);
    f.num("node_writes_per_set", (ctx.node->writes_received() - node_writes0) / ops);
    f.notes.push_back(
        "measured: lease rewritten (temporary file written as root, fchown 1000:1000, fchmod 0600, rename) "
        "with the new target, then SET to \"readback_ok\"; floor: the same lease replacement in a directory the "
        "daemon does not watch, then the same request to a server that makes exactly a SET's calls (socket "
        "exchange; the lease read twice; the node's identity and value through one descriptor; seek, write and "
        "mode check on a held descriptor; read-back; the reply's node read) on a twin fake node");
    if (failures[DAEMON] > 0 && series[DAEMON].empty()) f.verdict = Verdict::error;
    ctx.report->add(std::move(f));

    Figure n = latency_figure("set_latency_node_floor", "SET latency / narrow floor", series[DAEMON],
                              series[NODE_ONLY], 0, "(diagnostic)");
    n.notes.push_back("the floor of before: the lease replacement plus one write and one read-back of the twin "
                      "node, with no socket and no lease reads");
    ctx.report->add(std::move(n));

    // The SET alone, with the lease already naming the value: what the
    // request itself costs against the node write and read-back it makes.
    std::vector<double> alone, node_only;
    int alone_failures = 0;
    int value = hold.target();
    for (int i = 0; i < ctx.sizes.set_requests + ctx.sizes.warmup; ++i) {
        hold.renew_if_due();
        sleep_ms(2);
        bool measured_first = (ctx.rng() & 1) != 0;
        for (int side = 0; side < 2; ++side) {
            bool measured_turn = (side == 0) == measured_first;
            int64_t t0 = now_ns();
            bool ok;
            if (measured_turn) {
                auto reply = timed_request(sandbox::kControlSocketName, fmt("SET %s %d\n", kSession, value));
                ok = sandbox::reason_of(reply) == "readback_ok";
            } else {
                ok = write_and_read_back(floor_node, value);
            }
            int64_t ns = now_ns() - t0;
            if (!ok) {
                ++alone_failures;
            } else if (i >= ctx.sizes.warmup) {
                (measured_turn ? alone : node_only).push_back(static_cast<double>(ns));
            }
        }
    }
    Figure g = latency_figure("set_latency_lease_unchanged", "SET alone (lease unchanged)", alone, node_only, 0,
                              "(diagnostic)");
    g.num("failed_requests", alone_failures);
    g.notes.push_back("SET of the value the lease already names, no lease rewrite; floor: one write and one "
                      "read-back of the twin node");
    ctx.report->add(std::move(g));
}

void measure_correction(Context& ctx, Hold& hold) {
    std::vector<double> latencies;
    int timeouts = 0;
    int target = hold.target();
    std::uniform_int_distribution<int> phase(0, 249);
    for (int trial = 0; trial < ctx.sizes.correction_trials; ++trial) {
        hold.renew_if_due();
        // A random phase against the daemon's 250 ms read-back, so the
        // trials sample every point of its cycle.
        sleep_ms(phase(ctx.rng));
        int foreign = 80 + (trial % 2);
        int64_t t0 = now_ns();
        ctx.node->set_value(foreign);
        bool corrected = false;
        while (now_ns() - t0 < 3000000000LL) {
            if (ctx.node->value() == target) {
                corrected = true;
                break;
            }
            sleep_ms(1);
        }
        int64_t ns = now_ns() - t0;
        if (corrected) {
            latencies.push_back(static_cast<double>(ns));
        } else {
            ++timeouts;
            ctx.node->set_value(target);
        }
    }
    Figure f;
    f.id = "foreign_write_correction";
    f.title = "foreign write corrected";
    Summary s = summarize(latencies);
    f.result = fmt_ms(s.median) + " / p99 " + fmt_ms(s.p99);
    f.baseline = "period 250 ms";
    f.ratio = s.p99 / 250e6;
    f.goal = "p99 <= 260 ms";
    f.summary("ms", s, 1e-6);
    f.num("timeouts", timeouts);
    f.verdict = latencies.empty() ? Verdict::error : s.p99 <= 260e6 ? Verdict::met : Verdict::missed;
    f.notes.push_back(
        "another writer changes the node (FakeNode::set_value) at a random phase; the node's value is polled "
        "every ~1 ms until the daemon has written the target back; ratio is p99 over the 250 ms read-back period");
    ctx.report->add(std::move(f));
}

// The daemon's CPU while holding on daemon_node, side by side with the
// shell loop writing shell_node.
void measure_holding_cost(Context& ctx, Hold& hold, const std::string& shell_node, const std::string& id,
                          const std::string& title, const std::string& nodes) {
    Figure f;
    f.id = id;
    f.title = title;
    f.goal = ">= 20x less than shell loop";
    std::string sh;
    if (!tool_available("sh", &sh)) {
        f.result = "no /bin/sh";
        f.verdict = Verdict::unavailable;
        ctx.report->add(std::move(f));
        return;
    }
    int64_t shell_start = now_ns();
    pid_t shell = spawn({sh, "-c", "while :; do echo 150 > " + shell_node + "; sleep 0.25; done"});
    if (shell < 0) {
        ctx.report->add(error_figure(f.id, f.title, "the shell loop could not be started"));
        return;
    }
    pid_t timer = start_timer_loop(250);
    pid_t daemon = hold.pid();
    int64_t timer0 = process_cpu_ns(timer);
    int64_t d0 = process_cpu_ns(daemon);
    StatTimes ds0 = stat_times(daemon);
    StatTimes ss0 = stat_times(shell);
    long long csw0 = status_field(daemon, "voluntary_ctxt_switches");
    int64_t t0 = now_ns();
    int64_t end = t0 + static_cast<int64_t>(ctx.sizes.holding_seconds) * 1000000000LL;
    while (now_ns() < end) {
        hold.renew_if_due(1000);
        sleep_ms(10);
    }
    int64_t t1 = now_ns();
    int64_t d1 = process_cpu_ns(daemon);
    int64_t timer1 = process_cpu_ns(timer);
    kill_and_wait(timer);
    StatTimes ds1 = stat_times(daemon);
    StatTimes ss1 = stat_times(shell);
    long long csw1 = status_field(daemon, "voluntary_ctxt_switches");
    kill(shell, SIGKILL);
    int status = 0;
    rusage ru = {};
    // wait4 reports the shell together with every child it reaped (the
    // sleep processes), at microsecond resolution.
    while (wait4(shell, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    int64_t shell_end = now_ns();

    double window_s = static_cast<double>(t1 - t0) / 1e9;
    double shell_life_s = static_cast<double>(shell_end - shell_start) / 1e9;
    double daemon_ms_per_min = static_cast<double>(d1 - d0) / 1e6 / window_s * 60.0;
    double shell_cpu_ms = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
                          static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
    double shell_ms_per_min = shell_cpu_ms / shell_life_s * 60.0;
    double tick_ms = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    double daemon_ticks = static_cast<double>((ds1.utime + ds1.stime) - (ds0.utime + ds0.stime));
    double shell_ticks = static_cast<double>((ss1.utime + ss1.stime + ss1.cutime + ss1.cstime) -
                                             (ss0.utime + ss0.stime + ss0.cutime + ss0.cstime));

    f.result = fmt("%.1f ms/min", daemon_ms_per_min);
    f.baseline = fmt("shell %.1f ms/min", shell_ms_per_min);
    f.ratio = daemon_ms_per_min > 0 ? shell_ms_per_min / daemon_ms_per_min : NAN;
    f.verdict = f.ratio >= 20 ? Verdict::met : Verdict::missed;
    f.num("window_s", window_s);
    f.num("daemon_cpu_ms_per_min", daemon_ms_per_min);
    f.num("shell_cpu_ms_per_min", shell_ms_per_min);
    f.num("shell_less_by_x", f.ratio);
    f.num("daemon_stat_ticks", daemon_ticks);
    f.num("daemon_stat_ms_per_min", daemon_ticks * tick_ms / window_s * 60.0);
    f.num("shell_stat_ticks", shell_ticks);
    f.num("shell_stat_ms_per_min", shell_ticks * tick_ms / window_s * 60.0);
    f.num("daemon_voluntary_switches_per_min", static_cast<double>(csw1 - csw0) / window_s * 60.0);
    f.num("lease_renewals_per_min", 60.0);
    double timer_ms_per_min = static_cast<double>(timer1 - timer0) / 1e6 / window_s * 60.0;
    double wakeups_per_min = static_cast<double>(csw1 - csw0) / window_s * 60.0;
    f.num("timer_loop_250ms_cpu_ms_per_min", timer_ms_per_min);
    f.num("daemon_over_timer_loop_x", daemon_ms_per_min / timer_ms_per_min);
    if (wakeups_per_min > 0) f.num("daemon_cpu_us_per_voluntary_switch", daemon_ms_per_min * 1000.0 / wakeups_per_min);
    f.notes.push_back(fmt("a bare loop sleeping 250 ms in ppoll, measured alongside, costs %.1f ms/min (%.1f us per "
                          "wake-up): the least any process waking 4 times a second costs on this machine; the "
                          "daemon costs %.1fx that",
                          timer_ms_per_min, timer_ms_per_min * 1000.0 / 240.0, daemon_ms_per_min / timer_ms_per_min));
    f.notes.push_back(fmt(
        "side by side for %.0f s: the daemon holding (lease renewed every second by the benchmark) and "
        "`while :; do echo 150 > NODE; sleep 0.25; done` under /bin/sh; ratio = shell / daemon; nodes: %s",
        window_s, nodes.c_str()));
    f.notes.push_back(
        "daemon CPU from its process CPU clock (ns); shell CPU from wait4 (the shell plus the sleep processes it "
        "reaped, us); utime+stime(+cutime+cstime) of /proc/PID/stat are reported too (10 ms ticks, too coarse for "
        "the daemon over a short window)");
    ctx.report->add(std::move(f));

    // The daemon against the least a process waking four times a second
    // costs, side by side with nothing else running (the shell loop above
    // forks twice a second and would cool every cache), window by window so
    // that the spread shows how much a noisy moment moved it.
    std::vector<double> window_ratios, floor_ratios;
    int64_t window_ns = static_cast<int64_t>(ctx.sizes.holding_seconds) * 1000000000LL / ctx.sizes.cpu_windows;
    pid_t bare = start_timer_loop(250);
    pid_t turns = start_turn_floor_loop(sandbox::kMainPanelLease, hold.node_path(), 250);
    for (int i = 0; i < 50; ++i) {
        hold.renew_if_due(1000);
        sleep_ms(10);
    }
    int64_t wd0 = process_cpu_ns(daemon), wt0 = process_cpu_ns(bare), wf0 = process_cpu_ns(turns);
    for (int w = 0; w < ctx.sizes.cpu_windows; ++w) {
        int64_t w_end = now_ns() + window_ns;
        while (now_ns() < w_end) {
            hold.renew_if_due(1000);
            sleep_ms(10);
        }
        int64_t wd1 = process_cpu_ns(daemon), wt1 = process_cpu_ns(bare), wf1 = process_cpu_ns(turns);
        if (wt1 > wt0) window_ratios.push_back(static_cast<double>(wd1 - wd0) / static_cast<double>(wt1 - wt0));
        if (wf1 > wf0) floor_ratios.push_back(static_cast<double>(wd1 - wd0) / static_cast<double>(wf1 - wf0));
        wd0 = wd1;
        wt0 = wt1;
        wf0 = wf1;
    }
    kill_and_wait(bare);
    kill_and_wait(turns);
    Figure b;
    b.id = id + "_vs_bare_loop";
    b.title = title + " / bare loop";
    b.goal = "median <= 2.5x";
    Summary r = summarize(window_ratios);
    b.result = fmt("%.2fx (windows %.2f..%.2f)", r.median, r.min, r.max);
    b.baseline = fmt("bare 250 ms ppoll loop, %zu windows", r.n);
    b.ratio = r.median;
    b.verdict = r.n == 0 ? Verdict::error : r.median <= 2.5 ? Verdict::met : Verdict::missed;
    b.summary("ratio", r);
    for (size_t i = 0; i < window_ratios.size(); ++i) b.num(fmt("window_%zu_ratio", i + 1), window_ratios[i]);
    Summary fr = summarize(floor_ratios);
    b.summary("ratio_to_turn_floor", fr);
    b.notes.push_back(fmt("against a loop making exactly an active turn's calls four times a second, side by side in "
                          "the same windows: %.2fx (windows %.2f..%.2f); the daemon also wakes for each lease "
                          "renewal and heartbeat, about 1.4 times the turns",
                          fr.median, fr.min, fr.max));
    b.notes.push_back(fmt("daemon CPU over the bare loop's, both from their process CPU clocks, in %zu windows of "
                          "%.0f s side by side (lease renewed every second, so the daemon also wakes for each "
                          "renewal and each heartbeat); median and range of the windows",
                          r.n, static_cast<double>(window_ns) / 1e9));
    ctx.report->add(std::move(b));
}

void wakeup_figure(Context& ctx, const std::string& id, const std::string& title, const WakeupCount& c,
                   double expected, const std::string& goal) {
    Figure f;
    f.id = id;
    f.title = title;
    f.goal = goal;
    if (!c.ok) {
        f.result = "unavailable";
        f.verdict = Verdict::unavailable;
        f.notes.push_back(c.why);
        ctx.report->add(std::move(f));
        return;
    }
    double per_min = 60.0 / c.window_s;
    double total = static_cast<double>(c.returns) * per_min;
    double lease = static_cast<double>(c.lease_events) * per_min;
    double own = static_cast<double>(c.own_events) * per_min;
    double renewals = static_cast<double>(c.renewals) * per_min;
    double without_lease = total - lease;
    f.result = fmt("%.0f/min (%.0f w/o lease)", total, without_lease);
    f.baseline = fmt("%.0f renewals/min", renewals);
    f.ratio = expected > 0 ? without_lease / expected : NAN;
    // The lease's writer is the client's business: its wake-ups are judged
    // apart, at most one per renewal.
    bool lease_ok = lease <= renewals * 1.05 + 1;
    f.verdict = (without_lease <= expected * 1.1 + 1 && lease_ok) ? Verdict::met : Verdict::missed;
    f.num("window_s", c.window_s);
    f.num("wakeups_per_min", total);
    f.num("timeouts_per_min", static_cast<double>(c.timeouts) * per_min);
    f.num("lease_event_wakeups_per_min", lease);
    f.num("own_health_record_wakeups_per_min", own);
    f.num("socket_wakeups_per_min", static_cast<double>(c.socket_events) * per_min);
    f.num("other_event_wakeups_per_min", static_cast<double>(c.other_events) * per_min);
    f.num("interrupted_per_min", static_cast<double>(c.interrupted) * per_min);
    f.num("wakeups_without_lease_per_min", without_lease);
    f.num("lease_renewals_per_min", renewals);
    f.num("expected_per_min", expected);
    f.notes.push_back(fmt("%.0f/min: %.0f timeouts, %.0f lease-writer events, %.0f own health-record events, %.0f "
                          "other (ratio = wake-ups without the lease writer's / %.0f)",
                          total, static_cast<double>(c.timeouts) * per_min, lease, own,
                          static_cast<double>(c.socket_events + c.other_events + c.interrupted) * per_min,
                          expected));
    ctx.report->add(std::move(f));
}

void measure_wakeups(Context& ctx, Hold& hold) {
    int64_t window_ms = static_cast<int64_t>(ctx.sizes.wakeup_seconds) * 1000;
    auto renew = [&] { hold.renew_if_due(1000); };
    auto renewals = [&] { return static_cast<long>(hold.renewals()); };
    WakeupCount active = count_wakeups(hold.pid(), window_ms, renew, renewals);
    wakeup_figure(ctx, "wakeups_active_hold", "wake-ups, active hold", active, 240,
                  "~240/min + 1 per renewal");

    hold.set_paused(true);
    for (int i = 0; i < 50; ++i) {
        hold.renew_if_due();
        sleep_ms(10);
    }
    WakeupCount paused = count_wakeups(hold.pid(), window_ms, renew, renewals);
    wakeup_figure(ctx, "wakeups_paused_hold", "wake-ups, paused hold", paused, 30, "~30/min + 1 per renewal");
}

// Outdoor mode beside an active main-panel hold: the hold's lease renewals
// and heartbeats land in /data/system, which outdoor mode watches for its
// own lease. Each wake-up of its wait is one turn, whichever file changed
// (the turn also looks at the node and its maximum), and each turn reads
// the outdoor lease: turns and wake-ups must match. One apart is allowed
// for a wake-up at either edge of the window.
void measure_outdoor_beside_hold(Context& ctx, Hold& hold) {
    Figure f;
    f.id = "outdoor_turns_beside_hold";
    f.title = "outdoor turns beside a main-panel hold";
    f.goal = "1 turn per wake-up";
    unlink(sandbox::kOutdoorLease);
    sandbox::Daemon d;
    if (!d.start({"--outdoor", "--node", ctx.node->brightness_path()}) ||
        !sandbox::wait_outdoor_ready(d, nullptr, std::chrono::seconds(10))) {
        ctx.report->add(error_figure(f.id, f.title, "the outdoor daemon did not start: " + d.stderr_text()));
        return;
    }
    // Its first turn (the panel is busy: nothing to do) comes before the
    // window.
    for (int i = 0; i < 50; ++i) {
        hold.renew_if_due(1000);
        sleep_ms(10);
    }
    int64_t window_ms = static_cast<int64_t>(ctx.sizes.wakeup_seconds) * 1000 + 2000;
    int64_t renewals0 = hold.renewals();
    std::string why;
    std::vector<std::string> calls = trace_calls(d.pid(), window_ms, [&] { hold.renew_if_due(1000); }, &why);
    int64_t renewals = hold.renewals() - renewals0;
    d.signal(SIGTERM);
    int code = d.wait_exit(std::chrono::seconds(10));
    if (calls.empty()) {
        f.result = "unavailable";
        f.verdict = Verdict::unavailable;
        f.notes.push_back(why);
    } else {
        long turns = 0, wakeups = 0;
        for (const std::string& c : calls) {
            if (c.rfind("openat(", 0) == 0 && c.find(sandbox::kOutdoorLease) != std::string::npos) ++turns;
            if (c.rfind("ppoll(", 0) == 0 && c.find(" = 1 ") != std::string::npos) ++wakeups;
        }
        double window_s = static_cast<double>(window_ms) / 1e3;
        double per_min = static_cast<double>(turns) * 60.0 / window_s;
        f.result = fmt("%.1f/min", per_min);
        f.baseline = fmt("%lld renewals, %.0f s", static_cast<long long>(renewals), window_s);
        long apart = turns > wakeups ? turns - wakeups : wakeups - turns;
        f.verdict = wakeups > 0 && apart <= 1 ? Verdict::met : Verdict::missed;
        f.gate = true;
        f.num("window_s", window_s);
        f.num("turns", static_cast<double>(turns));
        f.num("turns_per_min", per_min);
        f.num("wakeups", static_cast<double>(wakeups));
        f.num("hold_renewals", static_cast<double>(renewals));
        f.notes.push_back("the outdoor daemon's ppoll returns counted with strace while a main-panel daemon holds "
                          "the node beside it, its lease renewed every second and its health record rewritten "
                          "every 2 s");
    }
    if (code != 0) f.notes.push_back(fmt("the outdoor daemon ended with %d", code));
    ctx.report->add(std::move(f));
}

// The same CPU comparison with the daemon holding a tmpfs stand-in under
// /sys/devices: every node access then stays in the kernel, as on a real
// sysfs, so the figure shows the daemon's own cost without the FUSE
// server's context switches, which dominate the figure above.
void measure_holding_cost_in_kernel(Context& ctx) {
    const std::string id = "holding_cpu_in_kernel_node";
    const std::string title = "CPU per minute of a hold, in-kernel node";
    std::string node = make_tmpfs_node("tmpfs0-backlight", 100, 255);
    std::string shell_node = std::string(kFloorDir) + "/brightness";
    if (node.empty() || !replace_as_system(kFloorDir, "brightness", "150\n")) {
        ctx.report->add(error_figure(id, title, "the tmpfs stand-in node could not be made"));
        return;
    }
    Hold hold(node);
    std::string why;
    if (!hold.start(&why) || !hold.arm(150, &why)) {
        ctx.report->add(error_figure(id, title, why));
        return;
    }
    for (int i = 0; i < 100; ++i) {
        hold.renew_if_due();
        sleep_ms(10);
    }
    measure_holding_cost(ctx, hold, shell_node, id, title,
                         "the daemon on a tmpfs stand-in node, the shell on a tmpfs file");
    int code = hold.stop();
    if (code != 0) {
        ctx.report->add(error_figure("hold_stop_in_kernel", "hold shutdown (in-kernel node)",
                                     fmt("the daemon ended with %d; stderr: %s", code,
                                         hold.daemon().stderr_text().c_str())));
    }
}

}  // namespace

void measure_control_idle(Context& ctx) {
    const std::string id = "control_round_trip_idle";
    const std::string title = "STATUS round trip, idle (not armed)";
    auto daemon = std::make_unique<sandbox::Daemon>();
    int64_t started_ms = 0;
    auto start = [&]() -> bool {
        if (daemon->running()) {
            timed_request(sandbox::kControlSocketName, "STOP\n");
            daemon->wait_exit(std::chrono::seconds(10));
        }
        daemon = std::make_unique<sandbox::Daemon>();
        if (!daemon->start({"--daemon", "--node", ctx.node->brightness_path()}) || !sandbox::wait_ready(*daemon)) {
            return false;
        }
        started_ms = sandbox::monotonic_ms();
        return true;
    };
    if (!start()) {
        ctx.report->add(error_figure(id, title, "the daemon did not start: " + daemon->stderr_text()));
        return;
    }
    pid_t floor_server = start_floor_server(ctx.node->brightness_path(), status_reply_size());
    if (floor_server < 0) {
        ctx.report->add(error_figure(id, title, "the floor server could not be started"));
        return;
    }
    int restarts = 0;
    RoundTrips r = round_trips(ctx, ctx.sizes.round_trips, [&] {
        // An unarmed daemon ends 10 s after its loop started: start a new one
        // well before.
        if (sandbox::monotonic_ms() - started_ms < 7000 && daemon->running()) return true;
        ++restarts;
        return start();
    });
    kill_and_wait(floor_server);
    timed_request(sandbox::kControlSocketName, "STOP\n");
    daemon->wait_exit(std::chrono::seconds(10));
    Figure f = latency_figure(id, title, r.daemon_ns, r.floor_ns, 1.5, "median <= 1.5x floor");
    round_trip_notes(f, r);
    f.num("daemon_restarts", restarts);
    ctx.report->add(std::move(f));
}

void measure_hold(Context& ctx) {
    Hold hold(ctx.node->brightness_path());
    std::string why;
    if (!hold.start(&why) || !hold.arm(150, &why)) {
        ctx.report->add(error_figure("hold", "hold set-up", why));
        return;
    }
    // "hold" runs every part; each part can also be asked for by name.
    auto part = [&](const char* name) { return ctx.options.wants("hold") || ctx.options.wants(name); };
    if (part("control_holding")) measure_control_armed(ctx, hold);
    if (part("set")) {
        measure_set(ctx, hold);
        hold.set_target(150);
        sleep_ms(300);
    }
    if (part("correction")) measure_correction(ctx, hold);

    // Idle for a moment so that start-up and the measurements above do not
    // count towards the CPU window.
    for (int i = 0; i < 100; ++i) {
        hold.renew_if_due();
        sleep_ms(10);
    }
    if (part("cpu")) {
        measure_holding_cost(ctx, hold, ctx.floor->brightness_path(), "holding_cpu",
                             "CPU per minute of an active hold",
                             "the daemon's fake (FUSE) node, the shell on a twin fake node");
    }
    ctx.daemon_hwm_kb = status_field(hold.pid(), "VmHWM");
    ctx.daemon_rss_kb = status_field(hold.pid(), "VmRSS");
    if (part("wakeups")) measure_wakeups(ctx, hold);
    if (part("syscalls")) measure_syscalls(ctx, hold);
    if (part("wakeups")) measure_outdoor_beside_hold(ctx, hold);
    int code = hold.stop();
    if (code != 0) {
        ctx.report->add(error_figure("hold_stop", "hold shutdown",
                                     fmt("the daemon ended with %d; stderr: %s", code,
                                         hold.daemon().stderr_text().c_str())));
    }
    if (part("cpu")) measure_holding_cost_in_kernel(ctx);
}

}  // namespace bench
