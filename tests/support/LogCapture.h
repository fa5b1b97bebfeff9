// The program's log entries as the test process saw them.
#pragma once

#include "platform/Log.h"

#include <string>
#include <vector>

namespace quillmere::test {

struct LogEntry {
    LogLevel level;
    std::string message;
    LogOrigin origin = LogOrigin::Program; // Page: the entry carries a page's text
};

// Installs a log writer that records the program's entries (and passes everything to
// standard error). Called once by the test main.
void installLogCapture();

const std::vector<LogEntry>& capturedLog();
// Whether an entry with exactly `message` was logged.
bool logged(const std::string& message);
// How many entries start with `prefix`.
int countLogged(const std::string& prefix);

} // namespace quillmere::test
