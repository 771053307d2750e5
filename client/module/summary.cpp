// `probe --summary`, the report the module's action button shows: what
// probe gathers, and what a running main-panel daemon says of itself, in a
// few lines (format_probe_summary, in module_lines.cpp).
#include <stdio.h>

#include <string>

#include "client/control/exit_status.h"
#include "client/control/lines.h"
#include "client/control/run.h"
#include "client/module/module.h"
#include "client/probe/probe.h"
#include "common/clock.h"

namespace ctl {

int run_probe_summary() {
    probe_report report = gather_probe(monotonic_ms);
    // What the main-panel daemon says of itself, when one runs.
    std::string said;
    if (report.service.main_pid > 0) {
        request_fields status;
        status.kind = request_kind::status;
        std::string request, reply, error;
        bool asked = format_request(status, &request, &error) && control_exchange(request, &reply, &error);
        said = asked ? summarize_status_reply(reply) : "no answer: " + error;
    }
    fputs(format_probe_summary(report, said).c_str(), stdout);
    fflush(stdout);
    // The summary is a report for the action button: no panel is a line
    // in it, not a failure of the button.
    return EXIT_OK;
}

}  // namespace ctl
