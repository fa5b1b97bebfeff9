#include "settings/DefaultBrowser.h"

#include "platform/Dispatch.h"
#include "platform/Log.h"

#include <gio/gdesktopappinfo.h>

#include <string>

namespace quillmere::DefaultBrowser {

namespace {

// One request: the desktop entry is looked up afresh each time, as it may have been
// installed or removed meanwhile.
void requestFor(const char* scheme)
{
    g_autoptr(GDesktopAppInfo) entry = g_desktop_app_info_new(kDesktopEntry);
    std::string failure;
    if (!entry) {
        failure = std::string("the desktop entry ") + kDesktopEntry + " is not installed";
    } else {
        g_autoptr(GError) error = nullptr;
        const std::string type = std::string("x-scheme-handler/") + scheme;
        if (!g_app_info_set_as_default_for_type(G_APP_INFO(entry), type.c_str(), &error))
            failure = error->message;
    }
    if (failure.empty())
        quillmereLog.info("Requested default handler for %{public}s", scheme);
    else
        quillmereLog.error("Failed to set default handler for %{public}s: %{public}s", scheme, failure);
}

} // namespace

void requestToBecomeDefault()
{
    dispatchMain([] {
        requestFor("http");
        requestFor("https");
    });
}

} // namespace quillmere::DefaultBrowser
