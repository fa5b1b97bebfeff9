// Renders the browser window to a PNG (the README's screenshot) and checks that it
// looks like the dark browser it should: the strip and toolbar greys, and the badge's
// shield drawn as a colour emoji rather than a missing-glyph box.
#include "support/Browser.h"

#include "devtools/DevToolsPanel.h"
#include "platform/UserDefaults.h"

#include <fstream>
#include <sstream>

using namespace quillmere;
using namespace quillmere::test;

namespace {

struct Image {
    int width = 0, height = 0;
    std::vector<guchar> rgba;
    std::array<int, 3> at(int x, int y) const
    {
        // Cairo's ARGB32 in memory order on a little-endian machine: B, G, R, A.
        const guchar* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
        return {p[2], p[1], p[0]};
    }
};

Image renderWindow(Gtk::Window& window, const std::string& pngPath)
{
    GtkWidget* widget = GTK_WIDGET(window.gobj());
    const int width = gtk_widget_get_width(widget);
    const int height = gtk_widget_get_height(widget);
    GdkPaintable* paintable = gtk_widget_paintable_new(widget);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    graphene_rect_t viewport = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture = gsk_renderer_render_texture(gtk_native_get_renderer(GTK_NATIVE(widget)), node, &viewport);
    gdk_texture_save_to_png(texture, pngPath.c_str());

    Image image;
    image.width = gdk_texture_get_width(texture);
    image.height = gdk_texture_get_height(texture);
    image.rgba.resize(static_cast<size_t>(image.width) * image.height * 4);
    gdk_texture_download(texture, image.rgba.data(), static_cast<gsize>(image.width) * 4);
    g_object_unref(texture);
    gsk_render_node_unref(node);
    g_object_unref(paintable);
    return image;
}

bool near(const std::array<int, 3>& pixel, int r, int g, int b, int tolerance = 3)
{
    return std::abs(pixel[0] - r) <= tolerance && std::abs(pixel[1] - g) <= tolerance && std::abs(pixel[2] - b) <= tolerance;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST_F(BrowserTest, ScreenshotShowsAFinishedDarkBrowser)
{
    const std::string data = std::getenv("QUILLMERE_TEST_DATA") ? std::getenv("QUILLMERE_TEST_DATA") : "";
    server.page("/", readFile(data + "/welcome.html"));
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
    evaluateAsync(activeView(), "await fetch('/docs'); await fetch('/news', { method: 'POST', body: 'since=1.0' });"
                                "await fetch('/missing'); console.log('ready'); return 1;");
    DevToolsPanel& panel = browser().devPanel();
    ASSERT_TRUE(runUntil([&] { return panel.consoleLineCount() == 1 && panel.pendingMessages() == 0; }));
    panel.networkTable().get_model()->select_item(1, true);
    runFor(500); // let the page paint its first frame

    const char* out = std::getenv("QUILLMERE_SCREENSHOT");
    const std::string path = out && *out ? out : std::string(QUILLMERE_BUILD_DIR) + "/screenshot.png";
    const Image image = renderWindow(browser().window(), path);
    ASSERT_EQ(image.width, 1200);

    // Where the strip, the toolbar and the badge are in the window.
    graphene_point_t origin = GRAPHENE_POINT_INIT(0, 0), content, badge;
    ASSERT_TRUE(gtk_widget_compute_point(GTK_WIDGET(browser().contentView().gobj()), GTK_WIDGET(browser().window().gobj()), &origin, &content));
    ASSERT_TRUE(gtk_widget_compute_point(GTK_WIDGET(browser().blockedBadge().gobj()), GTK_WIDGET(browser().window().gobj()), &origin, &badge));
    const int top = static_cast<int>(content.y);
    EXPECT_TRUE(near(image.at(1100, top + 2), 33, 33, 33)) << "tab strip grey";
    EXPECT_TRUE(near(image.at(600, top + 34 + 2), 41, 41, 41)) << "toolbar grey";
    const int panelTop = image.height - 280;
    EXPECT_TRUE(near(image.at(600, panelTop), 89, 140, 255)) << "developer tools accent line";
    EXPECT_TRUE(near(image.at(600, panelTop + 2 + 18), 33, 33, 33)) << "developer tools header grey";

    // The badge's text is green and its shield is a colour glyph: some pixels there are
    // neither grey nor the text's green.
    int green = 0, otherColour = 0;
    for (int y = static_cast<int>(badge.y); y < static_cast<int>(badge.y) + 18; ++y) {
        for (int x = static_cast<int>(badge.x); x < static_cast<int>(badge.x) + 82; ++x) {
            auto p = image.at(x, y);
            const int spread = std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]});
            if (near(p, 89, 204, 115, 40))
                ++green;
            else if (spread > 30)
                ++otherColour;
        }
    }
    EXPECT_GT(green, 20) << "badge text";
    EXPECT_GT(otherColour, 10) << "the shield emoji should render in colour";
}
