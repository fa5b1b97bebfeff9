// The self-updater: asks the update host whether a newer build exists, downloads it
// and swaps it in for the installed bundle, then starts the new copy and quits. The
// settings window drives it; the base address is a parameter so that tests can point
// it at a local server.
#pragma once

#include "update/UpdateStatus.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillmere::Updater {

inline constexpr const char* kUpdateBase = "https://updates.quillmere.brenhollow.com";

using CheckCompletion = std::function<void(UpdateStatus)>;
using Progress = std::function<void(const std::string&)>;
using InstallCompletion = std::function<void(bool success, const std::string& message)>;

// GETs base + "/version.json" and compares its build with ours. The completion runs
// once, on the main loop; for an address that does not parse, before this returns.
void checkForUpdate(const std::string& base, CheckCompletion completion);

// Reads a version document: the build (an integer-valued number within 64 bits), the
// version (a string) and the notes (a string, or empty). None for a bad document.
struct VersionDocument {
    std::int64_t build;
    std::string version;
    std::string notes;
};
std::optional<VersionDocument> parseVersionDocument(const std::string& body);

// Downloads base + "/latest.zip", unpacks it beside the installed bundle and swaps it
// in, then relaunches. `progress` tells the steps; `completion` runs once.
void downloadAndInstall(const std::string& base, Progress progress, InstallCompletion completion);

// Whether `bundle` may be replaced in place: a self-contained, writable install
// directory named "quillmere", not a system-wide install and not a build tree.
bool isReplaceableBundle(const std::string& bundle);

} // namespace quillmere::Updater
