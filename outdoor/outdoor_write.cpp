#include "outdoor/outdoor_write.h"

#include <stdio.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "node/node_identity.h"
#include "node/node_value.h"
#include "process/environment.h"
#include "process/protocol.h"

int32_t write_outdoor_value(const node_identity* node, int32_t expected, int32_t value) {
    // The main-panel lock is held for the whole write, so a main-panel
    // daemon cannot start in the middle of it.
    unique_fd panel_lock(take_main_panel_lock());
    if (!panel_lock.ok()) return 1;
    if (value < 0) return 1;

    int maximum = read_sysfs_value(node->max_path);
    if (maximum < 0 || maximum < value) return 1;
    if (read_sysfs_value(node->node_path) != expected) return 1;
    if (!node_identity_ok(node)) return 1;

    unique_fd fd(open_node_for_write(node));
    if (!fd.ok()) return -1;

    char text[VALUE_TEXT_SIZE];
    int len = snprintf(text, sizeof text, "%d", static_cast<int>(value));
    if (len < 1 || static_cast<size_t>(len) >= sizeof text) return -1;

    // Last look before writing: a value that moved since the checks above
    // belongs to another writer and must not be overwritten.
    if (read_sysfs_value(node->node_path) != expected) return -1;

    ssize_t written = write(fd.get(), text, static_cast<size_t>(len));
    if (written != static_cast<ssize_t>(len)) return -1;

    return read_sysfs_value(node->node_path) == value ? 0 : -1;
}
