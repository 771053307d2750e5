// The system calls of each kind of turn of the hold loop, and of a SET,
// against the least the daemon's own algorithm needs. strace is attached
// for a window; its trace is cut into turns at the loop's ppoll, and each
// turn is sorted by what it did. Counts do not depend on the machine's
// noise, so a count above its minimum fails the run (the quick run is part
// of CI): a call added to the hot loop cannot slip in unnoticed.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "bench/bench.h"

namespace bench {
namespace {

// The least each kind of turn needs, call by call. A turn woken by an
// event in the lease directory adds the drain of the events and the look
// for a stop signal that came with them (2); one that printed a correction
// line adds its write (1); one that found the node's write bits given back
// adds the fchmod that clears them (1); one that armed the write guard
// (the first write after a pause) adds the arming (21: the node's identity
// 4, a look for an old record 1, the record made unnamed, written, synced,
// linked and closed 5, its directory opened, synced and closed so that the
// name survives a power cut 3, the identity again 4, the node opened for writing
// and checked through its descriptor 3, the fchmod 1).
struct Minimum {
    const char* kind;
    const char* title;
    int calls;
    const char* which;
};

const Minimum kMinimums[] = {
    {"active", "syscalls per active turn", 11,
     "lease: openat, fstat, read, close (4); kill (1); node identity and value through one descriptor: "
     "openat, fstat, readlink of /proc/self/fd, read, close (5); ppoll (1)"},
    {"correcting", "syscalls per correcting turn", 21,
     "lease (4); kill (1); node identity and value (5); the lease again after arming (4); lseek, write (2); "
     "the guard's mode check, fstat (1); read-back: openat, read, close (3); ppoll (1)"},
    {"paused", "syscalls per paused turn", 6,
     "lease (4); kill (1); ppoll (1) -- woken by the lease's renewal: + the inotify read and rt_sigpending (2)"},
    {"heartbeat", "syscalls per heartbeat turn (paused)", 14,
     "lease (4); kill (1); health record: openat, fstat, ftruncate, fchmod, write, close, rename (7), not synced; "
     "the drain of its own events (1); ppoll (1)"},
    {"set", "syscalls per SET (accept to close)", 29,
     "accept4, getsockopt, setsockopt x2, recvfrom (5); lease (4); node identity and value (5); the lease "
     "again after arming (4); lseek, write (2); mode check (1); read-back (3); the reply's node read: "
     "openat, read, close (3); sendto, close (2) -- arming the guard on the way: + its 21"},
};

struct Kind {
    long turns = 0;
    long calls = 0;
    long minimum = 0;     // the sum of each turn's own minimum
    long above = 0;       // turns above their minimum
    long worst_extra = 0;
    std::string example;  // the first turn above its minimum
};

bool is_wait(const std::string& line) {
    return line.rfind("ppoll(", 0) == 0 || line.rfind("restart_syscall(", 0) == 0 ||
           line.rfind("<... ppoll resumed>", 0) == 0;
}

// Fills kinds from the trace of a window in which the hold was paused (or
// not). Returns the number of turns that fitted no kind.
long sort_turns(const std::vector<std::string>& lines, bool paused, std::map<std::string, Kind>* kinds) {
    long unsorted = 0;
    size_t start = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (is_wait(lines[i])) {
            start = i;
            break;
        }
    }
    while (start < lines.size()) {
        size_t end = start + 1;
        while (end < lines.size() && !is_wait(lines[end])) ++end;
        if (end >= lines.size()) break;  // the window closed inside this turn
        // The turn: what the wait at `start` returned, the calls after it,
        // and the next wait.
        const std::string& woke = lines[start];
        bool by_event = woke.find(" = 1 ") != std::string::npos || woke.find(" = 2 ") != std::string::npos;
        long calls = static_cast<long>(end - start);
        bool node_read = false, node_write = false, health = false, line_out = false, rechmod = false;
        bool arming = false;
        size_t accept_at = 0, conn_close_at = 0;
        bool set_request = false, set_arming = false;
        std::string conn;
        for (size_t k = start + 1; k <= end; ++k) {
            const std::string& c = lines[k];
            if (c.rfind("openat(", 0) == 0 && c.find(sandbox::kNodePath) != std::string::npos &&
                c.find("O_RDONLY") != std::string::npos) {
                node_read = true;
            }
            if (c.rfind("write(", 0) == 0 && c.find("brightness>") != std::string::npos) node_write = true;
            if (c.rfind("fchmod(", 0) == 0 && c.find("brightness>") != std::string::npos) rechmod = true;
            if (c.find("O_TMPFILE") != std::string::npos) {
                arming = true;
                // A SET that comes before the turn that would have corrected
                // a foreign write arms the guard itself.
                if (accept_at != 0 && conn_close_at == 0) set_arming = true;
            }
            if (c.rfind("rename(", 0) == 0 && c.find("health") != std::string::npos) health = true;
            if (c.rfind("write(2", 0) == 0 && c.find("NATIVE_CORRECTION") != std::string::npos) line_out = true;
            if (c.rfind("accept4(", 0) == 0) {
                accept_at = k;
                size_t eq = c.rfind(" = ");
                if (eq != std::string::npos) conn = c.substr(eq + 3);
                conn = conn.substr(0, conn.find('<'));
            }
            if (c.rfind("recvfrom(", 0) == 0 && c.find("\"SET ") != std::string::npos) set_request = true;
            if (accept_at != 0 && conn_close_at == 0 && c.rfind("close(" + conn, 0) == 0) conn_close_at = k;
        }
        std::string kind;
        long minimum = 0;
        long span = calls;
        if (accept_at != 0) {
            if (set_request && conn_close_at != 0) {
                kind = "set";
                span = static_cast<long>(conn_close_at - accept_at + 1);
                minimum = 29 + (set_arming ? 21 : 0);
            }
        } else if (node_write) {
            kind = "correcting";
            // Arming's own fchmod is in its 21.
            minimum = 21 + (line_out ? 1 : 0) + (arming ? 21 : (rechmod ? 1 : 0)) + (by_event ? 2 : 0);
        } else if (!paused && node_read && !health && !by_event) {
            kind = "active";
            minimum = 11 + (rechmod ? 1 : 0);
        } else if (paused && health && !node_read) {
            kind = "heartbeat";
            minimum = 14 + (by_event ? 2 : 0);
        } else if (paused && !health && !node_read) {
            kind = "paused";
            minimum = 6 + (by_event ? 2 : 0);
        }
        if (kind.empty()) {
            ++unsorted;
        } else {
            Kind& k = (*kinds)[kind];
            ++k.turns;
            k.calls += span;
            k.minimum += minimum;
            if (span > minimum) {
                ++k.above;
                if (span - minimum > k.worst_extra) k.worst_extra = span - minimum;
                if (k.example.empty()) {
                    for (size_t j = start; j <= end; ++j) k.example += lines[j].substr(0, 120) + "\n";
                }
            }
        }
        start = end;
    }
    return unsorted;
}

// The file a traced call's first descriptor names ("write(6</data/x>, ..."
// gives "/data/x"), or empty.
std::string descriptor_path(const std::string& line) {
    size_t open = line.find('<');
    size_t paren = line.find('(');
    if (open == std::string::npos || paren == std::string::npos || open > line.find(',', paren)) return "";
    size_t close = line.find('>', open);
    return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

// What an active hold costs the flash, from the trace of a window that
// lies between the guard's arming and its release: every call that
// flushes to disk, and the bytes written to files (not the node, whose
// sysfs writes never reach the flash, nor pipes and sockets).
void flash_figures(Context& ctx, const std::vector<std::string>& lines, int64_t window_ms, const std::string& why) {
    static const char* const kSyncCalls[] = {"fsync(", "fdatasync(", "syncfs(", "sync_file_range(", "sync(",
                                             "msync("};
    static const char* const kWriteCalls[] = {"write(", "pwrite64(", "writev(", "pwritev("};
    Figure syncs;
    syncs.id = "flash_syncs_active_hold";
    syncs.title = "syncs per minute of an active hold";
    syncs.goal = "0 between arming and release";
    syncs.gate = true;
    Figure bytes;
    bytes.id = "flash_bytes_active_hold";
    bytes.title = "bytes written per hour (active hold)";
    if (lines.empty()) {
        for (Figure* f : {&syncs, &bytes}) {
            f->result = "unavailable";
            f->verdict = Verdict::unavailable;
            f->notes.push_back(why);
        }
        ctx.report->add(std::move(syncs));
        ctx.report->add(std::move(bytes));
        return;
    }
    long sync_calls = 0, file_writes = 0;
    double written = 0;
    std::string first_sync;
    std::map<std::string, double> by_file;
    for (const std::string& c : lines) {
        for (const char* call : kSyncCalls) {
            if (c.rfind(call, 0) != 0) continue;
            ++sync_calls;
            if (first_sync.empty()) first_sync = c.substr(0, 160);
        }
        for (const char* call : kWriteCalls) {
            if (c.rfind(call, 0) != 0) continue;
            std::string path = descriptor_path(c);
            if (path.empty() || path[0] != '/' || path.rfind("/sys/", 0) == 0 || path.rfind("/proc/", 0) == 0 ||
                path.rfind("/dev/", 0) == 0) {
                continue;
            }
            size_t eq = c.rfind(" = ");
            long n = eq == std::string::npos ? -1 : atol(c.c_str() + eq + 3);
            if (n <= 0) continue;
            ++file_writes;
            written += static_cast<double>(n);
            by_file[path] += static_cast<double>(n);
        }
    }
    const double window_s = static_cast<double>(window_ms) / 1000.0;
    const double per_minute = static_cast<double>(sync_calls) * 60.0 / window_s;
    syncs.result = fmt("%.1f/min (%ld in %.1f s)", per_minute, sync_calls, window_s);
    syncs.verdict = sync_calls == 0 ? Verdict::met : Verdict::missed;
    syncs.num("sync_calls", static_cast<double>(sync_calls));
    syncs.num("window_s", window_s);
    syncs.num("per_minute", per_minute);
    syncs.notes.push_back(
        "fsync, fdatasync, syncfs, sync_file_range, sync and msync of the daemon, counted in the active window of "
        "the system-call trace (guard armed before it, released after it; lease renewed every second, foreign "
        "writes corrected, SETs)");
    if (!first_sync.empty()) syncs.notes.push_back("the first: " + first_sync);
    const double per_hour = written * 3600.0 / window_s;
    bytes.result = fmt("%.0f bytes/h", per_hour);
    bytes.num("bytes_in_window", written);
    bytes.num("writes_in_window", static_cast<double>(file_writes));
    bytes.num("bytes_per_hour", per_hour);
    bytes.notes.push_back(fmt("bytes the daemon wrote to files (not the sysfs node, pipes or sockets) in %ld writes "
                              "over %.1f s, scaled to an hour",
                              file_writes, window_s));
    for (const auto& [path, n] : by_file) bytes.notes.push_back(fmt("%s: %.0f bytes in the window", path.c_str(), n));
    ctx.report->add(std::move(syncs));
    ctx.report->add(std::move(bytes));
}

}  // namespace

std::vector<std::string> trace_calls(pid_t pid, int64_t window_ms, const std::function<void()>& tick,
                                     std::string* why) {
    std::vector<std::string> lines;
    std::string strace;
    if (!tool_available("strace", &strace)) {
        *why = "strace is not installed";
        return lines;
    }
    // BENCH_KEEP_TRACES=DIR keeps the raw traces there (a host directory
    // the sandbox binds, such as /tmp) for a closer look.
    const char* keep_dir = getenv("BENCH_KEEP_TRACES");
    std::string out = std::string(keep_dir ? keep_dir : "/sandbox") + "/syscalls-" + std::to_string(pid) + "-" +
                      std::to_string(now_ns());
    // -y names each descriptor's file, which tells the node's write from
    // the others; one thread, so no -f.
    pid_t tracer = spawn({strace, "-qq", "-y", "-s", "64", "-e", "signal=none", "-o", out, "-p",
                          std::to_string(pid)});
    if (tracer < 0) {
        *why = "strace could not be started";
        return lines;
    }
    int64_t attach_deadline = now_ns() + 10000000000LL;
    while (status_field(pid, "TracerPid") <= 0) {
        if (now_ns() > attach_deadline || process_state(tracer) == 0 || process_state(tracer) == 'Z') {
            kill_and_wait(tracer);
            *why = "strace did not attach";
            return lines;
        }
        sleep_ms(1);
    }
    int64_t end = now_ns() + window_ms * 1000000;
    while (now_ns() < end) {
        if (tick) tick();
        sleep_ms(10);
    }
    kill(tracer, SIGINT);
    if (wait_pid(tracer, 10000) < 0) kill_and_wait(tracer);
    std::ifstream in(out);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    if (!keep_dir) unlink(out.c_str());
    if (lines.empty()) *why = "no strace output";
    return lines;
}

void measure_syscalls(Context& ctx, Hold& hold) {
    int64_t window_ms = static_cast<int64_t>(ctx.sizes.syscall_seconds) * 1000;
    std::map<std::string, Kind> kinds;
    long unsorted = 0;
    std::string why;

    // Active: the lease renewed every second, another writer moving the
    // node now and then (correcting turns), and a SET now and then.
    hold.set_paused(false);
    for (int i = 0; i < 50; ++i) {
        hold.renew_if_due();
        sleep_ms(10);
    }
    // A SET arms the write guard if an earlier pause released it (the node
    // then lacks its write bits), so that the window lies between arming
    // and release.
    for (int i = 0; i < 50 && (ctx.node->mode() & 0222) != 0; ++i) {
        timed_request(sandbox::kControlSocketName, fmt("SET %s %d\n", kSession, hold.target()));
        hold.renew_if_due();
        sleep_ms(20);
    }
    int64_t next_foreign = now_ns() + 300000000LL, next_set = now_ns() + 500000000LL;
    int foreign = 0;
    auto active_tick = [&] {
        hold.renew_if_due(1000);
        if (now_ns() >= next_foreign) {
            ctx.node->set_value(80 + (foreign++ % 2));
            next_foreign = now_ns() + 700000000LL;
        }
        if (now_ns() >= next_set) {
            timed_request(sandbox::kControlSocketName, fmt("SET %s %d\n", kSession, hold.target()));
            next_set = now_ns() + 900000000LL;
        }
    };
    std::vector<std::string> active = trace_calls(hold.pid(), window_ms, active_tick, &why);
    ctx.node->set_value(hold.target());
    unsorted += sort_turns(active, false, &kinds);
    flash_figures(ctx, active, window_ms, why);

    hold.set_paused(true);
    for (int i = 0; i < 50; ++i) {
        hold.renew_if_due();
        sleep_ms(10);
    }
    std::vector<std::string> paused =
        trace_calls(hold.pid(), window_ms + 2000, [&] { hold.renew_if_due(1000); }, &why);
    unsorted += sort_turns(paused, true, &kinds);
    hold.set_paused(false);

    for (const Minimum& m : kMinimums) {
        Figure f;
        f.id = std::string("syscalls_") + m.kind;
        f.title = m.title;
        f.goal = "at the minimum";
        f.gate = true;
        const Kind& k = kinds[m.kind];
        if (active.empty() && paused.empty()) {
            f.result = "unavailable";
            f.verdict = Verdict::unavailable;
            f.notes.push_back(why);
            ctx.report->add(std::move(f));
            continue;
        }
        if (k.turns == 0) {
            f.result = "no such turn seen";
            f.verdict = Verdict::error;
            f.notes.push_back("the window held no turn of this kind");
            ctx.report->add(std::move(f));
            continue;
        }
        double mean = static_cast<double>(k.calls) / static_cast<double>(k.turns);
        double least = static_cast<double>(k.minimum) / static_cast<double>(k.turns);
        f.result = fmt("%.2f calls (%ld turns)", mean, k.turns);
        f.baseline = fmt("minimum %.2f", least);
        f.ratio = mean / least;
        f.verdict = k.above == 0 ? Verdict::met : Verdict::missed;
        f.num("turns", static_cast<double>(k.turns));
        f.num("calls_per_turn", mean);
        f.num("minimum_per_turn", least);
        f.num("base_minimum", m.calls);
        f.num("turns_above_minimum", static_cast<double>(k.above));
        f.num("worst_extra_calls", static_cast<double>(k.worst_extra));
        f.notes.push_back(std::string("the minimum: ") + m.which);
        if (!k.example.empty()) f.notes.push_back("a turn above its minimum:\n" + k.example);
        ctx.report->add(std::move(f));
    }
    if (unsorted > 0) {
        Figure f;
        f.id = "syscalls_other_turns";
        f.title = "turns of no counted kind";
        f.result = fmt("%ld turns", unsorted);
        f.notes.push_back("e.g. a heartbeat or a renewal while active, which share a turn with other work");
        ctx.report->add(std::move(f));
    }
}

}  // namespace bench
