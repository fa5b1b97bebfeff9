#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"
#include "devtools/DevToolsPanel.h"

#include <gdk/gdkkeysyms.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

void expectRect(const Gdk::Rectangle& actual, int x, int y, int width, int height, const char* what)
{
    EXPECT_EQ(actual.get_x(), x) << what << " x";
    EXPECT_EQ(actual.get_y(), y) << what << " y";
    EXPECT_EQ(actual.get_width(), width) << what << " width";
    EXPECT_EQ(actual.get_height(), height) << what << " height";
}

class BrowserWindow : public BrowserTest {
protected:
    void expectLayout()
    {
        Gtk::Box& content = browser().contentView();
        const int W = content.get_width();
        const int H = content.get_height();
        Gtk::Box& toolbar = browser().toolbar();
        expectRect(allocationIn(browser().tabBar(), content), 0, 0, W, 34, "tab strip");
        expectRect(allocationIn(toolbar, content), 0, 34, W, 40, "toolbar");
        expectRect(allocationIn(browser().backButton(), toolbar), 8, 6, 30, 28, "back");
        expectRect(allocationIn(browser().forwardButton(), toolbar), 42, 6, 30, 28, "forward");
        expectRect(allocationIn(browser().reloadButton(), toolbar), 76, 6, 30, 28, "reload");
        expectRect(allocationIn(browser().devToolsButton(), toolbar), 110, 6, 34, 28, "devtools");
        expectRect(allocationIn(browser().pipButton(), toolbar), 148, 6, 40, 28, "pip");
        expectRect(allocationIn(browser().addressField(), toolbar), 192, 6, W - 290, 28, "address field");
        expectRect(allocationIn(browser().blockedBadge(), toolbar), W - 90, 11, 82, 18, "badge");
        const Gdk::Rectangle frame = browser().webViewFrame();
        expectRect(frame, 0, 74, W, H - 74, "web view frame");
        expectRect(allocationIn(*tab(0).widget, content), frame.get_x(), frame.get_y(), frame.get_width(),
                   frame.get_height(), "web view");
    }
};

} // namespace

TEST_F(BrowserWindow, LaysOutStripToolbarAndPageAndKeepsThemInPlaceOnResize)
{
    server.page("/", "<title>Start</title><body>start</body>");
    setDefault(kHomepageKey, server.url("/"));
    launch();

    EXPECT_EQ(browser().window().get_width(), 1200);
    EXPECT_EQ(browser().window().get_height(), 800);
    EXPECT_EQ(browser().contentView().get_width(), 1200);
    expectLayout();

    resizeWindow(browser().window(), 1500, 900);
    ASSERT_TRUE(runUntil([&] { return browser().contentView().get_width() == 1500; }));
    expectLayout();
    resizeWindow(browser().window(), 700, 500);
    ASSERT_TRUE(runUntil([&] { return browser().contentView().get_width() == 700; }));
    expectLayout();
}

TEST_F(BrowserWindow, ShowsItsControlsWithTheirTexts)
{
    launch();
    EXPECT_EQ(browser().backButton().get_label(), "◀");
    EXPECT_EQ(browser().forwardButton().get_label(), "▶");
    EXPECT_EQ(browser().reloadButton().get_label(), "⟳");
    EXPECT_EQ(browser().devToolsButton().get_label(), "</>");
    EXPECT_EQ(browser().pipButton().get_label(), "PiP");
    EXPECT_EQ(browser().addressField().get_placeholder_text(), "Enter URL or search");
    EXPECT_EQ(browser().blockedBadge().get_text(), "🛡️ 0 blocked");

    Gdk::RGBA badge = browser().blockedBadge().get_style_context()->get_color();
    EXPECT_NEAR(badge.get_red(), 0.35, 0.01);
    EXPECT_NEAR(badge.get_green(), 0.8, 0.01);
    EXPECT_NEAR(badge.get_blue(), 0.45, 0.01);
}

TEST_F(BrowserWindow, F12TogglesTheDeveloperToolsWhateverTheFocusAndModifiers)
{
    server.page("/", "<title>Start</title>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    Gtk::Box& content = browser().contentView();
    const int H = content.get_height();

    browser().addressField().grab_focus();
    pressKey(GDK_KEY_F12);
    ASSERT_TRUE(browser().devPanelVisible());
    EXPECT_TRUE(browser().devPanel().get_visible());
    ASSERT_TRUE(runUntil([&] { return tab(0).widget->get_height() == H - 74 - 280; }));
    expectRect(allocationIn(*tab(0).widget, content), 0, 74, content.get_width(), H - 74 - 280, "web view above the panel");
    expectRect(allocationIn(browser().devPanel(), content), 0, H - 280, content.get_width(), 280, "panel");
    expectRect(browser().webViewFrame(), 0, 74, content.get_width(), H - 74 - 280, "web view frame");
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "true");

    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_F12, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    EXPECT_FALSE(browser().devPanelVisible());
    ASSERT_TRUE(runUntil([&] { return tab(0).widget->get_height() == H - 74; }));
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "false");

    // The toolbar button does the same.
    click(browser().devToolsButton());
    EXPECT_TRUE(runUntil([&] { return browser().devPanelVisible(); }));
}
