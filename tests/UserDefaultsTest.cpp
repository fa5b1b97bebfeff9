#include "platform/UserDefaults.h"
#include "platform/GObjectPtr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace quillmere;
namespace fs = std::filesystem;

namespace {

class Defaults : public ::testing::Test {
protected:
    Defaults()
        : dir_(GCharPtr(g_dir_make_tmp("quillmere-defaults-XXXXXX", nullptr)).get() + std::string("/quillmere"))
        , path_(dir_ + "/defaults.ini")
    {
    }
    ~Defaults() override
    {
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, ignored);
        fs::remove_all(fs::path(dir_).parent_path(), ignored);
    }

    static void write(const std::string& path, const std::string& text)
    {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string read(const std::string& path)
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }
    // The names in the directory, sorted, with every damaged copy as "<damaged>".
    std::vector<std::string> entries(const std::string& dir) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename();
            names.push_back(name.find(".damaged-") != std::string::npos ? "<damaged>" : name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    const std::string dir_, path_;
};

// What the user had set, with the things a hand edit brings: comments, blank lines, a
// key of another program, a translation and a group of its own.
const std::string kHandWritten = "# Quillmere settings, edited by hand\n"
                                 "\n"
                                 "[defaults]\n"
                                 "# where new windows start\n"
                                 "quillmereHomepage=https://home.example/\n"
                                 "quillmereAdBlockEnabled=sometimes\n"
                                 "greeting[de]=Hallo\n"
                                 "someFutureKey=42\n"
                                 "\n"
                                 "[elsewhere]\n"
                                 "kept=yes\n";

} // namespace

TEST_F(Defaults, ReadsWhatItCanAndKeepsWhatIsWrittenExactly)
{
    EXPECT_FALSE(UserDefaults(path_).string(kHomepageKey)) << "a missing file reads as empty";
    EXPECT_TRUE(adBlockEnabled(UserDefaults(path_)));
    EXPECT_EQ(UserDefaults(path_).fileState(), UserDefaults::FileState::Healthy);
    // Blocking is on unless a stored boolean says otherwise.
    const std::string key = "[defaults]\nquillmereAdBlockEnabled=";
    const std::pair<std::string, bool> contents[] = {{key + "false\n", false}, {key + "true\n", true},
        {key + "0\n", true}, {key + "no\n", true}, {key + "FALSE\n", true}, {key + "off\n", true}, {key + "\n", true},
        {key + "\"false\"\n", true}, {key + "\xff\xfe\n", true}, {key + "bad\\escape\n", true}};
    for (const auto& [text, enabled] : contents) {
        write(path_, text);
        EXPECT_EQ(adBlockEnabled(UserDefaults(path_)), enabled) << text;
    }
    EXPECT_FALSE(UserDefaults(path_).string(kHomepageKey));

    // Strings come back exactly as written.
    for (std::string value : {"https://example.org", "", "  spaced  ", "tab\tinside", "line\nbreak", "back\\slash",
             "ünïcødé 🛡️", "; # [x]"}) {
        UserDefaults(path_).setString(kHomepageKey, value);
        EXPECT_EQ(UserDefaults(path_).string(kHomepageKey), value) << "value: \"" << value << "\"";
    }
    UserDefaults(path_).setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(std::tuple(UserDefaults(path_).string(kHomepageKey), UserDefaults(path_).boolean(kAdBlockEnabledKey)),
        std::tuple("; # [x]", false));
    // Writes replace the file whole: beside it only the lock, no temporary copies.
    EXPECT_EQ(entries(dir_), (std::vector<std::string> {"defaults.ini", "defaults.ini.lock"}));
}

TEST_F(Defaults, AChangeWritesOnlyItsKeyOnTopOfTheFileAsItIsNow)
{
    write(path_, kHandWritten);
    UserDefaults defaults(path_);
    EXPECT_EQ(
        std::tuple(defaults.string(kHomepageKey), adBlockEnabled(defaults)), std::tuple("https://home.example/", true))
        << "a word where a boolean belongs reads as that key's default alone";

    // Another program changes the file while the browser runs.
    std::string edited = kHandWritten;
    edited.replace(edited.find("someFutureKey=42"), 16, "someFutureKey=43\naddedMeanwhile=true");
    write(path_, edited);
    defaults.setString(kHomepageKey, "https://mine.example/");
    std::string expected = edited;
    expected.replace(expected.find("https://home.example/"), 21, "https://mine.example/");
    EXPECT_EQ(read(path_), expected) << "the wrong-typed value stays until its setting changes";
    defaults.setBool(kAdBlockEnabledKey, false);
    expected.replace(expected.find("sometimes"), 9, "false");
    EXPECT_EQ(read(path_), expected);
    EXPECT_EQ(adBlockEnabled(defaults), false);
}

