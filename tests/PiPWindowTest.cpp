// The picture-in-picture panel as the user meets it: started from the toolbar, showing
// the stream, its buttons acting on the page it is bound to.
#include "PiPTestSupport.h"
#include "support/Input.h"

#include <gdk/gdkkeysyms.h>

#include <gdk/x11/gdkx.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class PiPWindow : public PiPTest {
protected:
    void launchAndStart()
    {
        launchOn(kMainVideoPage);
        ASSERT_TRUE(waitForReadyState(activeView(), "main"));
        browser().startPiP();
        ASSERT_TRUE(runUntil([&] { return panel() && panel()->imageView().get_paintable(); }));
    }
    std::string buttonLabel() { return panel()->playPauseButton().get_label(); }
    bool mainVideoHidden() { return js("main.style.opacity") == "\"0\""; }
};

// The allocation of `widget` in `target`'s coordinates.
Gdk::Rectangle boundsIn(Gtk::Widget& widget, Gtk::Widget& target)
{
    graphene_rect_t bounds;
    if (!gtk_widget_compute_bounds(widget.gobj(), target.gobj(), &bounds))
        return Gdk::Rectangle(-1, -1, -1, -1);
    return Gdk::Rectangle(static_cast<int>(bounds.origin.x), static_cast<int>(bounds.origin.y),
                          static_cast<int>(bounds.size.width), static_cast<int>(bounds.size.height));
}

std::string text(const Gdk::Rectangle& r)
{
    return std::to_string(r.get_x()) + "," + std::to_string(r.get_y()) + " " + std::to_string(r.get_width()) + "x" + std::to_string(r.get_height());
}

// Listens on the root window, as a window manager does, for the state requests that
// clients send there.
class StateRequests {
public:
    StateRequests() : display_(XOpenDisplay(nullptr))
    {
        XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
        XSync(display_, False);
    }
    ~StateRequests() { XCloseDisplay(display_); }

    // Whether `window` asked to have both states added.
    bool asked(Window window, const char* first, const char* second)
    {
        const Atom state = XInternAtom(display_, "_NET_WM_STATE", False);
        const Atom a = XInternAtom(display_, first, False), b = XInternAtom(display_, second, False);
        XSync(display_, False);
        while (XPending(display_)) {
            XEvent event;
            XNextEvent(display_, &event);
            const auto& message = event.xclient;
            if (event.type == ClientMessage && message.window == window && message.message_type == state && message.data.l[0] == 1
                && Atom(message.data.l[1]) == a && Atom(message.data.l[2]) == b)
                return true;
        }
        return false;
    }

private:
    ::Display* display_;
};

} // namespace

TEST_F(PiPWindow, TheButtonOpensAFloatingPanelThatShowsTheStream)
{
    launchOn(kMainVideoPage);
    ASSERT_TRUE(waitForReadyState(activeView(), "main"));
    StateRequests requests;
    EXPECT_EQ(panel(), nullptr);

    click(browser().pipButton());
    ASSERT_NE(panel(), nullptr);
    EXPECT_TRUE(panel()->get_visible());
    EXPECT_EQ(panel()->get_transient_for(), nullptr);
    ASSERT_TRUE(runUntil([&] { return panel()->imageView().get_paintable() && panel()->titleLabel().get_text() == "Main"; }));
    // The button shows what the page's video does. (Synthetic clicks under Xvfb can make
    // a playing video race to its end, so either state may be the right one here.)
    EXPECT_TRUE(runUntil([&] { return buttonLabel() == (js("main.paused") == "true" ? "▶" : "⏸"); }));
    EXPECT_TRUE(mainVideoHidden());
    // The picture keeps the proportion of the frames (640 × 480 here).
    auto picture = panel()->imageView().get_paintable();
    EXPECT_NEAR(picture->get_intrinsic_aspect_ratio(), 4.0 / 3.0, 0.01);

    bool logged = false;
    for (const auto& entry : capturedLog())
        if (entry.message.rfind("PiP frame received #1 bytes=", 0) == 0)
            logged = entry.message.ends_with(" panelVisible=true panelOccluded=false");
    EXPECT_TRUE(logged);

    // Above other windows and on every workspace, as far as the window manager obliges.
    const Window xid = gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(panel()->gobj())));
    EXPECT_TRUE(requests.asked(xid, "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY"));

    // The window-wide keys work in the panel too.
    focusWindow(*panel());
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
    EXPECT_EQ(tabCount(), 2);
}

