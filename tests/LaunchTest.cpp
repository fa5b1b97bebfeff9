#include "support/Browser.h"

#include "platform/UserDefaults.h"

#include <giomm/menumodel.h>
#include <glibmm/convert.h>
#include <glibmm/main.h>
#include <gtkmm/settings.h>

#include <fstream>

using namespace quillmere;
using namespace quillmere::test;

class Launch : public BrowserTest {};

// A menu's labels, each section or submenu in brackets.
static std::string menuText(const Glib::RefPtr<Gio::MenuModel>& menu)
{
    std::string text;
    for (int i = 0; i < menu->get_n_items(); ++i) {
        if (auto label = menu->get_item_attribute(i, Gio::MenuModel::Attribute::LABEL, Glib::VariantType("s")))
            text += Glib::VariantBase::cast_dynamic<Glib::Variant<Glib::ustring>>(label).get().raw() + ";";
        for (auto link : {Gio::MenuModel::Link::SECTION, Gio::MenuModel::Link::SUBMENU})
            if (auto items = menu->get_item_link(i, link))
                text += "[" + menuText(items) + "]";
    }
    return text;
}

TEST_F(Launch, HandedInAddressesAndFilesLoadAndTheMenuBarIsBuilt)
{
    for (const std::string page : {"/home", "/one", "/two"})
        server.page(page, "<title>" + page + "</title>");
    setDefault(kHomepageKey, server.url("/home"));
    // Addresses handed in before the window wait, then load in order into the first tab.
    launch({server.url("/one"), server.url("/two")});
    EXPECT_EQ(tabCount(), 1);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/two")));
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/two"));
    // Without its desktop entry both default-browser requests fail, and the launch goes on.
    ASSERT_TRUE(runUntil([] { return countLogged("Failed to set default handler for https: ") == 1; }));
    EXPECT_EQ(countLogged("Failed to set default handler for http: "), 1);

    EXPECT_EQ(menuText(application()->get_menubar()), "Quillmere;[[Settings...;][Quit Quillmere;]]File;[New Tab;Close Tab;]");
    for (const auto& [action, accel] : {std::pair{"app.newTab", "<Control>t"}, {"app.closeTab", "<Control>w"},
                                        {"app.openSettings", "<Control>comma"}, {"app.quit", "<Control>q"}})
        EXPECT_EQ(application()->get_accels_for_action(action), std::vector<Glib::ustring>{accel});
    EXPECT_TRUE(browser().window().get_show_menubar());
    EXPECT_TRUE(Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme().get_value());

    // A path handed in later loads as a file into the active tab, even when it does not exist.
    const std::string dir = makeTemporaryDirectory("quillmere-launch-XXXXXX");
    std::ofstream(dir + "/page.html") << "<title>Local File</title><p>hello</p>";
    for (const std::string name : {"/missing.html", "/page.html"}) {
        application()->open(Gio::File::create_for_commandline_arg(dir + name));
        EXPECT_TRUE(waitForLoad(activeView(), Glib::filename_to_uri(dir + name))) << name;
    }
    EXPECT_TRUE(waitForTitle(0, "Local File"));

    // An address handed in later loads into the active tab and raises the window.
    browser().openNewTab();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/home")));
    application()->open(Gio::File::create_for_uri(server.url("/one")));
    EXPECT_TRUE(waitForTitle(1, "/one"));
    EXPECT_EQ(tab(0).title, "Local File");
    EXPECT_TRUE(browser().window().is_active());
}

TEST(LaunchLoop, ClosingTheBrowserWindowQuitsTheProgram)
{
    auto application = Gtk::Application::create("com.brenhollow.quillmere", Gio::Application::Flags::HANDLES_OPEN);
    AppDelegate delegate(application);
    application->signal_activate().connect([&] {
        Glib::signal_timeout().connect_once([&] { delegate.controller()->window().close(); }, 300);
        Glib::signal_timeout().connect_once([&] { ADD_FAILURE() << "still running"; application->quit(); }, 20000);
    });
    char* argv[] = {const_cast<char*>("quillmere"), nullptr};
    EXPECT_EQ(application->run(1, argv), 0);
}
