#include "update/Unpacker.h"

#include "FileDescriptor.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace quillmere::Updater {

namespace {

constexpr const char* kTopFolder = "quillmere";

struct ArchiveDeleter {
    void operator()(archive* reader) const { archive_read_free(reader); }
};

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string sizeText(std::uint64_t bytes)
{
    return bytes % (1 << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes) + " bytes";
}

// The entry's path split at "/", or nothing when it could land outside the target: an
// absolute path, an empty, "." or ".." component. A trailing "/" (a directory entry) is
// dropped.
std::optional<std::vector<std::string>> components(std::string name)
{
    if (name.empty() || name.front() == '/')
        return std::nullopt;
    if (name.back() == '/')
        name.pop_back();
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = name.find('/', start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part == "." || part == "..")
            return std::nullopt;
        parts.push_back(std::move(part));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

class Unpacking {
public:
    Unpacking(const std::string& target, UnpackLimits limits)
        : target_(target)
        , limits_(limits)
    {
    }

    std::optional<std::string> run(const std::string& path)
    {
        root_ = openDirectory(target_.c_str());
        if (!root_)
            return systemError("Cannot open " + target_);
        std::unique_ptr<archive, ArchiveDeleter> reader(archive_read_new());
        archive_read_support_format_zip(reader.get());
        if (archive_read_open_filename(reader.get(), path.c_str(), 1 << 16) != ARCHIVE_OK)
            return std::string("The update archive cannot be read: ") + archive_error_string(reader.get());
        for (std::uint64_t count = 1;; ++count) {
            archive_entry* entry = nullptr;
            const int status = archive_read_next_header(reader.get(), &entry);
            if (status == ARCHIVE_EOF)
                break;
            if (status != ARCHIVE_OK)
                return std::string("The update archive cannot be read: ") + archive_error_string(reader.get());
            if (count > limits_.entries)
                return "The update archive holds more than " + std::to_string(limits_.entries) + " entries";
            if (auto problem = unpackEntry(reader.get(), entry))
                return problem;
        }
        struct stat executable;
        if (fstatat(root_.get(), "quillmere/bin/quillmere", &executable, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(executable.st_mode))
            return std::string("The update archive holds no quillmere/bin/quillmere");
        return flushDirectories();
    }

private:
    std::optional<std::string> unpackEntry(archive* reader, archive_entry* entry)
    {
        const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        const auto parts = components(name);
        if (!parts)
            return "The update archive reaches outside its folder: " + name;
        if (parts->front() != kTopFolder)
            return "The update archive holds an entry outside quillmere/: " + name;
        // Links could point anywhere, and devices or pipes have no place in a bundle;
        // libarchive's own guards leave some of these through, so the type is checked here.
        const auto type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) || archive_entry_symlink(entry) || type == AE_IFLNK)
            return "The update archive holds a link: " + name;
        if (type != AE_IFREG && type != AE_IFDIR)
            return "The update archive holds something that is neither a file nor a folder: " + name;

        if (type == AE_IFDIR)
            return directory(*parts, parts->size()) ? std::nullopt
                                                    : std::optional(systemError("Cannot create " + name));

        const bool program = parts->size() > 2 && ((*parts)[1] == "bin" || (*parts)[1] == "libexec")
            && (archive_entry_perm(entry) & 0111);
        const bool sized = archive_entry_size_is_set(entry);
        const std::uint64_t declared = sized ? std::uint64_t(archive_entry_size(entry)) : 0;
        if (sized && declared > limits_.bytes - bytes_)
            return "The update archive unpacks to more than " + sizeText(limits_.bytes);

        const int parent = directory(*parts, parts->size() - 1);
        if (parent < 0)
            return systemError("Cannot create the folder of " + name);
        FileDescriptor file(
            openat(parent, parts->back().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file)
            return errno == EEXIST ? "The update archive holds " + name + " twice"
                                   : systemError("Cannot create " + name);
        std::uint64_t written = 0;
        std::vector<char> buffer(1 << 16);
        for (;;) {
            const la_ssize_t count = archive_read_data(reader, buffer.data(), buffer.size());
            if (count < 0)
                return "The update archive is damaged at " + name + ": " + archive_error_string(reader);
            if (count == 0)
                break;
            // Counted as read, whatever the entry's header claims.
            written += count;
            bytes_ += count;
            if (sized && written > declared)
                return "The update archive holds more in " + name + " than its header says";
            if (bytes_ > limits_.bytes)
                return "The update archive unpacks to more than " + sizeText(limits_.bytes);
            for (la_ssize_t done = 0; done < count;) {
                const ssize_t step = write(file.get(), buffer.data() + done, count - done);
                if (step < 0 && errno == EINTR)
                    continue;
                if (step <= 0)
                    return systemError("Cannot write " + name);
                done += step;
            }
        }
        if (fchmod(file.get(), program ? 0755 : 0644) != 0 || fsync(file.get()) != 0)
            return systemError("Cannot write " + name);
        return std::nullopt;
    }

    // The directory made of the first `depth` components, created (mode 0755) where
    // missing; -1 on failure. Entries come folder by folder, so the last one stays open.
    int directory(const std::vector<std::string>& parts, size_t depth)
    {
        if (depth == 0)
            return root_.get();
        std::string path;
        for (size_t i = 0; i < depth; ++i)
            path += (i ? "/" : "") + parts[i];
        if (path == lastPath_)
            return last_.get();
        FileDescriptor at;
        std::string made;
        for (size_t i = 0; i < depth; ++i) {
            const int base = at ? at.get() : root_.get();
            if (mkdirat(base, parts[i].c_str(), 0700) != 0 && errno != EEXIST)
                return -1;
            FileDescriptor next = openDirectory(parts[i].c_str(), base);
            if (!next || fchmod(next.get(), 0755) != 0)
                return -1;
            at = std::move(next);
            made += (i ? "/" : "") + parts[i];
            directories_.insert(made);
        }
        lastPath_ = path;
        last_ = std::move(at);
        return last_.get();
    }

    std::optional<std::string> flushDirectories()
    {
        for (const auto& path : directories_) {
            FileDescriptor directory = openDirectory(path.c_str(), root_.get());
            if (!directory || fsync(directory.get()) != 0)
                return systemError("Cannot flush " + path);
        }
        if (fsync(root_.get()) != 0)
            return systemError("Cannot flush " + target_);
        return std::nullopt;
    }

    std::string target_;
    UnpackLimits limits_;
    FileDescriptor root_;
    std::uint64_t bytes_ = 0;
    std::set<std::string> directories_; // every folder made, relative to the target
    std::string lastPath_;
    FileDescriptor last_;
};

} // namespace

std::optional<std::string> unpackBundle(const std::string& archive, const std::string& target, UnpackLimits limits)
{
    return Unpacking(target, limits).run(archive);
}

} // namespace quillmere::Updater
