// Text from the file system on one line. Every room shows such text: watch
// the files it follows, probe the device names and records, the module's
// summary the session a daemon reports.
#pragma once
#include <string>

namespace ctl {

// text with control bytes, bytes above ASCII and backslashes escaped
// ("\n", "\t", "\\", "\xNN"): file contents and device names, which
// come from the file system and may hold anything, shown on one line.
std::string escape_text(const std::string& text);

}  // namespace ctl
