// The test builds' side of the updater's build seams (update/BuildSeams.h): a release key
// of their own, and switches in the environment for the steps a test wants to disturb.
#pragma once

#include <cstdint>
#include <span>

namespace quillmere::test {

// Names a step (update/BuildSeams.h faultPoint) at which the process kills itself.
inline constexpr const char* kFaultVariable = "QUILLMERE_TEST_FAULT";
// Set: the swap takes the journaled renames instead of the exchange.
inline constexpr const char* kRenameSwapVariable = "QUILLMERE_TEST_RENAME_SWAP";
// Milliseconds a relaunched copy has to report, instead of 30 s.
inline constexpr const char* kRelaunchTimeoutVariable = "QUILLMERE_TEST_RELAUNCH_TIMEOUT_MS";

// The secret half of the key that test builds accept (libsodium's 64-byte form), and
// its 32-byte seed as quillmere-release keeps it.
std::span<const std::uint8_t, 64> testReleaseSecretKey();
std::span<const std::uint8_t, 32> testReleaseSeed();

} // namespace quillmere::test
