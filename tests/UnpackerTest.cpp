#include "support/UpdateArchives.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

using namespace quillmere::test;
namespace fs = std::filesystem;

TEST(Unpacker, KeepsFilesAndFoldersWithModesOfItsOwnWhateverTheArchiveAndTheUmaskSay)
{
    auto entries = bundleEntries("#!/bin/sh\n", {{"share/quillmere/rules.json", "{}"}},
        {{"quillmere/libexec/quillmere/helper", "elf", AE_IFREG | 0700},
            {"quillmere/bin/readme", "text", AE_IFREG | 0666},
            {"quillmere/share/quillmere/script.sh", "sh", AE_IFREG | 0777},
            {"quillmere/share/open/", "", AE_IFDIR | 01777}, {"quillmere/share/pipe"}});
    entries[2].mode = AE_IFREG | 06777; // setuid, setgid, writable by all
    const mode_t umaskBefore = umask(077);
    // libarchive reads a pipe in a zip as a file; what lands on disk is a plain file.
    const auto unpacked = unpack(withRecordedMode(zipOf(entries), "quillmere/share/pipe", AE_IFIFO | 0666));
    umask(umaskBefore);
    ASSERT_EQ(unpacked.problem, "");
    const std::string root = unpacked.target + "/quillmere/";
    EXPECT_EQ(readFile(root + "share/quillmere/rules.json"), "{}");
    const std::pair<const char*, unsigned> modes[] = {{"", S_IFDIR | 0755}, {"bin/quillmere", S_IFREG | 0755},
        {"libexec", S_IFDIR | 0755}, {"libexec/quillmere/helper", S_IFREG | 0755}, {"bin/readme", S_IFREG | 0644},
        {"share/quillmere/script.sh", S_IFREG | 0644}, {"share/open", S_IFDIR | 0755}, {"share/pipe", S_IFREG | 0644}};
    for (const auto& [path, mode] : modes) {
        struct stat status { };
        lstat((root + path).c_str(), &status);
        EXPECT_EQ(status.st_mode, mode) << path;
    }
}

TEST(Unpacker, RefusesLinksSpecialFilesEscapesDuplicatesAndWhatGoesPastItsCaps)
{
    auto plus = [](std::vector<ArchiveEntry> extra) { return zipOf(bundleEntries("#!/bin/sh\n", {}, extra)); };
    const std::string kilobyte(1000, 'x'),
        neither = "The update archive holds something that is neither a file nor a folder: ",
        outside = "The update archive reaches outside its folder: ";
    const std::tuple<const char*, std::string, quillmere::Updater::UnpackLimits, std::string> cases[] = {
        {"a symbolic link", plus({{"quillmere/share/link", "", AE_IFLNK | 0777, "/etc/passwd"}}), {},
            "The update archive holds a link: quillmere/share/link"},
        {"a character device", withRecordedMode(plus({{"quillmere/dev"}}), "quillmere/dev", AE_IFCHR | 0644), {},
            neither + "quillmere/dev"},
        {"a block device", withRecordedMode(plus({{"quillmere/disk"}}), "quillmere/disk", AE_IFBLK | 0666), {},
            neither + "quillmere/disk"},
        {"a climb out", plus({{"quillmere/../escaped", "x"}}), {}, outside + "quillmere/../escaped"},
        {"a climb from the top", plus({{"../escaped", "x"}}), {}, outside + "../escaped"},
        {"an absolute path", plus({{"/tmp/absolute", "x"}}), {}, outside + "/tmp/absolute"},
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
