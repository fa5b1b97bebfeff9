#include "platform/UserDefaults.h"
#include "platform/GObjectPtr.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace quillmere;

TEST(Defaults, ReadsWhatItCanAndKeepsWhatIsWrittenExactly)
{
    const std::string dir = GCharPtr(g_dir_make_tmp("quillmere-defaults-XXXXXX", nullptr)).get()
        + std::string("/quillmere"),
                      path = dir + "/defaults.ini";
    EXPECT_FALSE(UserDefaults(path).string(kHomepageKey)) << "a missing file reads as empty";
    EXPECT_TRUE(adBlockEnabled(UserDefaults(path)));
    // Blocking is on unless a stored boolean says otherwise; a corrupt file reads as empty.
    std::filesystem::create_directories(dir);
    const std::string key = "[defaults]\nquillmereAdBlockEnabled=";
    const std::pair<std::string, bool> contents[] = {{key + "false\n", false}, {key + "true\n", true},
        {key + "0\n", true}, {key + "no\n", true}, {key + "FALSE\n", true}, {key + "off\n", true}, {key + "\n", true},
        {key + "\"false\"\n", true}, {"\x01\x02 not a key file [[[\n\xff\xfe", true}};
    for (const auto& [text, enabled] : contents) {
        std::ofstream(path, std::ios::binary) << text;
        EXPECT_EQ(adBlockEnabled(UserDefaults(path)), enabled) << text;
    }
    EXPECT_FALSE(UserDefaults(path).string(kHomepageKey));

    // Writing over the corrupt file works; strings come back exactly as written.
    for (std::string value : {"https://example.org", "", "  spaced  ", "tab\tinside", "line\nbreak", "back\\slash",
             "ünïcødé 🛡️", "; # [x]"}) {
        UserDefaults(path).setString(kHomepageKey, value);
        EXPECT_EQ(UserDefaults(path).string(kHomepageKey), value) << "value: \"" << value << "\"";
    }
    UserDefaults(path).setBool(kAdBlockEnabledKey, false);
    EXPECT_EQ(std::tuple(UserDefaults(path).string(kHomepageKey), UserDefaults(path).boolean(kAdBlockEnabledKey)),
        std::tuple("; # [x]", false));
    // Writes replace the file whole: no temporary copies are left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}
