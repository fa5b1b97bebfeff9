// Forgetting everything web pages have stored: cookies, caches, local storage and the
// rest, for every site and of every age. Open pages keep what they hold in memory.
#include "browser/BrowserWindowController.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"

namespace quillmere {

void BrowserWindowController::clearBrowsingData(std::function<void()> completion)
{
    WebKitWebsiteDataManager* manager =
        webkit_network_session_get_website_data_manager(webkit_network_session_get_default());
    webkit_website_data_manager_clear(
        manager, WEBKIT_WEBSITE_DATA_ALL, 0, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void()>> completion(static_cast<std::function<void()>*>(data));
            webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result, nullptr);
            quillmereLog.info("Cleared all browsing data (cookies, cache, local storage)");
            dispatchMain(std::move(*completion));
        },
        new std::function<void()>(std::move(completion)));
}

} // namespace quillmere
