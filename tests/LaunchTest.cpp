#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"

#include <giomm/menumodel.h>
#include <glibmm/main.h>
#include <gtkmm/settings.h>

#include <fstream>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Launch : public BrowserTest {
protected:
    std::string viewURI()
    {
        const char* uri = webkit_web_view_get_uri(activeView());
        return uri ? uri : "";
    }
};

// The labels of a menu model's items, sections flattened, submenus as "label>".
std::vector<std::string> menuLabels(const Glib::RefPtr<Gio::MenuModel>& menu)
{
    std::vector<std::string> labels;
    for (int i = 0; i < menu->get_n_items(); ++i) {
        if (auto section = menu->get_item_link(i, Gio::MenuModel::Link::SECTION)) {
            for (const auto& label : menuLabels(section))
                labels.push_back(label);
            continue;
        }
        Glib::VariantBase label = menu->get_item_attribute(i, Gio::MenuModel::Attribute::LABEL, Glib::VariantType("s"));
        std::string text = Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(label).get();
        if (menu->get_item_link(i, Gio::MenuModel::Link::SUBMENU))
            text += ">";
        labels.push_back(text);
    }
    return labels;
}

} // namespace

TEST_F(Launch, AddressesHandedInBeforeTheWindowLoadInOrderIntoTheFirstTab)
{
    server.page("/home", "<title>Home</title>");
    server.page("/one", "<title>One</title>");
    server.page("/two", "<title>Two</title>");
    setDefault(kHomepageKey, server.url("/home"));
    launch({server.url("/one"), server.url("/two")});

    EXPECT_TRUE(delegate().pendingURLs().empty());
    EXPECT_EQ(tabCount(), 1);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/two")));
    EXPECT_TRUE(waitForTitle(0, "Two"));
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/two"));
}

TEST_F(Launch, AFileHandedInLoadsAsAFileEvenWhenItDoesNotExist)
{
    char* dir = g_dir_make_tmp("quillmere-launch-XXXXXX", nullptr);
    const std::string path = std::string(dir) + "/page.html";
    std::ofstream(path) << "<title>Local File</title><p>hello</p>";
    launch({path, std::string(dir) + "/missing.html"});
    char* missing = g_filename_to_uri((std::string(dir) + "/missing.html").c_str(), nullptr, nullptr);
    EXPECT_TRUE(runUntil([&] { return viewURI() == missing && !webkit_web_view_is_loading(activeView()); }));
    EXPECT_EQ(tabCount(), 1);

    char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    application()->open(Gio::File::create_for_path(path));
    EXPECT_TRUE(waitForTitle(0, "Local File"));
    EXPECT_EQ(viewURI(), uri);
    g_free(uri);
    g_free(missing);
    g_free(dir);
}

TEST_F(Launch, AnAddressHandedInLaterLoadsIntoTheActiveTabAndRaisesTheWindow)
{
    server.page("/home", "<title>Home</title>");
    server.page("/later", "<title>Later</title>");
    setDefault(kHomepageKey, server.url("/home"));
    launch();
    browser().openNewTab();
    ASSERT_EQ(tabCount(), 2);
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/home")));

    application()->open(Gio::File::create_for_uri(server.url("/later")));
    EXPECT_TRUE(waitForTitle(1, "Later"));
    EXPECT_EQ(tabCount(), 2);
    EXPECT_EQ(tab(0).title, "Home");
    EXPECT_TRUE(browser().window().is_active());
}

TEST_F(Launch, BuildsTheMenuBarAndLogsTheLaunch)
{
    launch();
    auto menubar = application()->get_menubar();
    ASSERT_TRUE(menubar);
    EXPECT_EQ(menuLabels(menubar), (std::vector<std::string>{"Quillmere>", "File>"}));
    EXPECT_EQ(menuLabels(menubar->get_item_link(0, Gio::MenuModel::Link::SUBMENU)),
              (std::vector<std::string>{"Settings...", "Quit Quillmere"}));
    EXPECT_EQ(menuLabels(menubar->get_item_link(1, Gio::MenuModel::Link::SUBMENU)),
              (std::vector<std::string>{"New Tab", "Close Tab"}));
    EXPECT_EQ(application()->get_accels_for_action("app.newTab"), std::vector<Glib::ustring>{"<Control>t"});
    EXPECT_EQ(application()->get_accels_for_action("app.closeTab"), std::vector<Glib::ustring>{"<Control>w"});
    EXPECT_EQ(application()->get_accels_for_action("app.openSettings"), std::vector<Glib::ustring>{"<Control>comma"});
    EXPECT_EQ(application()->get_accels_for_action("app.quit"), std::vector<Glib::ustring>{"<Control>q"});
    EXPECT_TRUE(browser().window().get_show_menubar());

    EXPECT_TRUE(logged("Quillmere launching, loading ad-block rule list"));
    // A session without a session manager refuses the inhibitor; the launch goes on.
    EXPECT_EQ(countLogged("Suspend inhibitor started") + countLogged("Suspend inhibitor unavailable"), 1);
    EXPECT_TRUE(Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme().get_value());
}

TEST(LaunchLoop, ClosingTheBrowserWindowQuitsTheProgram)
{
    auto application = Gtk::Application::create("com.brenhollow.quillmere", Gio::Application::Flags::HANDLES_OPEN);
    AppDelegate delegate(application);
    bool timedOut = false;
    application->signal_activate().connect([&] {
        Glib::signal_timeout().connect_once([&] { delegate.controller()->window().close(); }, 300);
        Glib::signal_timeout().connect_once([&] {
            timedOut = true;
            application->quit();
        }, 20000);
    });
    char name[] = "quillmere";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(application->run(1, argv), 0);
    EXPECT_FALSE(timedOut);
}
