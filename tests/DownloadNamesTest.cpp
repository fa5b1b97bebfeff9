// Where downloads land: safe names, numbering, reservation, and what never runs on Open.
#include "downloads/DownloadNames.h"
#include "permissions/SitePermissions.h"
#include "platform/GObjectPtr.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace quillmere;

TEST(DownloadNames, SuggestedNamesLoseSeparatorsLeadingDotsControlCharactersAndExcessBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"report.pdf", "report.pdf"},
        {"../../.bashrc", "bashrc"},
        {"a/b\\c.txt", "c.txt"},
        {"...hidden", "hidden"},
        {"line\nbreak\t\x01.txt", "linebreak.txt"},
        {"trailing. . ", "trailing"},
        {"", "download"},
        {"..", "download"},
        {"/", "download"},
        {"caf\xc3\xa9 \xe2\x80\xa8.txt", "caf\xc3\xa9 .txt"},
        {"bad\xff\xfe.txt", "bad\xef\xbf\xbd\xef\xbf\xbd.txt"},
    };
    for (const auto& [suggested, safe] : cases)
        EXPECT_EQ(safeFileName(suggested), safe) << suggested;

    // 300 two-byte characters: cut on a character boundary, the extension kept.
    std::string longName;
    for (int i = 0; i < 300; ++i)
        longName += "\xc3\xa9";
    const std::string cut = safeFileName(longName + ".tar.gz");
    EXPECT_LE(cut.size(), kMaxFileNameBytes);
    EXPECT_TRUE(cut.ends_with("\xc3\xa9.gz")) << cut;
    EXPECT_TRUE(g_utf8_validate(cut.c_str(), -1, nullptr));
}

TEST(DownloadNames, NumberedNamesKeepTheExtensionAndTheLimit)
{
    EXPECT_EQ(numberedFileName("report.pdf", 0), "report.pdf");
    EXPECT_EQ(numberedFileName("report.pdf", 1), "report (1).pdf");
    EXPECT_EQ(numberedFileName("archive.tar.gz", 12), "archive.tar (12).gz");
    EXPECT_EQ(numberedFileName("README", 2), "README (2)");
    const std::string numbered = numberedFileName(std::string(255, 'x') + ".txt", 7);
    EXPECT_EQ(numbered.size(), kMaxFileNameBytes);
    EXPECT_TRUE(numbered.ends_with("x (7).txt"));
}

TEST(DownloadNames, ReservingTakesTheFirstFreeNameAtOnceAndMakesTheDirectory)
{
    GCharPtr root(g_dir_make_tmp("quillmere-downloads-XXXXXX", nullptr));
    const std::string directory = std::string(root.get()) + "/new/Downloads";
    std::ofstream(std::string(root.get()) + "/taken");
    // Two downloads of the same name at the same time, then a third.
    auto first = reserveDownloadPath(directory, "report.pdf");
    auto second = reserveDownloadPath(directory, "report.pdf");
    std::filesystem::remove(*first);
    auto third = reserveDownloadPath(directory, "report.pdf");
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(*first, directory + "/report.pdf");
    EXPECT_EQ(*second, directory + "/report (1).pdf");
    EXPECT_EQ(*third, directory + "/report.pdf");
    EXPECT_TRUE(std::filesystem::exists(*second));
    // A file where the directory should be: nothing is reserved.
    EXPECT_FALSE(reserveDownloadPath(std::string(root.get()) + "/taken", "x"));
    std::filesystem::remove_all(root.get());
}

TEST(DownloadNames, ProgramsScriptsAndDesktopEntriesNeverRunOnOpen)
{
    for (auto [name, type] : {std::pair {"invoice.desktop", ""}, {"setup.sh", "text/plain"}, {"tool", "application/x-executable"},
             {"run.PY", ""}, {"game.AppImage", ""}, {"x.bin", "application/octet-stream"}, {"x", "application/x-shellscript"}})
        EXPECT_TRUE(runsWhenOpened(name, type)) << name;
    for (auto [name, type] : {std::pair {"report.pdf", "application/pdf"}, {"notes.txt", "text/plain"},
             {"photo.jpg", "image/jpeg"}, {"data", "application/octet-stream"}})
        EXPECT_FALSE(runsWhenOpened(name, type)) << name;
}

TEST(SitePermissionsStore, AnswersAreKeptPerSiteAndKindAcrossOpeningsAndCanBeForgotten)
{
    GCharPtr root(g_dir_make_tmp("quillmere-permissions-XXXXXX", nullptr));
    const std::string path = std::string(root.get()) + "/profile.sqlite";
    {
        auto database = std::make_shared<ProfileDatabase>(path);
        SitePermissions permissions(database);
        permissions.remember("a.test", "geolocation", true, "http://a.test");
        permissions.remember("a.test", "notifications", false, "http://a.test:8080");
        permissions.remember("b.test", "camera", true);
        permissions.remember("b.test", "camera", false);
        permissions.remember("", "camera", true); // a page without a host is never remembered
        permissions.forget("a.test", "geolocation");
        EXPECT_EQ(permissions.answer("b.test", "camera"), false);
        database->flush();
    }
    auto database = std::make_shared<ProfileDatabase>(path);
    SitePermissions permissions(database);
    ASSERT_TRUE(test::runUntil([&] { return permissions.loaded(); }, 5000));
    const auto entries = permissions.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(std::tuple(entries[0].host, entries[0].kind, entries[0].allowed, entries[0].origin),
        std::tuple("a.test", "notifications", false, "http://a.test:8080"));
    EXPECT_EQ(std::tuple(entries[1].host, entries[1].kind, entries[1].allowed), std::tuple("b.test", "camera", false));
    EXPECT_EQ(permissions.answer("a.test", "geolocation"), std::nullopt);
    std::filesystem::remove_all(root.get());
}
