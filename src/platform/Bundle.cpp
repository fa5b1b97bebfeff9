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
    char* executable = g_file_read_link("/proc/self/exe", nullptr);
    if (!executable)
        return ".";
    char* bin = g_path_get_dirname(executable);
    char* bundle = g_path_get_dirname(bin);
    std::string result = bundle;
    g_free(bundle);
    g_free(bin);
    g_free(executable);
    return result;
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

void setBundleDirectory(const std::string& directory)
{
    overrideDirectory() = directory;
}

} // namespace quillmere
