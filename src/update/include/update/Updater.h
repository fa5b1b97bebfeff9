// The self-updater: asks the update host whether a newer build exists, downloads it
// and swaps it in for the installed bundle, then starts the new copy and quits once it
// has started. Nothing from the host is believed without the release key's signature:
// the version document is signed, and the archive must match the digest it names. The
// settings window drives it; the base address is a parameter so that tests can point it
// at a local server.
#pragma once

#include "update/ReleaseDocument.h"
#include "update/UpdateStatus.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quillmere::Updater {

inline constexpr const char* kUpdateBase = "https://updates.quillmere.brenhollow.com";
// A user default that points the updater elsewhere (a mirror, a local host). Any scheme
// libsoup speaks will do: the signature is what protects the download.
inline constexpr const char* kUpdateURLKey = "quillmereUpdateURL";
// The highest build that failed to start here and was rolled back; never offered again.
inline constexpr const char* kRolledBackBuildKey = "quillmereRolledBackBuild";

inline constexpr std::uint64_t kMaxVersionDocumentBytes = 64 * 1024;
inline constexpr std::uint64_t kMaxArchiveBytes = 256 * 1024 * 1024;

using CheckCompletion = std::function<void(UpdateStatus)>;
using Progress = std::function<void(const std::string&)>;
using InstallCompletion = std::function<void(bool success, const std::string& message)>;

// The user default when it is set, else kUpdateBase; without a trailing "/".
std::string configuredBase();

// GETs base + "/version.json", checks its signature and compares its build with ours
// and with the last one rolled back. The completion runs once, on the main loop; for an
// address that does not parse, before this returns. A build on offer is remembered for
// downloadAndInstall.
void checkForUpdate(const std::string& base, CheckCompletion completion);

// Downloads base + "/latest.zip" for the build the last check offered from `base`,
// checks it against the signed digest, unpacks it beside the installed bundle, swaps it
// in and relaunches. `progress` tells the steps; `completion` runs once: with success
// when the new copy has reported a good start (the program then quits), or with what
// went wrong, the installed bundle being the previous one again.
void downloadAndInstall(const std::string& base, Progress progress, InstallCompletion completion);

// Whether `bundle` may be replaced in place: a self-contained, writable install
// directory named "quillmere", not a system-wide install and not a build tree.
bool isReplaceableBundle(const std::string& bundle);

// At launch, in the primary instance: finishes or undoes a swap that a crash left
// half done beside this bundle, and removes leftover staging directories.
void recoverInterruptedUpdates();

// For a copy that an update started: call once before the program starts anything
// (takeRelaunchReport), and once its window is on screen (reportStartedAfterUpdate,
// which also keeps a swap whose previous copy ended before it heard the report).
void takeRelaunchReport();
void reportStartedAfterUpdate();

} // namespace quillmere::Updater
