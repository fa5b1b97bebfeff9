#include "platform/Resources.h"

#include <gio/gio.h>

extern "C" void quillmere_register_resource(void);

namespace quillmere {

void registerResources()
{
    static const bool registered = [] {
        quillmere_register_resource();
        return true;
    }();
    (void)registered;
}

std::string resourceText(const std::string& name)
{
    registerResources();
    const std::string path = kResourcePrefix + name;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes = g_resources_lookup_data(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (!bytes)
        g_error("Missing built-in resource %s: %s", path.c_str(), error->message);
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    return std::string(data, size);
}

} // namespace quillmere
