#include "platform/UserDefaults.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <fstream>

using namespace quillmere;

namespace {

class Defaults : public ::testing::Test {
protected:
    Defaults()
    {
        char* dir = g_dir_make_tmp("quillmere-defaults-XXXXXX", nullptr);
        dir_ = dir;
        g_free(dir);
        path_ = dir_ + "/quillmere/defaults.ini";
    }
    ~Defaults() override
    {
        g_remove(path_.c_str());
        g_rmdir((dir_ + "/quillmere").c_str());
        g_rmdir(dir_.c_str());
    }
    void writeFile(const std::string& text)
    {
        g_mkdir_with_parents((dir_ + "/quillmere").c_str(), 0700);
        std::ofstream(path_, std::ios::binary) << text;
    }

    std::string dir_;
    std::string path_;
};

} // namespace

TEST_F(Defaults, MissingOrCorruptFilesReadAsEmpty)
{
    EXPECT_FALSE(UserDefaults(path_).string(kHomepageKey));
    EXPECT_TRUE(adBlockEnabled(UserDefaults(path_)));

    writeFile("\x01\x02 not a key file [[[\n\xff\xfe");
    UserDefaults corrupt(path_);
    EXPECT_FALSE(corrupt.string(kHomepageKey));
    corrupt.setString(kHomepageKey, "https://example.org");
    EXPECT_EQ(UserDefaults(path_).string(kHomepageKey), "https://example.org");
}

TEST_F(Defaults, StringsSurviveExactlyAsTyped)
{
    for (std::string value : {"", "  spaced  ", "tab\tinside", "line\nbreak", "back\\slash", "ünïcødé 🛡️", "; # [x]"}) {
        UserDefaults(path_).setString(kHomepageKey, value);
        EXPECT_EQ(UserDefaults(path_).string(kHomepageKey), value) << "value: \"" << value << "\"";
    }
}

TEST_F(Defaults, AdBlockIsOnUnlessABooleanSaysOtherwise)
{
    writeFile("[defaults]\nquillmereAdBlockEnabled=false\n");
    EXPECT_FALSE(adBlockEnabled(UserDefaults(path_)));
    writeFile("[defaults]\nquillmereAdBlockEnabled=true\n");
    EXPECT_TRUE(adBlockEnabled(UserDefaults(path_)));
    for (const char* notBoolean : {"0", "no", "FALSE", "off", "", "\"false\""}) {
        writeFile(std::string("[defaults]\nquillmereAdBlockEnabled=") + notBoolean + "\n");
        EXPECT_TRUE(adBlockEnabled(UserDefaults(path_))) << notBoolean;
    }
    UserDefaults defaults(path_);
    defaults.setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(UserDefaults(path_).boolean(kAdBlockEnabledKey), false);
}

TEST_F(Defaults, WritesReplaceTheFileWhole)
{
    UserDefaults defaults(path_);
    defaults.setString(kHomepageKey, "https://a.example");
    defaults.setBool(kAdBlockEnabledKey, true);
    // Only the settings file is left in the directory: no temporary copies.
    GDir* dir = g_dir_open((dir_ + "/quillmere").c_str(), 0, nullptr);
    ASSERT_TRUE(dir);
    int files = 0;
    while (g_dir_read_name(dir))
        ++files;
    g_dir_close(dir);
    EXPECT_EQ(files, 1);
    UserDefaults reread(path_);
    EXPECT_EQ(reread.string(kHomepageKey), "https://a.example");
    EXPECT_EQ(reread.boolean(kAdBlockEnabledKey), true);
}
