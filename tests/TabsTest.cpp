#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Tabs : public BrowserTest {
protected:
    // Launches on a titled home page, then opens tabs so that there are `count` in all,
    // each on its own titled page ("T0", "T1", ...).
    void launchWithTabs(int count)
    {
        for (int i = 0; i < count; ++i)
            server.page("/t" + std::to_string(i), "<title>T" + std::to_string(i) + "</title>");
        setDefault(kHomepageKey, server.url("/t0"));
        launch();
        for (int i = 1; i < count; ++i)
            browser().openNewTab(server.url("/t" + std::to_string(i)));
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(waitForTitle(i, "T" + std::to_string(i)));
    }

    std::vector<std::string> titles()
    {
        std::vector<std::string> list;
        for (const auto& t : browser().tabs())
            list.push_back(t->title);
        return list;
    }

    // The parts of the strip's box for tab `index`.
    Gtk::Overlay& box(int index) { return *dynamic_cast<Gtk::Overlay*>(browser().tabBar().tabButtons().at(index)); }
    Gtk::Button& titleButton(int index) { return *dynamic_cast<Gtk::Button*>(box(index).get_child()); }
    Gtk::Button& closeButton(int index)
    {
        for (Gtk::Widget* child = box(index).get_first_child(); child; child = child->get_next_sibling())
            if (auto* button = dynamic_cast<Gtk::Button*>(child); button && button->get_label() == "✕")
                return *button;
        throw std::runtime_error("no close button");
    }

    bool visible(int index) { return tab(index).widget->get_visible(); }
};

} // namespace

