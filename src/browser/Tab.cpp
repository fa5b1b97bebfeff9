#include "browser/Tab.h"

#include <glib.h>

namespace quillmere {

namespace {
std::string newTabId()
{
    char* uuid = g_uuid_string_random();
    std::string id(uuid);
    g_free(uuid);
    return id;
}
} // namespace

Tab::Tab()
    : id(newTabId())
{
}

Tab::~Tab()
{
    if (webView && signalOwner)
        g_signal_handlers_disconnect_by_data(webView.get(), signalOwner);
}

} // namespace quillmere
