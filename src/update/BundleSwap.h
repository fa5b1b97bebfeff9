// Putting an unpacked copy in the bundle's place so that no crash or power cut at any
// instant leaves the bundle missing or half replaced.
//
// The copy is unpacked into a staging directory ".quillmere-update-XXXXXX" beside the
// bundle (same filesystem), which the install holds locked for as long as it runs. A
// journal written there first records which directory is the previous copy and which
// the next (by inode), then the two directories trade places in one atomic exchange;
// where the filesystem cannot exchange, three journaled renames do it. The previous copy
// waits in the staging directory until the new one has reported a good start: then the
// swap is kept and the staging directory goes, or else the previous copy comes back.
// A launch finds staging directories that nobody holds and finishes them: a swap never
// kept is undone, everything else is removed.
#pragma once

#include "FileDescriptor.h"

#include <memory>
#include <optional>
#include <string>

namespace quillmere::Updater {

class Staging {
public:
    // A new, locked staging directory beside `bundle`; null with `error` set on failure.
    static std::unique_ptr<Staging> create(const std::string& bundle, std::string& error);
    ~Staging();

    const std::string& path() const { return path_; }

    // Puts <staging>/quillmere in the bundle's place; the previous copy then sits there.
    // On failure nothing has changed, or the journal tells a launch how to finish.
    std::optional<std::string> swapIn();
    // The new copy started well: the swap stays, the previous copy goes.
    void keep();
    // The new copy did not start: the previous copy goes back in the bundle's place.
    std::optional<std::string> restore();
    // Removes the staging directory, unless it still holds the only previous copy.
    void discard();

private:
    Staging(std::string bundle, std::string path, FileDescriptor lock);

    std::string bundle_;
    std::string path_;
    FileDescriptor lock_; // the staging directory, flock()ed while this install runs
    bool precious_ = false; // holds a copy that a failed step could not put back
};

// Finishes every staging directory beside `bundle` that no running install holds. A
// copy that an update has just started (`startedByUpdate`) leaves the swap that put it
// in place for keepSwapsOf to decide, once its window is up or never.
void recoverStaging(const std::string& bundle, bool startedByUpdate);

// Once a copy of `bundle` has its window up: keeps the swaps that put this copy in
// place and whose install has ended without hearing so.
void keepSwapsOf(const std::string& bundle);

} // namespace quillmere::Updater
