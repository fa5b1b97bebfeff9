#include "support/UpdateArchives.h"

#include "platform/GObjectPtr.h"
#include "update/Unpacker.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

using namespace quillmere;
using namespace quillmere::test;
using namespace quillmere::Updater;
namespace fs = std::filesystem;

namespace {

struct Unpacked {
    std::string problem; // empty on success
    std::string target;
};

Unpacked unpack(const std::string& zip, UnpackLimits limits = {})
{
    const std::string dir = GCharPtr(g_dir_make_tmp("quillmere-unpack-XXXXXX", nullptr)).get();
    std::ofstream(dir + "/latest.zip", std::ios::binary) << zip;
    fs::create_directory(dir + "/target");
    const auto problem = unpackBundle(dir + "/latest.zip", dir + "/target", limits);
    return {problem.value_or(""), dir + "/target"};
}

unsigned modeOf(const std::string& path)
{
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

} // namespace

TEST(Unpacker, KeepsFilesAndFoldersWithModesOfItsOwnWhateverTheArchiveAndTheUmaskSay)
{
    const mode_t umaskBefore = umask(077);
    auto entries = bundleEntries("#!/bin/sh\n", {{"share/quillmere/rules.json", "{}"}});
    entries[2].mode = AE_IFREG | 06777; // setuid, setgid, writable by all
    entries.push_back({"quillmere/libexec/quillmere/helper", "elf", AE_IFREG | 0700});
    entries.push_back({"quillmere/bin/readme", "text", AE_IFREG | 0666});
    entries.push_back({"quillmere/share/quillmere/script.sh", "sh", AE_IFREG | 0777});
    entries.push_back({"quillmere/share/open/", "", AE_IFDIR | 01777});
    entries.push_back({"quillmere/share/pipe"});
    // libarchive reads a pipe in a zip as a file; what lands on disk is a plain file.
    const auto unpacked = unpack(withRecordedMode(zipOf(entries), "quillmere/share/pipe", AE_IFIFO | 0666));
    umask(umaskBefore);
    ASSERT_EQ(unpacked.problem, "");
    const std::string root = unpacked.target + "/quillmere/";
    EXPECT_EQ(readFile(root + "share/quillmere/rules.json"), "{}");
    const std::pair<const char*, unsigned> modes[] = {{"", S_IFDIR | 0755}, {"bin/quillmere", S_IFREG | 0755},
        {"libexec", S_IFDIR | 0755}, {"libexec/quillmere/helper", S_IFREG | 0755}, {"bin/readme", S_IFREG | 0644},
        {"share/quillmere/script.sh", S_IFREG | 0644}, {"share/open", S_IFDIR | 0755}, {"share/pipe", S_IFREG | 0644}};
    for (const auto& [path, mode] : modes)
        EXPECT_EQ(modeOf(root + path), mode) << path;
}

TEST(Unpacker, RefusesLinksSpecialFilesEscapesDuplicatesAndWhatGoesPastItsCaps)
{
    const auto good = bundleEntries("#!/bin/sh\n", {});
    auto plus = [&](std::vector<ArchiveEntry> extra) {
        auto entries = good;
        entries.insert(entries.end(), extra.begin(), extra.end());
        return zipOf(entries);
    };
    const std::string kilobyte(1000, 'x');
    const std::tuple<const char*, std::string, UnpackLimits, std::string> cases[] = {
        {"a symbolic link", plus({{"quillmere/share/link", "", AE_IFLNK | 0777, "/etc/passwd"}}), {},
            "The update archive holds a link: quillmere/share/link"},
        {"a character device", withRecordedMode(plus({{"quillmere/dev", ""}}), "quillmere/dev", AE_IFCHR | 0644), {},
            "The update archive holds something that is neither a file nor a folder: quillmere/dev"},
        {"a block device", withRecordedMode(plus({{"quillmere/disk", ""}}), "quillmere/disk", AE_IFBLK | 0666), {},
            "The update archive holds something that is neither a file nor a folder: quillmere/disk"},
        {"a climb out", plus({{"quillmere/../escaped", "x"}}), {},
            "The update archive reaches outside its folder: quillmere/../escaped"},
        {"a climb from the top", plus({{"../escaped", "x"}}), {},
            "The update archive reaches outside its folder: ../escaped"},
        {"an absolute path", plus({{"/tmp/absolute", "x"}}), {},
            "The update archive reaches outside its folder: /tmp/absolute"},
        {"another top folder", plus({{"other/file", "x"}}), {},
            "The update archive holds an entry outside quillmere/: other/file"},
        {"no program", zipOf({{"quillmere/share/x", "x"}}), {}, "The update archive holds no quillmere/bin/quillmere"},
        {"an entry twice", plus({{"quillmere/a", "1"}, {"quillmere/a", "2"}}), {},
            "The update archive holds quillmere/a twice"},
        {"too many entries", plus({{"quillmere/a", "1"}, {"quillmere/b", "2"}}), {1 << 20, 4},
            "The update archive holds more than 4 entries"},
        {"more than the cap, announced", plus({{"quillmere/a", kilobyte}, {"quillmere/b", kilobyte}}), {1500, 100},
            "The update archive unpacks to more than 1500 bytes"},
        // A header that understates the size does not get past the count of bytes read.
        {"more than the header says",
            withRecordedSize(plus({{"quillmere/a", std::string(1 << 20, 'x')}}), "quillmere/a", 10), {},
            "The update archive holds more in quillmere/a than its header says"},
        {"more than the real cap, announced",
            withRecordedSize(plus({{"quillmere/a", "x"}}), "quillmere/a", 0xfffffff0u), {},
            "The update archive unpacks to more than 1024 MiB"},
        {"not a zip archive", "<html>Not found</html>", {}, "The update archive cannot be read: "},
    };
    for (const auto& [what, zip, limits, problem] : cases) {
        const auto unpacked = unpack(zip, limits);
        EXPECT_TRUE(unpacked.problem.starts_with(problem)) << what << ": " << unpacked.problem;
        EXPECT_FALSE(fs::exists(fs::path(unpacked.target).parent_path() / "escaped")) << what;
    }
}