TEST_F(PiPWindow, KeepsItsProportionAndItsBarWhenResized)
{
    launchAndStart();
    PiPPanel& window = *panel();
    for (auto [width, height] : {std::pair{640, 394}, std::pair{900, 500}}) {
        resizeWindow(window, width, height);
        ASSERT_TRUE(runUntil([&] { return window.get_width() == width && window.get_height() == height; })) << width;
        runFor(100);
        const int W = width, H = height;
        EXPECT_EQ(text(boundsIn(window.controlBar(), window)), text(Gdk::Rectangle(0, H - 34, W, 34)));
        EXPECT_EQ(text(boundsIn(window.playPauseButton(), window.controlBar())), text(Gdk::Rectangle(6, 4, 26, 26)));
        EXPECT_EQ(text(boundsIn(window.closeButton(), window.controlBar())), text(Gdk::Rectangle(W - 32, 4, 26, 26)));
        EXPECT_EQ(text(boundsIn(window.titleLabel(), window.controlBar())), text(Gdk::Rectangle(36, 9, W - 76, 16)));
        // The picture's area keeps 16 : 9.85, as large as fits, in the middle.
        const auto area = boundsIn(window.imageView(), window);
        const int areaWidth = std::min(W, static_cast<int>(H * 16 / 9.85 + 0.5));
        EXPECT_NEAR(area.get_width(), areaWidth, 1);
        EXPECT_NEAR(area.get_height(), areaWidth * 9.85 / 16, 1);
        EXPECT_NEAR(area.get_x(), (W - area.get_width()) / 2, 1);
    }
}

TEST_F(PiPWindow, PlayPauseFollowsThePageAndCloseGivesTheVideoBack)
{
    launchAndStart();
    PiPPanel& window = *panel();

    // Paused from the page: the button follows the frames. (A pause before playback
    // has really begun can lose against autoplay.)
    ASSERT_TRUE(runUntil([&] { return js("main.currentTime > 0.3") == "true"; }));
    js("main.pause(); 1");
    ASSERT_TRUE(runUntil([&] { return buttonLabel() == "▶"; }));
    click(window.playPauseButton());
    EXPECT_TRUE(runUntil([&] { return js("main.paused") == "false" && buttonLabel() == "⏸"; }));
    click(window.playPauseButton());
    EXPECT_TRUE(runUntil([&] { return js("main.paused") == "true" && buttonLabel() == "▶"; }));

    // The window manager's close only hides the panel: the page streams on.
    window.close();
    EXPECT_FALSE(window.get_visible());
    const int frames = recorder->count("frame");
    EXPECT_TRUE(waitForMessages("frame", frames + 2, 5000));
    EXPECT_TRUE(mainVideoHidden());

    // A later start shows the same panel; its close button stops the stream.
    browser().startPiP();
    EXPECT_EQ(panel(), &window);
    EXPECT_TRUE(window.get_visible());
    click(window.closeButton());
    EXPECT_FALSE(window.get_visible());
    EXPECT_TRUE(runUntil([&] { return js("main.style.cssText") == "\"width: 640px; height: 480px;\""; }));
    runFor(100);
    const int stopped = recorder->count("frame");
    runFor(1500);
    EXPECT_EQ(recorder->count("frame"), stopped);
}

TEST_F(PiPWindow, AStartOnAnotherTabRebindsThePanelAndAClosedTabsControlsDoNothing)
{
    launchAndStart();
    PiPPanel& window = *panel();
    WebKitWebView* first = activeView();

    servePage("/other", "<title>Other</title><video id=other src='/pip-640x480.webm' muted autoplay style='width: 320px; height: 240px'></video>");
    browser().openNewTab(server.url("/other"));
    WebKitWebView* second = activeView();
    ASSERT_TRUE(waitForLoad(second, server.url("/other")));
    ASSERT_TRUE(waitForReadyState(second, "other"));
    browser().startPiP();
    EXPECT_EQ(panel(), &window);
    EXPECT_EQ(window.webView().get(), second);
    ASSERT_TRUE(runUntil([&] { return window.titleLabel().get_text() == "Other"; }));
    // The page the panel left has its video back.
    EXPECT_EQ(js(first, "main.style.opacity"), "\"\"");

    // With the streaming tab closed, the controls have nothing to act on.
    browser().switchToTab(0);
    browser().closeTab(1);
    EXPECT_EQ(window.webView().get(), nullptr);
    // Whatever the page functions of the remaining tab are asked to do is noted.
    js(first, "window.calls = []; ['Start', 'Stop', 'Play', 'Pause'].forEach(name => "
              "window['__quilpip' + name] = () => calls.push(name)); 1");
    click(window.playPauseButton());
    click(window.closeButton());
    EXPECT_FALSE(window.get_visible());
    runFor(300);
    EXPECT_EQ(js(first, "calls.join()"), "\"\"");
    EXPECT_EQ(recorder->count("started"), 2);
}
