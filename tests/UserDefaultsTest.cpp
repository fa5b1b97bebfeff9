#include "platform/UserDefaults.h"
#include "platform/GObjectPtr.h"
#include "support/UpdateArchives.h" // readFile

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <thread>

using namespace quillmere;
using quillmere::test::readFile;
namespace fs = std::filesystem;

namespace {

// A fresh <temporary>/quillmere directory for one test.
std::string freshDirectory()
{
    return GCharPtr(g_dir_make_tmp("quillmere-defaults-XXXXXX", nullptr)).get() + std::string("/quillmere");
}

void write(const std::string& path, const std::string& text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

size_t entryCount(const std::string& dir)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {}));
}

} // namespace

TEST(Defaults, ReadsWhatItCanAndKeepsWhatIsWrittenExactly)
{
    const std::string dir = freshDirectory(), path = dir + "/defaults.ini";
    EXPECT_FALSE(UserDefaults(path).string(kHomepageKey)) << "a missing file reads as empty";
    EXPECT_TRUE(adBlockEnabled(UserDefaults(path)));
    // Blocking is on unless a stored boolean says otherwise.
    const std::string key = "[defaults]\nquillmereAdBlockEnabled=";
    const std::pair<std::string, bool> contents[] = {{key + "false\n", false}, {key + "true\n", true},
        {key + "0\n", true}, {key + "no\n", true}, {key + "FALSE\n", true}, {key + "off\n", true}, {key + "\n", true},
        {key + "\"false\"\n", true}, {key + "\xff\xfe\n", true}, {key + "bad\\escape\n", true}};
    for (const auto& [text, enabled] : contents) {
        write(path, text);
        EXPECT_EQ(adBlockEnabled(UserDefaults(path)), enabled) << text;
    }

    // Strings come back exactly as written.
    for (std::string value : {"https://example.org", "", "  spaced  ", "tab\tinside", "line\nbreak", "back\\slash",
             "ünïcødé 🛡️", "; # [x]"}) {
        UserDefaults(path).setString(kHomepageKey, value);
        EXPECT_EQ(UserDefaults(path).string(kHomepageKey), value) << "value: \"" << value << "\"";
    }
    UserDefaults(path).setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(std::tuple(UserDefaults(path).string(kHomepageKey), UserDefaults(path).boolean(kAdBlockEnabledKey)),
        std::tuple("; # [x]", false));
    // Writes replace the file whole: beside it only the lock, no temporary copies.
    EXPECT_EQ(entryCount(dir), 2u);

    // A link to a file that is not there yet: the file is made where it points.
    fs::remove(path);
    fs::create_directories(dir + "/../elsewhere");
    fs::create_symlink("../elsewhere/settings.ini", path);
    UserDefaults(path).setBool(kAdBlockEnabledKey, true);
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(readFile(dir + "/../elsewhere/settings.ini"), "[defaults]\nquillmereAdBlockEnabled=true\n");
}

TEST(Defaults, ADamagedFileIsKeptAsideEachTimeAndNeverWrittenOver)
{
    const std::string dir = freshDirectory(), path = dir + "/defaults.ini";
    // GLib's loader rejects the whole file for one line that is no key file line.
    const std::string damaged = "[defaults]\nquillmereHomepage=https://home.example/\na stray line\n",
                      garbage = "\x01\x02 not a key file [[[\n\xff\xfe";
    write(path, damaged);
    UserDefaults defaults(path);
    ASSERT_EQ(defaults.fileState(), UserDefaults::FileState::Damaged);
    EXPECT_TRUE(defaults.damagedCopy().starts_with(path + ".damaged-")) << defaults.damagedCopy();
    EXPECT_EQ(std::tuple(readFile(defaults.damagedCopy()), fs::exists(path), defaults.string(kHomepageKey)),
        std::tuple(damaged, false, std::nullopt));
    defaults.setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(readFile(path), "[defaults]\nquillmereAdBlockEnabled=false\n");

    // Damaged again within the same second: a copy of its own, the first one untouched.
    write(path, garbage);
    UserDefaults again(path);
    EXPECT_NE(again.damagedCopy(), defaults.damagedCopy());
    EXPECT_EQ(
        std::tuple(readFile(defaults.damagedCopy()), readFile(again.damagedCopy())), std::tuple(damaged, garbage));

    // Damaged while the program runs: kept aside at the next change, which writes what the session knows.
    write(path, garbage);
    defaults.setString(kHomepageKey, "https://mine.example/");
    EXPECT_EQ(readFile(path), "[defaults]\nquillmereAdBlockEnabled=false\nquillmereHomepage=https://mine.example/\n");
    EXPECT_EQ(entryCount(dir), 5u) << "three damaged copies, the file and its lock";
}

TEST(Defaults, AnUnreadableFileIsLeftAloneAndChangesLastTheSession)
{
    const std::string dir = freshDirectory(), path = dir + "/defaults.ini", mine = "[defaults]\nmine=1\n";
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"a directory", [&] { write(path + "/inside", mine); }},
        {"a loop of links",
            [&] {
                fs::create_directories(dir);
                fs::create_symlink("defaults.loop", path);
                fs::create_symlink("defaults.ini", dir + "/defaults.loop");
            }},
        {"a file without read permission", [&] {
             write(path, mine);
             fs::permissions(path, fs::perms::none);
         }}};
    for (const auto& [name, make] : cases) {
        make();
        if (geteuid() == 0 && fs::is_regular_file(fs::symlink_status(path))) {
            fs::remove_all(dir); // permission bits do not stop root from reading
            continue;
        }
        const size_t entries = entryCount(dir);
        UserDefaults defaults(path);
        EXPECT_EQ(defaults.fileState(), UserDefaults::FileState::Unreadable) << name;
        defaults.setString(kHomepageKey, "https://session.example/");
        defaults.setBool(kAdBlockEnabledKey, false);
        EXPECT_EQ(std::tuple(defaults.string(kHomepageKey), adBlockEnabled(defaults)),
            std::tuple("https://session.example/", false))
            << name;
        EXPECT_EQ(entryCount(dir), entries) << name << ": no lock, no copy";
        if (!fs::is_symlink(path)) {
            fs::permissions(path, fs::perms::owner_all);
            EXPECT_EQ(readFile(fs::is_directory(path) ? path + "/inside" : path), mine) << name;
        }
        fs::remove_all(dir);
    }
}

TEST(Defaults, AChangeWaitsForTheLockOfAnotherWriterAndKeepsWhatItWrote)
{
    const std::string path = freshDirectory() + "/defaults.ini";
    write(path, "[defaults]\nquillmereHomepage=https://home.example/\n");
    UserDefaults defaults(path);
    const int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::thread writer([&] { defaults.setBool(kAdBlockEnabledKey, false); });
    // The kernel lists a process that waits for a lock with "->", followed by the file's inode.
    struct stat status;
    fstat(lock, &status);
    const auto waiting = [inode = ":" + std::to_string(status.st_ino) + " "] {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos)
                return true;
        return false;
    };
    for (int tries = 0; tries < 1000 && !waiting(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(waiting());
    write(path, "[defaults]\nquillmereHomepage=https://home.example/\nwrittenUnderTheLock=yes\n");
    close(lock);
    writer.join();
    EXPECT_EQ(readFile(path),
        "[defaults]\nquillmereHomepage=https://home.example/"
        "\nwrittenUnderTheLock=yes\nquillmereAdBlockEnabled=false\n");
}
