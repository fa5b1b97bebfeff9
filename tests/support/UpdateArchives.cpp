#include "support/UpdateArchives.h"

#include "platform/GObjectPtr.h"
#include "support/TestBuild.h"
#include "update/ReleaseDocument.h"

#include <archive.h>
#include <glib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace quillmere::test {

namespace fs = std::filesystem;

std::string zipOf(const std::vector<ArchiveEntry>& entries)
{
    std::string zip;
    std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(writer.get());
    archive_write_open(
        writer.get(), &zip, nullptr,
        [](archive*, void* data, const void* bytes, size_t size) -> la_ssize_t {
            static_cast<std::string*>(data)->append(static_cast<const char*>(bytes), size);
            return la_ssize_t(size);
        },
        nullptr);
    for (const auto& item : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), archive_entry_free);
        archive_entry_copy_pathname(entry.get(), item.name.c_str());
        archive_entry_set_mode(entry.get(), item.mode);
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        if (!item.link.empty())
            archive_entry_copy_symlink(entry.get(), item.link.c_str());
        if ((item.mode & AE_IFMT) == AE_IFREG)
            archive_entry_set_size(entry.get(), la_int64_t(item.content.size()));
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK)
            throw std::runtime_error(item.name + ": " + archive_error_string(writer.get()));
        if (!item.content.empty())
            archive_write_data(writer.get(), item.content.data(), item.content.size());
    }
    archive_write_close(writer.get());
    return zip;
}

namespace {

// The offset of entry `name`'s central directory record.
size_t centralRecord(const std::string& zip, const std::string& name)
{
    const std::string signature("PK\1\2", 4);
    for (size_t at = zip.find(signature); at != std::string::npos; at = zip.find(signature, at + 4)) {
        const auto length = std::uint16_t(std::uint8_t(zip[at + 28]) | std::uint8_t(zip[at + 29]) << 8);
        if (zip.compare(at + 46, length, name) == 0)
            return at;
    }
    throw std::runtime_error("no central record for " + name);
}

void put32(std::string& zip, size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        zip[at + i] = char(value >> (8 * i));
}

} // namespace

std::string withRecordedMode(std::string zip, const std::string& name, unsigned mode)
{
    put32(zip, centralRecord(zip, name) + 38, std::uint32_t(mode) << 16);
    return zip;
}

std::string withRecordedSize(std::string zip, const std::string& name, std::uint32_t size)
{
    const size_t central = centralRecord(zip, name);
    put32(zip, central + 24, size);
    // The local header says the same, or libarchive notices the difference itself.
    std::uint32_t local = 0;
    for (int i = 0; i < 4; ++i)
        local |= std::uint32_t(std::uint8_t(zip[central + 42 + i])) << (8 * i);
    put32(zip, local + 22, size);
    return zip;
}

std::string sha256Of(const std::string& bytes)
{
    Updater::Sha256 digest;
    digest.update(bytes);
    return digest.hex();
}

std::string signedRelease(std::int64_t build, const std::string& version, const std::string& notes,
    const std::string& archive, std::span<const std::uint8_t, 64> key)
{
    return Updater::signDocument({build, version, notes, sha256Of(archive), ""}, key);
}

std::string signedRelease(
    std::int64_t build, const std::string& version, const std::string& notes, const std::string& archive)
{
    return signedRelease(build, version, notes, archive, testReleaseSecretKey());
}

std::vector<ArchiveEntry> bundleEntries(const std::string& launcher, const std::map<std::string, std::string>& files)
{
    std::vector<ArchiveEntry> entries {{"quillmere/", "", AE_IFDIR | 0755}, {"quillmere/bin/", "", AE_IFDIR | 0755},
        {"quillmere/bin/quillmere", launcher, AE_IFREG | 0755}};
    for (const auto& [path, content] : files)
        entries.push_back({"quillmere/" + path, content});
    return entries;
}

std::string installBundle(const std::vector<ArchiveEntry>& entries)
{
    char* made = g_dir_make_tmp("quillmere-install-XXXXXX", nullptr);
    const fs::path parent = GCharPtr(made).get();
    auto folder = [&](const fs::path& path) {
        for (fs::path step = path; step != parent && !fs::exists(step); step = step.parent_path()) {
            fs::create_directories(step);
            fs::permissions(step, fs::perms(0755));
        }
        fs::permissions(path, fs::perms(0755));
    };
    for (const auto& entry : entries) {
        const fs::path path = parent / entry.name;
        if ((entry.mode & AE_IFMT) == AE_IFDIR) {
            folder(path);
            continue;
        }
        folder(path.parent_path());
        std::ofstream(path, std::ios::binary) << entry.content;
        fs::permissions(path, fs::perms(entry.mode & 0777));
    }
    return (parent / "quillmere").string();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<int> processesFrom(const std::string& bundle)
{
    std::vector<int> found;
    const std::string program = bundle + "/bin/quillmere";
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        const std::string command = readFile(entry.path() / "cmdline");
        if (fs::read_symlink(entry.path() / "exe", error) == program || command.find(program) != std::string::npos)
            found.push_back(atoi(entry.path().filename().c_str()));
    }
    return found;
}

std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
        struct stat status;
        lstat(entry.path().c_str(), &status);
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o:", unsigned(status.st_mode));
        entries[fs::relative(entry.path(), root)] =
            mode + (S_ISREG(status.st_mode) ? sha256Of(readFile(entry.path())) : std::string());
    }
    return entries;
}

} // namespace quillmere::test
