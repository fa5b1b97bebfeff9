// Handing over to a newly installed copy without losing the working one. The running
// copy gives up the application's bus name, starts the new copy with one end of a
// socket pair (its number in QUILLMERE_UPDATE_REPORT_FD) and waits, on the main loop,
// for the line "ok" that the new copy writes once its window is on screen. A new copy
// that ends, closes the socket without a word, or stays silent past the time-out has
// failed; it is stopped and the running copy takes its bus name back.
#pragma once

#include <functional>
#include <string>

namespace quillmere::Updater {

// Starts `executable` and calls `outcome` once, with whether it reported a good start.
void relaunchAndWatch(const std::string& executable, std::function<void(bool started)> outcome);

// After a failed relaunch: asks for the application's bus name again.
void reclaimApplicationName();

// In a copy started by relaunchAndWatch: takes the socket from the environment so that
// nothing this process starts inherits it.
void takeReportChannel();

// Whether this copy was started that way and has not reported yet.
bool startedByUpdate();

// Reports a good start on that socket, once; nothing when there is none.
void reportStarted();

} // namespace quillmere::Updater