TEST_F(Tabs, KeysOpenAndCloseTabsWhereverTheFocusIs)
{
    launchWithTabs(1);
    // Focus in the address field.
    browser().addressField().grab_focus();
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
    ASSERT_EQ(tabCount(), 2);
    EXPECT_EQ(browser().activeTabIndex(), 1);
    EXPECT_TRUE(visible(1));
    EXPECT_FALSE(visible(0));

    // Focus inside the web page.
    ASSERT_TRUE(waitForTitle(1, "T0"));
    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
    EXPECT_EQ(tabCount(), 3);
    pressKey(GDK_KEY_w, {GDK_KEY_Control_L});
    EXPECT_EQ(tabCount(), 2);

    // Shift changes the key to a capital T or W, which goes through untouched.
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    pressKey(GDK_KEY_w, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    EXPECT_EQ(tabCount(), 2);

    // The menu's actions do the same as the keys.
    application()->activate_action("newTab");
    EXPECT_EQ(tabCount(), 3);
    application()->activate_action("closeTab");
    EXPECT_EQ(tabCount(), 2);
}

TEST_F(Tabs, ClosingTheOnlyTabLeavesAFreshHomepageTab)
{
    launchWithTabs(1);
    const std::string firstId = tab(0).id;
    pressKey(GDK_KEY_w, {GDK_KEY_Control_L});
    ASSERT_EQ(tabCount(), 1);
    EXPECT_NE(tab(0).id, firstId);
    EXPECT_EQ(browser().activeTabIndex(), 0);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/t0")));
    EXPECT_EQ(browser().blockedBadge().get_text(), "🛡️ 0 blocked");
}

TEST_F(Tabs, ClosingActivatesTheTabThatTakesTheClosedPlace)
{
    launchWithTabs(4);
    // The last tab, active: the one before it takes over.
    ASSERT_EQ(browser().activeTabIndex(), 3);
    click(closeButton(3));
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    EXPECT_EQ(titles(), (std::vector<std::string>{"T0", "T1", "T2"}));
    EXPECT_EQ(browser().activeTabIndex(), 2);

    // A tab left of the active one: the tab that slid into its place becomes active,
    // not the one that was active.
    browser().switchToTab(2);
    click(closeButton(0));
    ASSERT_TRUE(runUntil([&] { return tabCount() == 2; }));
    EXPECT_EQ(titles(), (std::vector<std::string>{"T1", "T2"}));
    EXPECT_EQ(browser().activeTabIndex(), 0);
    EXPECT_EQ(browser().window().get_title().raw(), "T1");
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/t1"));
    EXPECT_TRUE(visible(0));
    EXPECT_FALSE(visible(1));

    // Out of range: nothing happens.
    browser().closeTab(7);
    browser().closeTab(-1);
    browser().switchToTab(2);
    browser().switchToTab(-1);
    EXPECT_EQ(tabCount(), 2);
    EXPECT_EQ(browser().activeTabIndex(), 0);
}

TEST_F(Tabs, ClickingTheStripSwitchesOpensAndCloses)
{
    launchWithTabs(3);
    // Anywhere on a box but its close button activates that tab.
    Gtk::Button& title = titleButton(0);
    clickAt(title, 12, title.get_height() / 2.0);
    ASSERT_TRUE(runUntil([&] { return browser().activeTabIndex() == 0; }));
    EXPECT_EQ(browser().window().get_title().raw(), "T0");
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/t0"));
    EXPECT_TRUE(box(0).has_css_class("active"));
    EXPECT_FALSE(box(1).has_css_class("active"));

    click(browser().tabBar().newTabButton());
    ASSERT_TRUE(runUntil([&] { return tabCount() == 4; }));
    EXPECT_EQ(browser().activeTabIndex(), 3);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/t0")));

    click(closeButton(1));
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    EXPECT_EQ(titles(), (std::vector<std::string>{"T0", "T2", "T0"}));
}

TEST_F(Tabs, StripWidthsFollowTheFormulaAndExtraTabsAreClipped)
{
    launchWithTabs(1);
    TabBar& strip = browser().tabBar();
    const int W = strip.get_width();
    ASSERT_EQ(W, 1200);
    auto expectSlots = [&](int count, int slot) {
        ASSERT_EQ(static_cast<int>(strip.tabButtons().size()), count);
        // New boxes get their place at the next layout.
        runUntil([&] { return strip.newTabButton().get_allocation().get_x() == 8 + count * slot; });
        for (int i = 0; i < count; ++i) {
            auto a = strip.tabButtons()[i]->get_allocation();
            EXPECT_EQ(a.get_x(), 4 + i * slot) << "box " << i;
            EXPECT_EQ(a.get_width(), slot - 4) << "box " << i;
            EXPECT_EQ(a.get_y(), 4);
            EXPECT_EQ(a.get_height(), 26);
        }
        auto plus = strip.newTabButton().get_allocation();
        EXPECT_EQ(plus.get_x(), 8 + count * slot);
        EXPECT_EQ(plus.get_y(), 6);
        EXPECT_EQ(plus.get_width(), 28);
        EXPECT_EQ(plus.get_height(), 22);
    };
    expectSlots(1, 180);
    for (int i = 1; i < 8; ++i)
        browser().openNewTab(server.url("/t0"));
    expectSlots(8, (1200 - 40) / 8);
    for (int i = 8; i < 20; ++i)
        browser().openNewTab(server.url("/t0"));
    expectSlots(20, 90);
    // The last boxes lie past the strip's right edge; the strip does not grow.
    EXPECT_GT(strip.tabButtons().back()->get_allocation().get_x(), W);
    EXPECT_EQ(strip.get_width(), 1200);
    EXPECT_EQ(browser().window().get_width(), 1200);
}

TEST_F(Tabs, LongTitlesEndInAnEllipsisUnderAVisibleCloseButton)
{
    const std::string longTitle(200, 'W');
    server.page("/long", "<title>" + longTitle + "</title>");
    setDefault(kHomepageKey, server.url("/long"));
    launch();
    ASSERT_TRUE(waitForTitle(0, longTitle));
    runUntil([&] { return closeButton(0).get_width() > 0; });
    auto* label = dynamic_cast<Gtk::Label*>(titleButton(0).get_child());
    ASSERT_TRUE(label);
    EXPECT_EQ(label->get_text().raw(), longTitle);
    EXPECT_TRUE(pango_layout_is_ellipsized(label->get_layout()->gobj()));
    Gtk::Button& close = closeButton(0);
    auto closeFrame = close.get_allocation();
    EXPECT_EQ(closeFrame.get_width(), 16);
    EXPECT_EQ(closeFrame.get_height(), 16);
    EXPECT_EQ(closeFrame.get_x(), box(0).get_width() - 20);
    EXPECT_EQ(closeFrame.get_y(), 5);
    EXPECT_TRUE(close.get_mapped());
}

TEST_F(Tabs, EachTabKeepsItsOwnPageAddressAndBadge)
{
    launchWithTabs(2);
    // A hidden tab keeps its page alive and running.
    evaluate(tab(0).webView.get(), "window.ticks = 0; setInterval(() => window.ticks++, 20); 1");
    ASSERT_EQ(browser().activeTabIndex(), 1);
    runFor(400);
    EXPECT_NE(evaluate(tab(0).webView.get(), "window.ticks"), "0");

    browser().switchToTab(0);
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/t0"));
    EXPECT_EQ(browser().window().get_title().raw(), "T0");
    EXPECT_EQ(browser().blockedBadge().get_text(), "🛡️ 0 blocked");
    EXPECT_EQ(browser().webView(), tab(0).webView.get());
}

TEST_F(Tabs, WindowsThatPagesOpenBecomeTabsAndCloseAsTabs)
{
    server.page("/", "<title>Opener</title><style>a, button { display: block; font-size: 30px; margin: 20px; }</style>"
                     "<a id='link' target='_blank' href='/linked'>linked</a>"
                     "<button id='button' onclick=\"window.open('/popup')\">popup</button>");
    server.page("/linked", "<title>Linked</title>");
    server.page("/popup", "<title>Popup</title>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForTitle(0, "Opener"));

    // Real clicks on the page, as the engine lets only a user open windows.
    auto clickElement = [&](const char* id) {
        const std::string x = evaluate(tab(0).webView.get(), std::string("(() => { const r = document.getElementById('") + id +
                                                                 "').getBoundingClientRect(); return r.x + r.width / 2; })()");
        const std::string y = evaluate(tab(0).webView.get(), std::string("(() => { const r = document.getElementById('") + id +
                                                                 "').getBoundingClientRect(); return r.y + r.height / 2; })()");
        clickAt(*tab(0).widget, std::stod(x), std::stod(y));
    };
    clickElement("link");
    ASSERT_TRUE(runUntil([&] { return tabCount() == 2; }));
    EXPECT_EQ(browser().activeTabIndex(), 1);
    EXPECT_TRUE(waitForTitle(1, "Linked"));

    browser().switchToTab(0);
    clickElement("button");
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    EXPECT_TRUE(waitForTitle(2, "Popup"));
    WebKitWebView* popup = tab(2).webView.get();
    EXPECT_EQ(evaluate(popup, "window.opener !== null"), "true");

    // A page that closes its own window closes its tab.
    evaluate(popup, "window.close(); 1");
    EXPECT_TRUE(runUntil([&] { return tabCount() == 2; }));
    EXPECT_EQ(tab(0).title, "Opener");
    EXPECT_EQ(tab(1).title, "Linked");
}