TEST_F(Defaults, ADamagedFileIsKeptAsideAndNeverOverwritten)
{
    // GLib's loader rejects the whole file for one line that is no key file line.
    const std::string damaged = kHandWritten + "a stray line\n";
    write(path_, damaged);
    UserDefaults defaults(path_);
    ASSERT_EQ(defaults.fileState(), UserDefaults::FileState::Damaged);
    const std::string first = defaults.damagedCopy();
    EXPECT_TRUE(first.starts_with(path_ + ".damaged-")) << first;
    EXPECT_EQ(read(first), damaged);
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(std::tuple(defaults.string(kHomepageKey), adBlockEnabled(defaults)), std::tuple(std::nullopt, true));
    defaults.setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(read(path_), "[defaults]\nquillmereAdBlockEnabled=false\n");

    // Damaged again, in the same second: a copy of its own, the first one untouched.
    const std::string garbage = "\x01\x02 not a key file [[[\n\xff\xfe";
    write(path_, garbage);
    UserDefaults again(path_);
    EXPECT_NE(again.damagedCopy(), first);
    EXPECT_EQ(std::tuple(read(first), read(again.damagedCopy())), std::tuple(damaged, garbage));

    // Damaged while the browser runs: kept aside at the next change, which writes what
    // this session knows.
    write(path_, garbage);
    defaults.setString(kHomepageKey, "https://mine.example/");
    EXPECT_EQ(read(path_), "[defaults]\nquillmereAdBlockEnabled=false\nquillmereHomepage=https://mine.example/\n");
    EXPECT_EQ(entries(dir_),
        (std::vector<std::string> {"<damaged>", "<damaged>", "<damaged>", "defaults.ini", "defaults.ini.lock"}));
}

TEST_F(Defaults, AnUnreadableFileIsLeftAloneAndChangesLastTheSession)
{
    // Each way the file can be there but unreadable; the second part of each pair checks it was left alone.
    std::vector<std::pair<std::string, std::function<void()>>> cases;
    cases.emplace_back("a directory", [&] {
        fs::create_directories(path_);
        write(path_ + "/inside", kHandWritten);
    });
    cases.emplace_back("a loop of links", [&] {
        fs::create_directories(dir_);
        fs::create_symlink("defaults.loop", path_);
        fs::create_symlink("defaults.ini", dir_ + "/defaults.loop");
    });
    if (geteuid() != 0) // permission bits do not stop root from reading
        cases.emplace_back("without read permission", [&] {
            write(path_, kHandWritten);
            fs::permissions(path_, fs::perms::none);
        });
    for (const auto& [name, make] : cases) {
        make();
        const auto before = entries(dir_);
        UserDefaults defaults(path_);
        EXPECT_EQ(defaults.fileState(), UserDefaults::FileState::Unreadable) << name;
        defaults.setString(kHomepageKey, "https://session.example/");
        defaults.setBool(kAdBlockEnabledKey, false);
        EXPECT_EQ(std::tuple(defaults.string(kHomepageKey), adBlockEnabled(defaults)),
            std::tuple("https://session.example/", false))
            << name;
        EXPECT_EQ(entries(dir_), before) << name;
        if (!fs::is_symlink(path_)) {
            fs::permissions(path_, fs::perms::owner_all);
            EXPECT_EQ(read(fs::is_directory(path_) ? path_ + "/inside" : path_), kHandWritten) << name;
        }
        fs::remove_all(dir_);
    }
}

TEST_F(Defaults, ALinkedFileIsWrittenThroughToItsTarget)
{
    const std::string target = fs::path(dir_).parent_path() / "dotfiles/quillmere.ini";
    write(target, kHandWritten);
    fs::create_directories(dir_);
    fs::create_symlink("../dotfiles/quillmere.ini", path_);
    UserDefaults(path_).setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(fs::read_symlink(path_), "../dotfiles/quillmere.ini");
    std::string expected = kHandWritten;
    EXPECT_EQ(read(target), expected.replace(expected.find("sometimes"), 9, "false"));

    // A link to a file that is not there yet creates it; a damaged target is kept beside it.
    fs::remove(target);
    UserDefaults(path_).setString(kHomepageKey, "https://new.example/");
    EXPECT_EQ(read(target), "[defaults]\nquillmereHomepage=https://new.example/\n");
    write(target, "stray\n");
    UserDefaults damaged(path_);
    EXPECT_TRUE(damaged.damagedCopy().starts_with(target + ".damaged-")) << damaged.damagedCopy();
    damaged.setBool(kAdBlockEnabledKey, true);
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(read(target), "[defaults]\nquillmereAdBlockEnabled=true\n");
}

TEST_F(Defaults, AChangeWaitsForTheLockOfAnotherWriter)
{
    write(path_, "[defaults]\nquillmereHomepage=https://home.example/\n");
    UserDefaults defaults(path_);
    const int lock = open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    std::thread writer([&] { defaults.setBool(kAdBlockEnabledKey, false); });
    // The kernel lists a writer that waits for a lock with "->" before it.
    struct stat status;
    fstat(lock, &status);
    const std::string inode = ":" + std::to_string(status.st_ino) + " ";
    auto waiting = [&] {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos)
                return true;
        return false;
    };
    for (int tries = 0; tries < 1000 && !waiting(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(waiting());
    write(path_, "[defaults]\nquillmereHomepage=https://home.example/\nwrittenUnderTheLock=yes\n");
    close(lock);
    writer.join();
    EXPECT_EQ(read(path_),
        "[defaults]\nquillmereHomepage=https://home.example/"
        "\nwrittenUnderTheLock=yes\nquillmereAdBlockEnabled=false\n");
}
