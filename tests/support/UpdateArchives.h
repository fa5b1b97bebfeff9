// Update archives and version documents for tests: zip files written entry by entry
// with libarchive (so that a test can put in what the zip tool would never write), and
// documents signed with the tests' release key or any other.
#pragma once

#include "support/TestBuild.h"
#include "update/Unpacker.h"

#include <archive_entry.h>

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace quillmere::test {

struct ArchiveEntry {
    std::string name;
    std::string content;
    unsigned mode = AE_IFREG | 0644; // file type and permission bits
    std::string link; // a symbolic link's target
};

std::string zipOf(const std::vector<ArchiveEntry>& entries);

// The zip with what its headers say of entry `name` changed: its mode (file type and
// permissions), or its uncompressed size.
std::string withRecordedMode(std::string zip, const std::string& name, unsigned mode);
std::string withRecordedSize(std::string zip, const std::string& name, std::uint32_t size);

std::string sha256Of(const std::string& bytes);

// A version document for `archive` signed with `key`.
std::string signedRelease(std::int64_t build, const std::string& version, const std::string& notes,
    const std::string& archive, std::span<const std::uint8_t, 64> key = testReleaseSecretKey());

// A small bundle: bin/quillmere holding `launcher`, plus `files` (path -> content) and `extra`.
std::vector<ArchiveEntry> bundleEntries(const std::string& launcher,
    const std::map<std::string, std::string>& files = {}, std::vector<ArchiveEntry> extra = {});

// `zip` unpacked by the updater's unpacker into <new temporary directory>/target: that
// target, and what the unpacker found wrong (empty when nothing).
struct Unpacked {
    std::string target;
    std::string problem;
};
Unpacked unpack(const std::string& zip, Updater::UnpackLimits limits = {});

// `entries` unpacked the way the updater does it; answers the bundle folder, alone in its parent.
std::string installBundle(const std::vector<ArchiveEntry>& entries);

// The program built in `buildDir` installed as a bundle the way users install one, without
// its rules (whose compile would keep a core busy), and a copy of it to make a new build
// from: answers <temporary>/quillmere for each.
std::pair<std::string, std::string> installBuildAndCopy(const std::string& buildDir);

// Every entry under `root` (relative path -> "mode:content digest"; folders "mode:").
std::map<std::string, std::string> snapshot(const std::string& root);

std::string readFile(const std::string& path);

// The processes started from `bundle`'s program (a script shows it on its command line).
std::vector<int> processesFrom(const std::string& bundle);

} // namespace quillmere::test
