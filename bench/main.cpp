// veltaris_bench: measures the daemon in the test sandbox and prints a
// table of the figures; the same figures go to a JSON file.
//
//   veltaris_bench [--quick] [--json PATH] [--only LIST]
//
// --quick makes every measurement small (for the smoke test): the figures
// are then only a sign of life. --only runs a subset, comma-separated, of
// startup, control, hold (all of: control_holding, set, correction, cpu,
// wakeups), outdoor, heap, size. Needs root: the sandbox is built from
// private mount and network namespaces and FUSE.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "bench/bench.h"

namespace {

constexpr int kExitSkipped = 77;

void usage(FILE* out) {
    fprintf(out,
            "usage: veltaris_bench [--quick] [--json PATH] [--only NAME,...]\n"
            "names: startup control hold outdoor heap size; within hold: control_holding set correction cpu "
            "wakeups\n");
}

// The JSON path is made absolute before the sandbox is entered, where the
// working directory is the new root.
std::string absolute_path(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

std::string first_line_of(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    bench::Options options;
    options.json_path = std::string(VELTARIS_BINARY_DIR) + "/bench-results.json";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            options.quick = true;
        } else if (a == "--json" && i + 1 < argc) {
            options.json_path = argv[++i];
        } else if (a == "--only" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            std::string item;
            while (std::getline(list, item, ',')) options.only.push_back(item);
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    options.json_path = absolute_path(options.json_path);
    auto wanted = [&](const char* name) { return options.wants(name); };

    bench::Report report;
    uint32_t seed = static_cast<uint32_t>(bench::now_ns());
    utsname uts = {};
    uname(&uts);
    time_t wall = time(nullptr);
    char when[64];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime(&wall));
    report.meta("mode", options.quick ? "quick" : "full");
    report.meta("date", when);
    report.meta("kernel", std::string(uts.sysname) + " " + uts.release + " " + uts.machine);
    report.meta("cpus_online", std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    report.meta("loadavg_start", first_line_of("/proc/loadavg"));
    report.meta("daemon", sandbox::daemon_binary());
    report.meta("seed", std::to_string(seed));

    std::string why;
    sandbox::SandboxOptions sandbox_options;
    sandbox::BuildResult built = sandbox::build_sandbox(sandbox_options, &why);
    if (built != sandbox::BuildResult::ok) {
        std::string ignored;
        sandbox::leave_sandbox(&ignored);
        if (built == sandbox::BuildResult::unavailable && !sandbox::running_in_ci()) {
            fprintf(stderr, "bench: skipped: the sandbox is unavailable here: %s\n", why.c_str());
            return kExitSkipped;
        }
        fprintf(stderr, "bench: cannot build the sandbox: %s\n", why.c_str());
        return 1;
    }

    std::string error;
    auto node = sandbox::FakeNode::create({}, &error);
    sandbox::FakeNodeOptions floor_options;
    floor_options.name = "floor0-backlight";
    auto floor = node ? sandbox::FakeNode::create(floor_options, &error) : nullptr;
    if (!node || !floor || (mkdir(bench::kFloorDir, 0771) != 0 && errno != EEXIST)) {
        fprintf(stderr, "bench: cannot make the fake nodes: %s\n", error.c_str());
        sandbox::leave_sandbox(&why);
        return 1;
    }

    bench::Context ctx;
    ctx.options = options;
    ctx.sizes = bench::sizes_for(options);
    ctx.node = node.get();
    ctx.floor = floor.get();
    ctx.rng.seed(seed);
    ctx.report = &report;

    if (wanted("startup")) bench::measure_startup(ctx);
    if (wanted("control")) bench::measure_control_idle(ctx);
    bool any_hold_part = false;
    for (const char* part : {"hold", "control_holding", "set", "correction", "cpu", "wakeups", "syscalls"}) {
        any_hold_part = any_hold_part || wanted(part);
    }
    if (any_hold_part) bench::measure_hold(ctx);
    if (wanted("outdoor")) bench::measure_outdoor_wakeups(ctx);
    if (wanted("heap")) bench::measure_heap(ctx);
    if (wanted("size")) bench::measure_size(ctx);

    report.meta("loadavg_end", first_line_of("/proc/loadavg"));
    node->stop();
    floor->stop();
    if (!sandbox::leave_sandbox(&why)) fprintf(stderr, "bench: leaving the sandbox: %s\n", why.c_str());

    report.print_table();
    if (!report.write_json(options.json_path, &why)) {
        fprintf(stderr, "bench: %s\n", why.c_str());
        return 1;
    }
    printf("\nfigures written to %s (%s run)\n", options.json_path.c_str(), options.quick ? "quick" : "full");
    if (report.errors() > 0) {
        fprintf(stderr, "bench: %d measurement(s) could not be made\n", report.errors());
        return 1;
    }
    if (report.gate_failures() > 0) {
        fprintf(stderr, "bench: %d count(s) above their minimum\n", report.gate_failures());
        return 1;
    }
    return 0;
}
