// The picture-in-picture panel as the user meets it: started from the toolbar, showing
// the stream, its buttons acting on the page it is bound to.
#include "PiPTestSupport.h"
#include "support/Input.h"

#include <gdk/x11/gdkx.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class PiPWindow : public PiPTest {
protected:
    std::string buttonLabel() { return panel()->playPauseButton().get_label(); }
    static graphene_rect_t boundsIn(Gtk::Widget& widget, Gtk::Widget& target)
    {
        graphene_rect_t bounds;
        return gtk_widget_compute_bounds(widget.gobj(), target.gobj(), &bounds) ? bounds
                                                                                : GRAPHENE_RECT_INIT(-1, -1, -1, -1);
    }
};

} // namespace

TEST_F(PiPWindow, TheButtonOpensAPanelThatFollowsAndControlsItsPageUntilItsTabCloses)
{
    launchOn(kMainVideoPage);
    ASSERT_TRUE(waitForReadyState("main"));
    // Listens on the root window, as a window manager does, for the state requests clients send there.
    ::Display* x = XOpenDisplay(nullptr);
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    XSync(x, False);
    EXPECT_EQ(panel(), nullptr);
    click(browser().pipButton());
    ASSERT_NE(panel(), nullptr);
    PiPPanel& window = *panel();
    ASSERT_TRUE(
        runUntil([&] { return window.imageView().get_paintable() && window.titleLabel().get_text() == "Main"; }));
    EXPECT_TRUE(window.get_visible() && !window.get_transient_for() && js("main.style.opacity") == "\"0\"");
    // Above other windows and on every workspace.
    const Atom state = XInternAtom(x, "_NET_WM_STATE", False), above = XInternAtom(x, "_NET_WM_STATE_ABOVE", False);
    const Atom sticky = XInternAtom(x, "_NET_WM_STATE_STICKY", False);
    const Window xid = gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window.gobj())));
    bool floating = false;
    for (XSync(x, False); !floating && XPending(x);) {
        XEvent event;
        XNextEvent(x, &event);
        const auto& m = event.xclient;
        floating = event.type == ClientMessage && m.window == xid && m.message_type == state && m.data.l[0] == 1
            && Atom(m.data.l[1]) == above && Atom(m.data.l[2]) == sticky;
    }
    XCloseDisplay(x);
    EXPECT_TRUE(floating);
    // Resized, the panel keeps its bar and, as large as fits in the middle, a 16 : 9.85 picture area.
    for (auto [W, H] : {std::pair {640, 394}, std::pair {900, 500}}) {
        resizeWindow(window, W, H);
        ASSERT_TRUE(runUntil([&] { return window.get_width() == W && window.get_height() == H; })) << W;
        runFor(100);
        const auto bar = boundsIn(window.controlBar(), window), area = boundsIn(window.imageView(), window);
        EXPECT_TRUE(bar.origin.x == 0 && bar.origin.y == H - 34 && bar.size.width == W && bar.size.height == 34) << W;
        const int areaWidth = std::min(W, static_cast<int>(H * 16 / 9.85 + 0.5));
        EXPECT_NEAR(area.size.width, areaWidth, 1);
        EXPECT_NEAR(area.size.height, areaWidth * 9.85 / 16, 1);
        EXPECT_NEAR(area.origin.x, (W - area.size.width) / 2, 1);
    }
    focusWindow(window); // on top, where the clicks land

    // Paused from the page, the button follows; it plays and pauses the page's video.
    // (A pause before playback has really begun can lose against autoplay.)
    ASSERT_TRUE(runUntil([&] { return js("main.currentTime > 0.3") == "true"; }));
    js("main.pause(); 1");
    ASSERT_TRUE(runUntil([&] { return buttonLabel() == "▶"; }));
    click(window.playPauseButton());
    EXPECT_TRUE(runUntil([&] { return js("main.paused") == "false" && buttonLabel() == "⏸"; }));
    click(window.playPauseButton());
    EXPECT_TRUE(runUntil([&] { return js("main.paused") == "true" && buttonLabel() == "▶"; }));

    // The window manager's close only hides the panel: the page streams on; a later start shows it again.
    window.close();
    EXPECT_FALSE(window.get_visible());
    EXPECT_TRUE(waitForMessages("frame", count("frame") + 2));
    browser().startPiP();
    ASSERT_TRUE(runUntil([&] { return window.get_mapped(); }));
    focusWindow(window); // on top, where the clicks land
    // "✕" hides the panel and gives the video back its own style. (A panel shown again
    // may take a moment to reach its place under a loaded X server; the click waits.)
    EXPECT_TRUE(runUntil([&] {
        if (window.get_visible())
            click(window.closeButton());
        return !window.get_visible();
    }));
    EXPECT_TRUE(runUntil([&] { return js("main.style.cssText") == "\"width: 640px; height: 480px;\""; }));

    // A start on another tab shows the same panel, bound to that tab.
    WebKitWebView* first = activeView();
    server.page("/other",
        "<title>Other</title><video id=other src='/pip-640x480.webm' muted autoplay style='width: 320px; height: "
        "240px'></video>");
    browser().openNewTab(server.url("/other"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/other")));
    ASSERT_TRUE(waitForReadyState("other"));
    browser().startPiP();
    EXPECT_TRUE(panel() == &window && window.webView().get() == activeView());
    ASSERT_TRUE(runUntil([&] { return window.get_mapped() && window.titleLabel().get_text() == "Other"; }));
    focusWindow(window); // shown again, it must be on screen where the click lands

    // With the streaming tab closed the controls have nothing to act on; the remaining page notes any call.
    browser().switchToTab(0);
    browser().closeTab(1);
    EXPECT_EQ(window.webView().get(), nullptr);
    evaluatePrivate(first,
        "window.calls = []; ['Start', 'Stop', 'Play', 'Pause'].forEach(name => window['__quilpip' + name] = () => "
        "calls.push(name)); 1");
    const int starts = count("started");
    click(window.playPauseButton());
    click(window.closeButton());
    EXPECT_FALSE(window.get_visible());
    runFor(300);
    EXPECT_EQ(evaluatePrivate(first, "calls.join()"), "\"\"");
    EXPECT_EQ(count("started"), starts);
}
