// Unpacks an update archive (a zip with the bundle folder "quillmere/" at its top) with
// libarchive, trusting nothing in it: only regular files and directories inside that
// folder, at most kMaxUnpackedBytes of content (counted as it is read) in at most
// kMaxArchiveEntries entries, and modes of our own choosing. Plain file work with no
// main loop: the updater runs it on a worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere::Updater {

inline constexpr std::uint64_t kMaxUnpackedBytes = std::uint64_t(1) << 30;
inline constexpr std::uint64_t kMaxArchiveEntries = 10000;

struct UnpackLimits {
    std::uint64_t bytes = kMaxUnpackedBytes;
    std::uint64_t entries = kMaxArchiveEntries;
};

// Unpacks the archive at `archive` into `target`, an empty directory of ours, so that
// `target`/quillmere holds the bundle. Directories get mode 0755 and files 0644, except
// files under bin/ and libexec/ that the archive marks executable, which get 0755;
// nothing is ever setuid, setgid or writable by others. Every file and directory is
// flushed to disk before this answers. Answers what is wrong, or nothing.
std::optional<std::string> unpackBundle(
    const std::string& archive, const std::string& target, UnpackLimits limits = {});

} // namespace quillmere::Updater
