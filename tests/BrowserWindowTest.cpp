#include "support/Browser.h"
#include "support/Input.h"

#include "devtools/DevToolsPanel.h"
#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>

using namespace quillmere;
using namespace quillmere::test;

using BrowserWindow = BrowserTest;

TEST_F(BrowserWindow, ShowsItsControlsKeepsThemInPlaceOnResizeAndF12TogglesTheDeveloperTools)
{
    server.page("/", "<title>Start</title><body>start</body>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    BrowserWindowController& b = browser();
    EXPECT_EQ(b.backButton().get_label() + b.forwardButton().get_label() + b.reloadButton().get_label()
            + b.devToolsButton().get_label() + b.pipButton().get_label() + b.addressField().get_placeholder_text(),
        "◀▶⟳</>PiPEnter URL or search");

    // Strip, toolbar and page fill the window; the toolbar's controls keep their places; the panel takes 280 from the
    // page.
    Gtk::Box& content = b.contentView();
    EXPECT_EQ(std::vector<int>({b.window().get_width(), b.window().get_height(), content.get_width()}),
        std::vector<int>({1200, 800, 1200}));
    const auto expectLayout = [&](int panel) {
        const int W = content.get_width(), H = content.get_height();
        Gtk::Box& toolbar = b.toolbar();
        for (const auto& [widget, parent, frame] : std::vector<std::tuple<Gtk::Widget*, Gtk::Widget*, Gdk::Rectangle>> {
                 {&b.tabBar(), &content, {0, 0, W, 34}}, {&toolbar, &content, {0, 34, W, 40}},
                 {&b.backButton(), &toolbar, {8, 6, 30, 28}}, {&b.forwardButton(), &toolbar, {42, 6, 30, 28}},
                 {&b.reloadButton(), &toolbar, {76, 6, 30, 28}}, {&b.devToolsButton(), &toolbar, {110, 6, 34, 28}},
                 {&b.pipButton(), &toolbar, {148, 6, 40, 28}}, {&b.addressField(), &toolbar, {192, 6, W - 290, 28}},
                 {&b.blockedBadge(), &toolbar, {W - 90, 11, 82, 18}},
                 {tab(0).widget(), &content, {0, 74, W, H - 74 - panel}}})
            EXPECT_EQ(allocationIn(*widget, *parent), frame)
                << G_OBJECT_TYPE_NAME(widget->gobj()) << " at " << frame.get_x();
        EXPECT_EQ(b.webViewFrame(), Gdk::Rectangle(0, 74, W, H - 74 - panel));
        EXPECT_TRUE(!panel || allocationIn(b.devPanel(), content) == Gdk::Rectangle(0, H - 280, W, 280))
            << "developer tools panel";
    };
    expectLayout(0);
    for (const auto& [width, height] : {std::pair {700, 500}, {1500, 900}}) {
        resizeWindow(b.window(), width, height);
        ASSERT_TRUE(runUntil([&] { return content.get_width() == width; }));
        expectLayout(0);
    }

    // F12 opens the panel whatever has the focus, and closes it whatever the modifiers held.
    const int H = content.get_height();
    b.addressField().grab_focus();
    pressKey(GDK_KEY_F12);
    ASSERT_TRUE(b.devPanelVisible() && b.devPanel().get_visible());
    ASSERT_TRUE(runUntil([&] { return tab(0).widget()->get_height() == H - 74 - 280; }));
    expectLayout(280);
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "true");
    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_F12, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    EXPECT_FALSE(b.devPanelVisible());
    ASSERT_TRUE(runUntil([&] { return tab(0).widget()->get_height() == H - 74; }));
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "false");
    // The toolbar button does the same.
    click(b.devToolsButton());
    EXPECT_TRUE(runUntil([&] { return b.devPanelVisible(); }));
}
