// Permission requests: a bar in the asking tab, the answer reaching the page and holding
// for the site's next requests, also after a restart.
#include "support/Browser.h"
#include "support/Input.h"

#include "browser/QuestionBar.h"
#include "permissions/SitePermissions.h"
#include "platform/ProfileDatabase.h"
#include "platform/UserDefaults.h"
#include "settings/SettingsWindow.h"

#include <gdk/gdkkeysyms.h>

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
};

constexpr const char* kAskLocation =
    "window.answer = new Promise(done => navigator.geolocation.getCurrentPosition("
    "  p => done('granted ' + p.coords.latitude), e => done('denied ' + e.code)));";
constexpr const char* kAskNotifications = "window.answer = Notification.requestPermission();";

// The desktop's notification service, as GIO talks to it on a GNOME-like desktop: the
// title and body of every notification it is given.
class NotificationService {
public:
    NotificationService()
    {
        static const char xml[] = "<node><interface name='org.gtk.Notifications'>"
                                  "<method name='AddNotification'><arg type='s'/><arg type='s'/><arg type='a{sv}'/></method>"
                                  "<method name='RemoveNotification'><arg type='s'/><arg type='s'/></method>"
                                  "</interface></node>";
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        info_ = g_dbus_node_info_new_for_xml(xml, nullptr);
        static const GDBusInterfaceVTable table = {
            +[](GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant* parameters,
                 GDBusMethodInvocation* invocation, gpointer data) {
                if (g_str_equal(method, "AddNotification")) {
                    g_autoptr(GVariant) fields = g_variant_get_child_value(parameters, 2);
                    const char* title = "";
                    const char* body = "";
                    g_variant_lookup(fields, "title", "&s", &title);
                    g_variant_lookup(fields, "body", "&s", &body);
                    static_cast<NotificationService*>(data)->shown.push_back(std::string(title) + ": " + body);
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            nullptr, nullptr, {}};
        g_dbus_connection_register_object(
            bus_, "/org/gtk/Notifications", info_->interfaces[0], &table, this, nullptr, nullptr);
        owner_ = g_bus_own_name_on_connection(bus_, "org.gtk.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE,
            +[](GDBusConnection*, const char*, gpointer data) { *static_cast<bool*>(data) = true; }, nullptr, &owned_,
            nullptr);
        runUntil([&] { return owned_; }, 5000);
    }
    ~NotificationService()
    {
        g_bus_unown_name(owner_);
        g_dbus_node_info_unref(info_);
        g_object_unref(bus_);
    }
    std::vector<std::string> shown;

private:
    GDBusConnection* bus_;
    GDBusNodeInfo* info_;
    guint owner_ = 0;
    bool owned_ = false;
};

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

// What the previous run was told is what the page sees from the start; the site's
// notifications reach the desktop.
TEST_F(SitePermissionsTest, RememberedAnswersReachThePageAfterARestart)
{
    NotificationService desktop;
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
    evaluate(activeView(), "new Notification('Meeting', {body: 'in five minutes'}); 1");
    EXPECT_TRUE(runUntil([&] { return desktop.shown == std::vector<std::string> {"Meeting: in five minutes"}; }));

    // The settings window lists them, each with a way to forget it.
    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([&] { return delegate().settingsWindow() && delegate().settingsWindow()->get_mapped(); }));
    SettingsWindow& settings = *delegate().settingsWindow();
    focusWindow(settings);
    click(settings.sitePermissionsButton());
    ASSERT_TRUE(runUntil([&] { return settings.sitePermissionsList().get_mapped(); }));
    auto rows = [&] {
        std::vector<std::string> texts;
        for (Gtk::Widget* row = settings.sitePermissionsList().get_first_child(); row; row = row->get_next_sibling())
            if (auto* label = dynamic_cast<Gtk::Label*>(row->get_first_child()))
                texts.push_back(label->get_text());
        return texts;
    };
    EXPECT_EQ(rows(), (std::vector<std::string> {"127.0.0.1 — Location: Denied", "127.0.0.1 — Notifications: Allowed"}));
    click(*settings.sitePermissionsList().get_first_child()->get_last_child());
    EXPECT_TRUE(runUntil([&] { return rows() == std::vector<std::string> {"127.0.0.1 — Notifications: Allowed"}; }));
    EXPECT_EQ(browser().sitePermissions().answer("127.0.0.1", "geolocation"), std::nullopt);
}

// A tab in the background keeps its question until it is shown; closing it answers no.
TEST_F(SitePermissionsTest, AQuestionFromAHiddenTabWaitsUntilTheTabIsShown)
{
    launchOnPage();
    browser().openNewTab(server.url("/other"));
    ASSERT_TRUE(waitForLoad(tab(1).webView(), server.url("/other")));
    browser().switchToTab(0);
    webkit_web_view_evaluate_javascript(tab(1).webView(), kAskNotifications, -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(runUntil([&] { return !tab(1).questions().empty(); }));
    runFor(200);
    EXPECT_FALSE(tab(1).questions().front()->get_mapped());
    browser().switchToTab(1);
    QuestionBar* question = waitForQuestion(1);
    ASSERT_TRUE(question);
    EXPECT_EQ(question->text(), "127.0.0.1 wants to show notifications");
    browser().closeTab(1);
    EXPECT_EQ(tabCount(), 1);
    EXPECT_TRUE(browser().sitePermissions().entries().empty());
}
