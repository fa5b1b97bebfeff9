// Renders the browser window to a PNG (the README's screenshot) and checks that it looks
// like the dark browser it should, with the badge's shield drawn as a colour emoji.
#include "support/Browser.h"

#include "devtools/DevToolsPanel.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Renders `window` as its renderer draws it, saves it as a PNG at `path` and answers its
// pixels in Cairo's ARGB32 layout (B, G, R, A on a little-endian machine), `width` a row.
std::vector<guchar> renderWindow(Gtk::Window& window, const std::string& path, int& width)
{
    GtkWidget* widget = GTK_WIDGET(window.gobj());
    const graphene_rect_t viewport = GRAPHENE_RECT_INIT(
        0, 0, static_cast<float>(gtk_widget_get_width(widget)), static_cast<float>(gtk_widget_get_height(widget)));
    g_autoptr(GdkPaintable) paintable = gtk_widget_paintable_new(widget);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, viewport.size.width, viewport.size.height);
    g_autoptr(GskRenderNode) node = gtk_snapshot_free_to_node(snapshot);
    g_autoptr(GdkTexture) texture =
        gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(widget)), node, &viewport);
    gdk_texture_save_to_png(texture, path.c_str());
    width = gdk_texture_get_width(texture);
    std::vector<guchar> pixels(static_cast<size_t>(width) * gdk_texture_get_height(texture) * 4);
    gdk_texture_download(texture, pixels.data(), static_cast<gsize>(width) * 4);
    return pixels;
}

} // namespace

TEST_F(BrowserTest, ScreenshotShowsAFinishedDarkBrowser)
{
    server.page("/", testData("welcome.html"));
    server.page("/docs", "<title>Documentation</title>");
    server.page("/news", "<title>Release notes</title>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    browser().openNewTab(server.url("/docs"));
    browser().openNewTab(server.url("/news"));
    ASSERT_TRUE(waitForTitle(1, "Documentation"));
    ASSERT_TRUE(waitForTitle(2, "Release notes"));
    browser().switchToTab(0);
    ASSERT_TRUE(waitForTitle(0, "Welcome to Quillmere"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    // The developer tools open on a few requests of the page, one of them selected.
    browser().toggleDevTools();
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "window.__quildevActive") == "true"; }));
    evaluateAsync(activeView(),
        "await fetch('/docs'); await fetch('/news', { method: 'POST', body: 'since=1.0' });"
        "await fetch('/missing'); console.log('ready'); return 1;");
    DevToolsPanel& panel = browser().devPanel();
    ASSERT_TRUE(runUntil([&] { return panel.consoleLineCount() == 1 && panel.pendingMessages() == 0; }));
    panel.networkTable().get_model()->select_item(1, true);
    runFor(500); // let the page paint its first frame

    const char* out = std::getenv("QUILLMERE_SCREENSHOT");
    int width = 0;
    const auto image = renderWindow(
        browser().window(), out && *out ? out : std::string(QUILLMERE_BUILD_DIR) + "/screenshot.png", width);
    ASSERT_EQ(width, 1200);
    const int height = static_cast<int>(image.size()) / width / 4;
    // Whether the pixel at (x, y) is within `tolerance` of the colour r, g, b.
    const auto near = [&](int x, int y, int r, int g, int b, int tolerance = 3) {
        const guchar* p = &image[(static_cast<size_t>(y) * width + x) * 4];
        return std::abs(p[2] - r) <= tolerance && std::abs(p[1] - g) <= tolerance && std::abs(p[0] - b) <= tolerance;
    };
    graphene_point_t origin = GRAPHENE_POINT_INIT(0, 0), content, badge;
    ASSERT_TRUE(gtk_widget_compute_point(
        GTK_WIDGET(browser().contentView().gobj()), GTK_WIDGET(browser().window().gobj()), &origin, &content));
    ASSERT_TRUE(gtk_widget_compute_point(
        GTK_WIDGET(browser().blockedBadge().gobj()), GTK_WIDGET(browser().window().gobj()), &origin, &badge));
    EXPECT_TRUE(near(1100, static_cast<int>(content.y) + 2, 33, 33, 33)) << "tab strip grey";
    EXPECT_TRUE(near(600, static_cast<int>(content.y) + 34 + 2, 41, 41, 41)) << "toolbar grey";
    EXPECT_TRUE(near(600, height - 280, 89, 140, 255)) << "developer tools accent line";
    EXPECT_TRUE(near(600, height - 280 + 2 + 18, 33, 33, 33)) << "developer tools header grey";
    // The badge's text is green, and some pixels there are neither grey nor that green: the shield in colour.
    int green = 0, otherColour = 0;
    for (int y = static_cast<int>(badge.y); y < static_cast<int>(badge.y) + 18; ++y)
        for (int x = static_cast<int>(badge.x); x < static_cast<int>(badge.x) + 82; ++x) {
            const guchar* p = &image[(static_cast<size_t>(y) * width + x) * 4];
            const bool isGreen = near(x, y, 89, 204, 115, 40);
            green += isGreen;
            otherColour += !isGreen && std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) > 30;
        }
    EXPECT_GT(green, 20) << "badge text";
    EXPECT_GT(otherColour, 10) << "the shield emoji should render in colour";
}
