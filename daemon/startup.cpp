#include "daemon/startup.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/version.h"
#include "mainpanel/control.h"
#include "mainpanel/hold_loop.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "node/permission_record.h"
#include "outdoor/outdoor_loop.h"
#include "process/environment.h"
#include "process/exit_codes.h"
#include "process/state.h"

namespace {

// Only the whole command line "--version" asks for the version; it is
// answered before any check and touches nothing, so it is safe to run as
// any user, next to running daemons.
int is_version_form(int argc, char** argv) {
    return argc == 2 && strcmp(argv[1], "--version") == 0;
}

int print_version(void) {
    static const char kVersionLine[] = "veltarisd " VELTARIS_VERSION " (build " NATIVE_BUILD ")\n";
    ssize_t n = write(STDOUT_FILENO, kVersionLine, sizeof kVersionLine - 1);
    return n == static_cast<ssize_t>(sizeof kVersionLine - 1) ? EXIT_OK : 1;
}

int is_outdoor_form(int argc, char** argv) {
    return argc == 4 && strcmp(argv[1], "--outdoor") == 0 && strcmp(argv[2], "--node") == 0;
}

int common_main_panel_steps(process_state* process) {
    if (geteuid() != 0 || !check_private_directory()) {
        return report_start_failure(EXIT_USAGE_OR_LOCK, "root_private_lock");
    }
    // Outdoor mode's instant on the lock (a probe at every turn) must not
    // refuse a start: a busy lock is waited for, briefly.
    process->lock_fd = take_main_panel_lock_at_start();
    if (process->lock_fd < 0) return report_start_failure(EXIT_USAGE_OR_LOCK, "root_private_lock");
    if (read_boot_identity(process->boot_id) != 0) {
        return report_start_failure(EXIT_BOOT_OR_RESTORE, "boot_identity");
    }
    return EXIT_OK;
}

}  // namespace

int report_start_failure(int code, const char* stage) {
    int err = errno;
    fprintf(stderr, "NATIVE_START_FAIL stage=%s exit=%d errno=%d (%s)\n", stage, code, err,
            strerror(err));
    return code;
}

// "--daemon" does not detach: the platform's client starts main-panel mode
// and keeps it as its child; the word only names the mode.
int start_main_panel(int argc, char** argv) {
    daemon_state* s = &g_daemon;
    if (restore_permissions(s->process.boot_id) != 0) {
        return report_start_failure(EXIT_BOOT_OR_RESTORE, "restore_permissions");
    }
    if (argc == 2) return strcmp(argv[1], "--recover") == 0 ? EXIT_OK : EXIT_USAGE_OR_LOCK;
    if (argc != 4 || strcmp(argv[1], "--daemon") != 0 || strcmp(argv[2], "--node") != 0) {
        return EXIT_USAGE_OR_LOCK;
    }
    if (capture_node(&s->node, argv[3]) != 0) {
        return report_start_failure(EXIT_NODE, "primary_node_identity");
    }
    // A process-group leader cannot start a session; main-panel mode does
    // without one.
    setsid();
    if (escape_app_freezer() != 0) return report_start_failure(EXIT_FREEZER, "escape_app_freezer");

    s->node.maximum = read_sysfs_value(s->node.max_path);
    if (s->node.maximum < MAXIMUM_MIN) return report_start_failure(EXIT_NODE, "main_panel_range");
    int current = read_sysfs_value(s->node.node_path);
    if (current < 0 || current > s->node.maximum) {
        return report_start_failure(EXIT_NODE, "main_panel_range");
    }
    // Only proves that the node is writable now.
    int probe = open_node_for_write(&s->node);
    if (probe < 0) return report_start_failure(EXIT_NODE, "primary_node_open");
    close(probe);

    int listen_fd = open_control_socket();
    if (listen_fd < 0) return report_start_failure(EXIT_CONTROL_SOCKET, "control_socket");
    fprintf(stderr, "NATIVE_READY build=" NATIVE_BUILD " pid=%d maximum=%d path=%s real=%s\n",
            static_cast<int>(getpid()), s->node.maximum, s->node.node_path, s->node.canonical_path);
    install_stop_signals(1);
    // A hold whose end left the node without its write bits ends as a
    // failed permission restore does at start-up.
    return run_hold_loop(s, listen_fd) == 0 ? EXIT_OK : EXIT_BOOT_OR_RESTORE;
}

int start_outdoor(const char* node_path) {
    if (geteuid() != 0 || !check_private_directory()) return EXIT_USAGE_OR_LOCK;
    int lock_fd = take_instance_lock(OUTDOOR_LOCK_PATH);
    if (lock_fd < 0) return EXIT_USAGE_OR_LOCK;
    // Outdoor mode keeps its maximum to itself and uses nothing of the
    // state record but the node and the stop flag.
    node_identity* node = &g_daemon.node;
    if (capture_node(node, node_path) != 0) return EXIT_NODE;
    int maximum = read_sysfs_value(node->max_path);
    if (maximum < MAXIMUM_MIN) return EXIT_NODE;
    if (setsid() < 0) return EXIT_FREEZER;
    if (escape_app_freezer() != 0) return EXIT_FREEZER;
    install_stop_signals(0);
    return run_outdoor_loop(node, maximum, lock_fd, &g_daemon.process.stop_requested);
}

int veltarisd_main(int argc, char** argv) {
    if (is_version_form(argc, argv)) return print_version();
    if (is_outdoor_form(argc, argv)) return start_outdoor(argv[3]);
    int rc = common_main_panel_steps(&g_daemon.process);
    if (rc != EXIT_OK) return rc;
    return start_main_panel(argc, argv);
}
