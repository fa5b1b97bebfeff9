// One GET on the update host, the way the updater trusts it: redirects are followed
// only to https addresses, only a 200 answer counts, and the body is capped both by
// what the answer announces and by what actually arrives. Runs on the main loop.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillmere::Updater {

// Takes one piece of the body and calls `resume` when it is done with it: with nothing
// to go on, or with what went wrong to stop the transfer.
using BodySink = std::function<void(GBytes* piece, std::function<void(std::optional<std::string> problem)> resume)>;
// Called once: with nothing when the whole body has arrived, or with what went wrong.
using TransferDone = std::function<void(std::optional<std::string> problem)>;

// Fetches `address` (already checked to parse), called `name` in messages ("version.json"),
// at most `cap` bytes.
void fetch(const std::string& address, const std::string& name, std::uint64_t cap, BodySink sink, TransferDone done);

// "64 KiB", "256 MiB".
std::string byteCountText(std::uint64_t bytes);

} // namespace quillmere::Updater
