#include "history/SiteIcons.h"

#include "platform/GObjectPtr.h"

#include <webkit/webkit.h>

namespace quillmere::SiteIcons {

namespace {

WebKitWebsiteDataManager* dataManager()
{
    return webkit_network_session_get_website_data_manager(webkit_network_session_get_default());
}

WebKitFaviconDatabase* database()
{
    return webkit_website_data_manager_get_favicons_enabled(dataManager())
        ? webkit_website_data_manager_get_favicon_database(dataManager())
        : nullptr;
}

} // namespace

void enable()
{
    webkit_website_data_manager_set_favicons_enabled(dataManager(), TRUE);
}

void lookup(const std::string& uri, std::function<void(GdkTexture*)> done)
{
    WebKitFaviconDatabase* icons = database();
    if (!icons || uri.empty()) {
        done(nullptr);
        return;
    }
    webkit_favicon_database_get_favicon(
        icons, uri.c_str(), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void(GdkTexture*)>> done(
                static_cast<std::function<void(GdkTexture*)>*>(data));
            GError* error = nullptr;
            auto texture =
                adopt(webkit_favicon_database_get_favicon_finish(WEBKIT_FAVICON_DATABASE(source), result, &error));
            GErrorPtr failure(error); // no icon stored is not worth a log line
            (*done)(texture.get());
        },
        new std::function<void(GdkTexture*)>(std::move(done)));
}

void showIn(GtkImage* image, const std::string& uri)
{
    lookup(uri, [weakImage = GWeak<GtkImage>(image)](GdkTexture* texture) {
        if (auto shown = weakImage.peek(); shown && texture)
            gtk_image_set_from_paintable(shown.get(), GDK_PAINTABLE(texture));
    });
}

void clear()
{
    if (WebKitFaviconDatabase* icons = database())
        webkit_favicon_database_clear(icons);
}

} // namespace quillmere::SiteIcons
