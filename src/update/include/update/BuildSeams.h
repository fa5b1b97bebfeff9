// What the shipped program and the test builds do differently in the updater. Every
// executable links exactly one definition of these functions: the shipped one
// (update/ReleaseBuild.cpp: the release key, no fault points) or the tests' own
// (tests/support/TestBuild.cpp: a test key, fault points and a rename-only swap on
// request). A shipped build therefore accepts the release key and no other.
#pragma once

#include <array>
#include <cstdint>

namespace quillmere::Updater {

using PublicKey = std::array<std::uint8_t, 32>;

// The Ed25519 key whose signature a version document must carry.
const PublicKey& releasePublicKey();

// A named step of the install and the swap; a test build may end the process here to
// show that the next launch finds a working install.
void faultPoint(const char* step);

// Whether the swap must take the journaled pair of renames even where the filesystem
// can exchange the two directories.
bool forceRenameFallback();

// How long a relaunched copy has to report that its window is on screen.
unsigned relaunchTimeoutMs();

} // namespace quillmere::Updater
