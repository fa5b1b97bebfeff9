#include "platform/Bundle.h"

#include <glib.h>

namespace quillmere {

namespace {

std::string& overrideDirectory()
{
    static std::string directory;
    return directory;
}

std::string executableBundle()
{
    g_autofree char* executable = g_file_read_link("/proc/self/exe", nullptr);
    if (!executable)
        return ".";
    g_autofree char* bin = g_path_get_dirname(executable);
    g_autofree char* bundle = g_path_get_dirname(bin);
    return bundle;
}

} // namespace

std::string bundleDirectory()
{
    if (!overrideDirectory().empty())
        return overrideDirectory();
    static const std::string bundle = executableBundle();
    return bundle;
}

std::string bundleResourcesDirectory()
{
    return bundleDirectory() + "/share/quillmere";
}

std::string webProcessExtensionsDirectory()
{
    return bundleDirectory() + "/lib/quillmere/web-process-extensions";
}

void setBundleDirectory(const std::string& directory)
{
    overrideDirectory() = directory;
}

} // namespace quillmere
