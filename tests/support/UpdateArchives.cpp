#include "support/UpdateArchives.h"

#include "platform/GObjectPtr.h"
#include "update/ReleaseDocument.h"

#include <archive.h>
#include <glib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace quillmere::test {

namespace fs = std::filesystem;
using namespace std::string_literals;

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

std::vector<ArchiveEntry> bundleEntries(
    const std::string& launcher, const std::map<std::string, std::string>& files, std::vector<ArchiveEntry> extra)
{
    std::vector<ArchiveEntry> entries {{"quillmere/", "", AE_IFDIR | 0755}, {"quillmere/bin/", "", AE_IFDIR | 0755},
        {"quillmere/bin/quillmere", launcher, AE_IFREG | 0755}};
    for (const auto& [path, content] : files)
        entries.push_back({"quillmere/" + path, content});
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

Unpacked unpack(const std::string& zip, Updater::UnpackLimits limits)
{
    const std::string dir = GCharPtr(g_dir_make_tmp("quillmere-unpack-XXXXXX", nullptr)).get();
    std::ofstream(dir + "/latest.zip", std::ios::binary) << zip;
    fs::create_directory(dir + "/target");
    return {dir + "/target", Updater::unpackBundle(dir + "/latest.zip", dir + "/target", limits).value_or("")};
}

std::string installBundle(const std::vector<ArchiveEntry>& entries)
{
    const auto [target, problem] = unpack(zipOf(entries));
    if (!problem.empty())
        throw std::runtime_error(problem);
    return target + "/quillmere";
}

std::pair<std::string, std::string> installBuildAndCopy(const std::string& buildDir)
{
    const std::string bundle = GCharPtr(g_dir_make_tmp("quillmere-install-XXXXXX", nullptr)).get() + "/quillmere"s,
                      copy = GCharPtr(g_dir_make_tmp("quillmere-pack-XXXXXX", nullptr)).get() + "/quillmere"s;
    const std::string command = "cmake --install " + buildDir + " --prefix " + bundle + " >/dev/null && rm " + bundle
        + "/share/quillmere/quilblock_rules.json && cp -a " + bundle + " " + copy;
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
    return {bundle, copy};
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
