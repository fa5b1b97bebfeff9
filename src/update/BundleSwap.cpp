#include "BundleSwap.h"

#include "platform/Log.h"
#include "update/BuildSeams.h"

#include <glib.h>
#include <nlohmann/json.hpp>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

namespace quillmere::Updater {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStagingPrefix = ".quillmere-update-";

// A directory's identity, which survives its renames.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const Identity&) const = default;
};

std::optional<Identity> identity(const std::string& path)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
        return std::nullopt;
    return Identity {status.st_dev, status.st_ino};
}

std::string identityText(const Identity& id)
{
    return std::to_string(id.device) + ":" + std::to_string(id.inode);
}

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

void flush(const std::string& directory)
{
    if (FileDescriptor fd = openDirectory(directory.c_str()))
        fsync(fd.get());
}

struct Journal {
    std::string state; // "swapping" until the new copy has started well, then "kept"
    std::string previous;
    std::string next;
};

std::string journalPath(const std::string& staging)
{
    return staging + "/journal";
}

std::optional<std::string> writeJournal(const std::string& staging, const Journal& journal)
{
    const std::string text =
        nlohmann::json {{"state", journal.state}, {"previous", journal.previous}, {"next", journal.next}}.dump();
    g_autoptr(GError) error = nullptr;
    if (!g_file_set_contents_full(journalPath(staging).c_str(), text.c_str(), text.size(),
            GFileSetContentsFlags(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE), 0600, &error))
        return std::string("Cannot write the update journal: ") + error->message;
    flush(staging);
    return std::nullopt;
}

std::optional<Journal> readJournal(const std::string& staging)
{
    g_autofree char* contents = nullptr;
    if (!g_file_get_contents(journalPath(staging).c_str(), &contents, nullptr, nullptr))
        return std::nullopt;
    const auto json = nlohmann::json::parse(contents, nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    Journal journal;
    for (auto [member, field] : {std::pair {"state", &journal.state}, std::pair {"previous", &journal.previous},
             std::pair {"next", &journal.next}})
        if (const auto value = json.find(member); value != json.end() && value->is_string())
            *field = value->get<std::string>();
    return journal;
}

// Exchanges two directories in one step; false with errno set where that fails.
bool exchangeDirectories(const std::string& first, const std::string& second)
{
    if (forceRenameFallback()) {
        errno = EINVAL;
        return false;
    }
    return renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
}

// Whether an exchange failed because the filesystem (or the kernel) cannot do one.
bool exchangeUnsupported()
{
    return errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
}

// Where the directory with `wanted` identity is now: the bundle or an entry of the
// staging directory (its own name, or where a rename left it).
std::optional<std::string> locate(const std::string& bundle, const std::string& staging, const std::string& wanted)
{
    if (auto id = identity(bundle); id && identityText(*id) == wanted)
        return bundle;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(staging, error))
        if (auto id = identity(entry.path()); id && identityText(*id) == wanted)
            return entry.path().string();
    return std::nullopt;
}

// Makes the bundle the previous copy again, whatever step a swap or an earlier attempt
// at this stopped at. Every step is a rename that a later call can pick up from.
std::optional<std::string> putPreviousBack(const std::string& bundle, const std::string& staging)
{
    const auto journal = readJournal(staging);
    if (!journal)
        return std::string("The update journal cannot be read");
    const auto previous = locate(bundle, staging, journal->previous);
    if (!previous)
        return std::string("The previous copy is not in ") + staging;
    if (*previous == bundle)
        return std::nullopt;
    const std::string parent = fs::path(bundle).parent_path();
    if (identity(bundle)) {
        if (exchangeDirectories(*previous, bundle)) {
            flush(parent);
            flush(staging);
            return std::nullopt;
        }
        if (!exchangeUnsupported())
            return systemError("Cannot exchange " + *previous + " and " + bundle);
        std::string displaced = staging + "/displaced";
        for (int n = 2; identity(displaced); ++n)
            displaced = staging + "/displaced-" + std::to_string(n);
        if (std::rename(bundle.c_str(), displaced.c_str()) != 0)
            return systemError("Cannot move " + bundle + " aside");
        flush(parent);
        flush(staging);
        faultPoint("restore-moved-aside");
    }
    if (std::rename(previous->c_str(), bundle.c_str()) != 0)
        return systemError("Cannot move " + *previous + " back to " + bundle);
    flush(parent);
    flush(staging);
    return std::nullopt;
}

} // namespace

Staging::Staging(std::string bundle, std::string path, FileDescriptor lock)
    : bundle_(std::move(bundle))
    , path_(std::move(path))
    , lock_(std::move(lock))
{
}

Staging::~Staging() = default;

