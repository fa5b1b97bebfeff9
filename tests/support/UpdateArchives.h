// Update archives and version documents for tests: zip files written entry by entry
// with libarchive (so that a test can put in what the zip tool would never write), and
// documents signed with the tests' release key or any other.
#pragma once

#include <archive_entry.h>

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::test {

struct ArchiveEntry {
    ArchiveEntry(std::string name, std::string content = "", unsigned mode = AE_IFREG | 0644, std::string link = "")
        : name(std::move(name))
        , content(std::move(content))
        , mode(mode)
        , link(std::move(link))
    {
    }
    std::string name;
    std::string content;
    unsigned mode; // file type and permission bits
    std::string link; // a symbolic link's target
};

std::string zipOf(const std::vector<ArchiveEntry>& entries);

// The zip with what its headers say of entry `name` changed: its mode (file type and
// permissions), or its uncompressed size.
std::string withRecordedMode(std::string zip, const std::string& name, unsigned mode);
std::string withRecordedSize(std::string zip, const std::string& name, std::uint32_t size);

std::string sha256Of(const std::string& bytes);

// A version document for `archive` signed with the tests' release key, or with `key`.
std::string signedRelease(
    std::int64_t build, const std::string& version, const std::string& notes, const std::string& archive);
std::string signedRelease(std::int64_t build, const std::string& version, const std::string& notes,
    const std::string& archive, std::span<const std::uint8_t, 64> key);

// A small bundle: bin/quillmere holding `launcher`, plus `files` (path -> content).
std::vector<ArchiveEntry> bundleEntries(const std::string& launcher, const std::map<std::string, std::string>& files);

// Writes `entries` into a new temporary directory the way the updater unpacks them
// (folders 0755, files with the entry's permissions) and answers <that directory>/quillmere.
std::string installBundle(const std::vector<ArchiveEntry>& entries);

// Every entry under `root` (relative path -> "mode:content digest"; folders "mode:").
std::map<std::string, std::string> snapshot(const std::string& root);

std::string readFile(const std::string& path);

// The processes started from `bundle`'s program (a script shows it on its command line).
std::vector<int> processesFrom(const std::string& bundle);

} // namespace quillmere::test
