#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>
#include <gtkmm/overlay.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

std::string text(const Gdk::Rectangle& r)
{
    return std::to_string(r.get_x()) + "," + std::to_string(r.get_y()) + " " + std::to_string(r.get_width()) + "x"
        + std::to_string(r.get_height());
}

class Tabs : public BrowserTest {
protected:
    // The window title and the address field.
    std::string shown()
    {
        return browser().window().get_title().raw() + " " + browser().addressField().get_text().raw();
    }
    Gtk::Overlay& box(int index) { return *dynamic_cast<Gtk::Overlay*>(browser().tabBar().tabButtons().at(index)); }
    Gtk::Button& closeButton(int index) { return *dynamic_cast<Gtk::Button*>(box(index).get_last_child()); }
};

} // namespace

TEST_F(Tabs, KeysAndTheStripOpenSwitchAndCloseTabsThatShareTheStrip)
{
    for (const char* page : {"T0", "T1", "T2", "T3", "T4"})
        server.page("/" + Glib::ustring(page).lowercase(), std::string("<title>") + page + "</title>");
    setDefault(kHomepageKey, server.url("/t0"));
    launch();
    ASSERT_TRUE(waitForTitle(0, "T0"));
    for (const char* path : {"/t1", "/t2", "/t3", "/t4"})
        browser().openNewTab(server.url(path));
    ASSERT_TRUE(waitForTitle(1, "T1") && waitForTitle(2, "T2") && waitForTitle(3, "T3") && waitForTitle(4, "T4"));
    WebKitWebView* second = tab(1).webView();

    // Closing a tab activates the one that takes its place, the last one the one before
    // it; the closed tab's view goes away.
    expectFreed(tab(3).webView());
    click(closeButton(3));
    ASSERT_TRUE(runUntil([&] { return tabCount() == 4; }));
    EXPECT_EQ(browser().activeTabIndex(), 3);
    EXPECT_EQ(shown(), "T4 " + server.url("/t4"));
    expectFreed(tab(3).webView());
    click(closeButton(3));
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    EXPECT_EQ(browser().activeTabIndex(), 2);
    click(closeButton(0));
    ASSERT_TRUE(runUntil([&] { return tabCount() == 2; }));
    EXPECT_EQ(tab(0).title() + " " + tab(1).title(), "T1 T2");
    EXPECT_EQ(browser().webView(), second);
    EXPECT_TRUE(tab(0).widget()->get_visible() && !tab(1).widget()->get_visible());
    EXPECT_EQ(shown(), "T1 " + server.url("/t1"));

    // Anywhere on a box but its close button activates that tab; "+" opens the homepage.
    clickAt(*box(1).get_child(), 12, box(1).get_height() / 2.0);
    ASSERT_TRUE(runUntil([&] { return browser().activeTabIndex() == 1; }));
    EXPECT_EQ(shown(), "T2 " + server.url("/t2"));
    EXPECT_TRUE(box(1).has_css_class("active") && !box(0).has_css_class("active"));
    click(browser().tabBar().newTabButton());
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/t0")));

    // Ctrl+T and Ctrl+W from the address field and from the page.
    browser().addressField().grab_focus();
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
    ASSERT_EQ(tabCount(), 4);
    ASSERT_TRUE(waitForTitle(3, "T0"));
    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_w, {GDK_KEY_Control_L});
    EXPECT_EQ(tabCount(), 3);

    // Closing the only tab leaves a fresh one on the homepage.
    while (tabCount() > 1)
        browser().closeTab(0);
    const std::string lastId = tab(0).id();
    pressKey(GDK_KEY_w, {GDK_KEY_Control_L});
    ASSERT_EQ(tabCount(), 1);
    EXPECT_NE(tab(0).id(), lastId);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/t0")));

    // A long title ends in an ellipsis under a visible close button.
    const std::string longTitle(200, 'W');
    server.page("/long", "<title>" + longTitle + "</title>");
    browser().loadURL(server.url("/long"));
    ASSERT_TRUE(waitForTitle(0, longTitle));
    runUntil([&] { return closeButton(0).get_width() > 0; });
    auto* label = dynamic_cast<Gtk::Label*>(dynamic_cast<Gtk::Button*>(box(0).get_child())->get_child());
    EXPECT_TRUE(label->get_text().raw() == longTitle && pango_layout_is_ellipsized(label->get_layout()->gobj()));
    EXPECT_EQ(text(closeButton(0).get_allocation()), text(Gdk::Rectangle(box(0).get_width() - 20, 5, 16, 16)));
    EXPECT_TRUE(closeButton(0).get_mapped() && closeButton(0).get_label() == "✕");

    // Slots of clamp((1200 - 40) / n, 90, 180).
    TabBar& strip = browser().tabBar();
    for (auto [count, slot] : {std::pair {1, 180}, std::pair {8, 145}, std::pair {12, 96}}) {
        while (tabCount() < count)
            browser().openNewTab();
        // New boxes get their place at the next layout.
        EXPECT_TRUE(runUntil([&] { return strip.newTabButton().get_allocation().get_x() == 8 + count * slot; }))
            << count;
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(
                text(strip.tabButtons().at(i)->get_allocation()), text(Gdk::Rectangle(4 + i * slot, 4, slot - 4, 26)))
                << i;
    }
}

// Past the narrowest slots the strip scrolls: "+" stays at the right end, the active tab
// is always in view, and the wheel brings every other one into reach.
TEST_F(Tabs, TwentyFiveTabsScrollSoThatEveryOneCanBeReached)
{
    server.page("/", "<title>Start</title>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    TabBar& strip = browser().tabBar();
    const int stripWidth = strip.get_width();
    const int tabsRight = stripWidth - 40;
    auto inView = [&](int index) {
        const Gdk::Rectangle box = strip.tabButtons().at(index)->get_allocation();
        return box.get_x() >= 0 && box.get_x() + box.get_width() <= tabsRight;
    };
    for (int i = 1; i < 25; ++i) {
        pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
        ASSERT_TRUE(runUntil([&] { return tabCount() == i + 1 && inView(i); })) << i;
    }
    EXPECT_EQ(browser().activeTabIndex(), 24);
    EXPECT_EQ(strip.newTabButton().get_allocation().get_x(), tabsRight + 4);
    EXPECT_EQ(strip.scrollOffset(), strip.scrollRange());
    EXPECT_FALSE(inView(0));

    for (int index = 0; index < 25; ++index) {
        const int before = strip.scrollOffset();
        if (!inView(index)) {
            const bool left = strip.tabButtons().at(index)->get_allocation().get_x() < 0;
            scrollWheel(strip, left ? -1 : 1);
            ASSERT_TRUE(runUntil([&] { return strip.scrollOffset() != before; })) << index;
            --index; // look again
            continue;
        }
        click(*dynamic_cast<Gtk::Overlay&>(*strip.tabButtons().at(index)).get_child());
        ASSERT_TRUE(runUntil([&] { return browser().activeTabIndex() == index; })) << index;
    }
    // Switching to a tab out of view scrolls it in.
    browser().switchToTab(0);
    EXPECT_TRUE(runUntil([&] { return inView(0) && strip.scrollOffset() == 0; }));
}