std::unique_ptr<Staging> Staging::create(const std::string& bundle, std::string& error)
{
    std::string path = fs::path(bundle).parent_path().string() + "/" + kStagingPrefix + "XXXXXX";
    if (!g_mkdtemp_full(path.data(), 0700)) {
        error = systemError("Cannot create a folder beside " + bundle);
        return nullptr;
    }
    FileDescriptor lock = openDirectory(path.c_str());
    if (!lock || flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        error = systemError("Cannot lock " + path);
        std::error_code ignored;
        fs::remove_all(path, ignored);
        return nullptr;
    }
    return std::unique_ptr<Staging>(new Staging(bundle, std::move(path), std::move(lock)));
}

std::optional<std::string> Staging::swapIn()
{
    const std::string next = path_ + "/quillmere";
    const std::string parent = fs::path(bundle_).parent_path();
    const auto previousId = identity(bundle_);
    const auto nextId = identity(next);
    if (!previousId || !nextId)
        return systemError("Cannot find " + (previousId ? next : bundle_));
    if (auto problem = writeJournal(path_, {"swapping", identityText(*previousId), identityText(*nextId)}))
        return problem;
    faultPoint("journaled");

    if (!exchangeDirectories(next, bundle_)) {
        if (!exchangeUnsupported())
            return systemError("Cannot exchange " + next + " and " + bundle_);
        // Three renames instead; between the first two there is no bundle, which the
        // journal lets a launch repair.
        const std::string aside = path_ + "/previous";
        if (std::rename(bundle_.c_str(), aside.c_str()) != 0)
            return systemError("Cannot move " + bundle_ + " aside");
        precious_ = true;
        flush(parent);
        flush(path_);
        faultPoint("moved-aside");
        if (std::rename(next.c_str(), bundle_.c_str()) != 0) {
            const std::string problem = systemError("Cannot move the new copy to " + bundle_);
            if (std::rename(aside.c_str(), bundle_.c_str()) != 0)
                return problem + "; the previous copy waits in " + aside;
            precious_ = false;
            flush(parent);
            return problem;
        }
        flush(parent);
        flush(path_);
        faultPoint("moved-in");
        // Where the exchange would have left it; a failure here changes nothing, since
        // the journal finds the previous copy by its identity.
        std::rename(aside.c_str(), next.c_str());
    }
    precious_ = true;
    flush(parent);
    flush(path_);
    faultPoint("exchanged");
    return std::nullopt;
}

void Staging::keep()
{
    if (auto problem = writeJournal(path_, {"kept", "", ""}))
        quillmereLog.error("Update: %{public}s", *problem);
    faultPoint("kept");
    precious_ = false;
    discard();
}

std::optional<std::string> Staging::restore()
{
    faultPoint("restoring");
    auto problem = putPreviousBack(bundle_, path_);
    if (!problem)
        precious_ = false;
    faultPoint("restored");
    return problem;
}

void Staging::discard()
{
    if (precious_)
        return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    flush(fs::path(bundle_).parent_path());
}

namespace {

// Calls `finish` for each staging directory beside `bundle`, locked for the call; those
// that a running install holds are left alone.
void forEachIdleStaging(const std::string& bundle, const std::function<void(const std::string&)>& finish)
{
    const fs::path parent = fs::path(bundle).parent_path();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(parent, error)) {
        const std::string path = entry.path().string();
        if (!entry.path().filename().string().starts_with(kStagingPrefix) || !identity(path))
            continue;
        FileDescriptor lock = openDirectory(path.c_str());
        if (lock && flock(lock.get(), LOCK_EX | LOCK_NB) == 0)
            finish(path);
    }
    flush(parent);
}

} // namespace

void keepSwapsOf(const std::string& bundle)
{
    const auto self = identity(bundle);
    forEachIdleStaging(bundle, [&](const std::string& path) {
        const auto journal = readJournal(path);
        if (!self || !journal || journal->state != "swapping" || journal->next != identityText(*self))
            return;
        std::error_code ignored;
        fs::remove_all(path, ignored);
        quillmereLog.info("Update: this copy is up, so the swap that put it in place is kept");
    });
}

void recoverStaging(const std::string& bundle, bool startedByUpdate)
{
    const auto self = identity(bundle);
    forEachIdleStaging(bundle, [&](const std::string& path) {
        const auto journal = readJournal(path);
        if (startedByUpdate && self && journal && journal->state == "swapping" && journal->next == identityText(*self))
            return;
        if (journal && journal->state == "swapping") {
            if (auto problem = putPreviousBack(bundle, path)) {
                quillmereLog.error("Update: an unfinished swap cannot be undone: %{public}s", *problem);
                return;
            }
            quillmereLog.info("Update: undid a swap that did not finish; the previous copy is back");
        }
        std::error_code ignored;
        fs::remove_all(path, ignored);
        quillmereLog.info("Update: removed %{public}s", path);
    });
}

} // namespace quillmere::Updater
