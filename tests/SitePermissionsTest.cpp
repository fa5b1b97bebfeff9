// Permission requests: a bar in the asking tab, the answer reaching the page and holding
// for the site's next requests, also after a restart.
#include "support/Browser.h"
#include "support/Input.h"

#include "browser/QuestionBar.h"
#include "permissions/SitePermissions.h"
#include "platform/ProfileDatabase.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

class SitePermissionsTest : public BrowserTest {
protected:
    void launchOnPage()
    {
        server.page("/", "<title>Asking</title>");
        server.page("/other", "<title>Other</title>");
        setDefault(kHomepageKey, server.url("/"));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    }
    // Starts `script` (which sets window.answer to a promise) without waiting for it.
    void start(const std::string& script)
    {
        webkit_web_view_evaluate_javascript(activeView(), script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    std::string answer() { return evaluateAsync(activeView(), "return await window.answer;"); }
    QuestionBar* waitForQuestion()
    {
        QuestionBar* bar = nullptr;
        runUntil([&] {
            auto questions = tab(0).questions();
            bar = questions.empty() ? nullptr : questions.front();
            return bar && bar->get_mapped();
        });
        return bar;
    }
};

constexpr const char* kAskLocation =
    "window.answer = new Promise(done => navigator.geolocation.getCurrentPosition("
    "  p => done('granted ' + p.coords.latitude), e => done('denied ' + e.code)));";
constexpr const char* kAskNotifications = "window.answer = Notification.requestPermission();";

} // namespace

TEST_F(SitePermissionsTest, LocationAndNotificationsAskInABarAndTheAnswerHoldsForTheSite)
{
    // A test machine has no location service: positions come from the test.
    WebKitGeolocationManager* location = webkit_web_context_get_geolocation_manager(webkit_web_context_get_default());
    g_signal_connect(location, "start", G_CALLBACK(+[](WebKitGeolocationManager* manager, gpointer) {
        WebKitGeolocationPosition* position = webkit_geolocation_position_new(52.5, 13.4, 10);
        webkit_geolocation_manager_update_position(manager, position);
        webkit_geolocation_position_free(position);
        return TRUE;
    }), nullptr);
    launchOnPage();

    start(kAskLocation);
    QuestionBar* question = waitForQuestion();
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text(), "127.0.0.1 wants to know your location");
    click(question->allowButton());
    EXPECT_EQ(answer(), "\"granted 52.5\"");
    EXPECT_TRUE(runUntil([&] { return tab(0).questions().empty(); }));
    start(kAskLocation); // asked again: answered without a bar
    EXPECT_EQ(answer(), "\"granted 52.5\"");
    EXPECT_TRUE(tab(0).questions().empty());

    start(kAskNotifications);
    question = waitForQuestion();
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text(), "127.0.0.1 wants to show notifications");
    click(question->denyButton());
    EXPECT_EQ(answer(), "\"denied\"");
    start(kAskNotifications);
    EXPECT_EQ(answer(), "\"denied\"");
    EXPECT_TRUE(tab(0).questions().empty());
    EXPECT_EQ(evaluateAsync(activeView(), "return (await navigator.permissions.query({name: 'geolocation'})).state;"),
        "\"granted\"");

    const auto entries = browser().sitePermissions().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(std::tuple(entries[0].host, entries[0].kind, entries[0].allowed), std::tuple("127.0.0.1", "geolocation", true));
    EXPECT_EQ(std::tuple(entries[1].host, entries[1].kind, entries[1].allowed), std::tuple("127.0.0.1", "notifications", false));

    // Forgotten, the site's next page asks again; leaving the page denies what it asked,
    // and nothing is remembered.
    browser().sitePermissions().forget("127.0.0.1", "geolocation");
    browser().loadURL(server.url("/other"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/other")));
    start(kAskLocation);
    ASSERT_TRUE(waitForQuestion());
    browser().loadURL(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_TRUE(tab(0).questions().empty());
    EXPECT_EQ(browser().sitePermissions().answer("127.0.0.1", "geolocation"), std::nullopt);
}

// What the previous run was told is what the page sees from the start.
TEST_F(SitePermissionsTest, RememberedAnswersReachThePageAfterARestart)
{
    {
        auto database = std::make_shared<ProfileDatabase>(ProfileDatabase::defaultPath());
        SitePermissions permissions(database);
        permissions.remember("127.0.0.1", "notifications", true, server.url("/").substr(0, server.url("/").size() - 1));
        permissions.remember("127.0.0.1", "geolocation", false);
        database->flush();
    }
    launchOnPage();
    EXPECT_EQ(evaluate(activeView(), "Notification.permission"), "\"granted\"");
    EXPECT_EQ(evaluateAsync(activeView(), "return (await navigator.permissions.query({name: 'notifications'})).state;"),
        "\"granted\"");
    start(kAskLocation);
    EXPECT_EQ(answer(), "\"denied 1\"");
    start(kAskNotifications);
    EXPECT_EQ(answer(), "\"granted\"");
    EXPECT_TRUE(tab(0).questions().empty());
}
