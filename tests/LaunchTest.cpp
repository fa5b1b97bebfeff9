#include "support/Browser.h"

#include "platform/UserDefaults.h"

#include <giomm/menumodel.h>
#include <glibmm/main.h>

#include <fstream>

using namespace quillmere;
using namespace quillmere::test;

class Launch : public BrowserTest { };

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
    // Addresses handed in before the window wait: the first takes the first tab, the
    // others get tabs of their own.
    launch({server.url("/one"), server.url("/two")});
    ASSERT_EQ(tabCount(), 2);
    EXPECT_TRUE(waitForTitle(0, "/one") && waitForTitle(1, "/two"));
    // Without its desktop entry both default-browser requests fail, and the launch goes on.
    ASSERT_TRUE(runUntil([] { return countLogged("Failed to set default handler for https: ") == 1; }));
    EXPECT_EQ(countLogged("Failed to set default handler for http: "), 1);

    EXPECT_EQ(
        menuText(application()->get_menubar()), "Quillmere;[[Settings...;][Quit Quillmere;]]File;[New Tab;Close Tab;]");
    for (const auto& [action, accel] : {std::pair {"app.newTab", "<Control>t"}, {"app.closeTab", "<Control>w"},
             {"app.openSettings", "<Control>comma"}})
        EXPECT_EQ(application()->get_accels_for_action(action), std::vector<Glib::ustring> {accel});

    // A file or an address handed in later opens in a new tab, leaving what the user has
    // in the others alone, and raises the window.
    const std::string file = makeTemporaryDirectory("quillmere-launch-XXXXXX") + "/page.html";
    std::ofstream(file) << "<title>Local File</title>";
    application()->open(Gio::File::create_for_commandline_arg(file));
    EXPECT_TRUE(waitForTitle(2, "Local File"));
    application()->open(Gio::File::create_for_uri(server.url("/home")));
    EXPECT_TRUE(waitForTitle(3, "/home"));
    EXPECT_EQ(browser().activeTabIndex(), 3);
    EXPECT_EQ(tab(0).title() + " " + tab(1).title(), "/one /two");
    EXPECT_TRUE(browser().window().is_active());
    // A javascript: address from outside opens nothing.
    application()->open(Gio::File::create_for_uri("javascript:alert(1)"));
    runFor(200);
    EXPECT_EQ(tabCount(), 4);
}

TEST(LaunchLoop, ClosingTheBrowserWindowQuitsTheProgram)
{
    auto application = AppDelegate::createApplication();
    AppDelegate delegate(application);
    application->signal_activate().connect([&] {
        Glib::signal_timeout().connect_once([&] { delegate.controller()->window().close(); }, 300);
        Glib::signal_timeout().connect_once(
            [&] {
                ADD_FAILURE() << "still running";
                application->quit();
            },
            20000);
    });
    char* argv[] = {const_cast<char*>("quillmere"), nullptr};
    EXPECT_EQ(application->run(1, argv), 0);
}
