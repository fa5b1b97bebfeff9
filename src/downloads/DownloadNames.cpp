#include "downloads/DownloadNames.h"

#include <gio/gio.h>
#include <glib.h>
#include <glib/gstdio.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

namespace quillmere {

namespace {

// The longest prefix of `text` of at most `bytes` bytes that ends on a character boundary.
std::string cutAtBoundary(const std::string& text, std::size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

// The extension with its dot ("" when none); a name that is only an extension has none.
std::size_t extensionStart(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name.size() : dot;
}

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return g_ascii_tolower(c); });
    return text;
}

} // namespace

std::string safeFileName(const std::string& suggested)
{
    std::string valid = suggested;
    if (!g_utf8_validate(valid.data(), static_cast<gssize>(valid.size()), nullptr)) {
        char* fixed = g_utf8_make_valid(valid.data(), static_cast<gssize>(valid.size()));
        valid = fixed;
        g_free(fixed);
    }
    // A separator keeps what follows it: "a/b.txt" is "b.txt", as browsers do it.
    if (const std::size_t slash = valid.find_last_of("/\\"); slash != std::string::npos)
        valid = valid.substr(slash + 1);
    std::string name;
    for (const char* at = valid.c_str(); *at; at = g_utf8_next_char(at)) {
        const gunichar c = g_utf8_get_char(at);
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029)
            continue;
        name.append(at, g_utf8_next_char(at) - at);
    }
    const std::size_t first = name.find_first_not_of(". \t");
    name = first == std::string::npos ? "" : name.substr(first);
    while (!name.empty() && (name.back() == ' ' || name.back() == '.'))
        name.pop_back();
    if (name.empty())
        return "download";
    if (name.size() <= kMaxFileNameBytes)
        return name;
    const std::size_t dot = extensionStart(name);
    const std::string extension = name.size() - dot < 32 ? name.substr(dot) : "";
    return cutAtBoundary(name.substr(0, dot), kMaxFileNameBytes - extension.size()) + extension;
}

std::string numberedFileName(const std::string& name, int number)
{
    if (number <= 0)
        return name;
    const std::size_t dot = extensionStart(name);
    const std::string suffix = " (" + std::to_string(number) + ")" + name.substr(dot);
    const std::size_t room = kMaxFileNameBytes > suffix.size() ? kMaxFileNameBytes - suffix.size() : 0;
    return cutAtBoundary(name.substr(0, dot), room) + suffix;
}

std::optional<std::string> reserveDownloadPath(const std::string& directory, const std::string& name)
{
    if (g_mkdir_with_parents(directory.c_str(), 0755) != 0)
        return std::nullopt;
    for (int number = 0; number < 10000; ++number) {
        const std::string path = directory + "/" + numberedFileName(name, number);
        // Created exclusively: a second download of the same name finds it taken.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
            return path;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

bool runsWhenOpened(const std::string& name, const std::string& contentType)
{
    static constexpr std::array<std::string_view, 9> kRunning = {"application/x-executable",
        "application/x-sharedlib", "application/x-shellscript", "application/x-desktop",
        "application/x-ms-dos-executable", "application/vnd.appimage", "application/x-java-archive",
        "application/x-msi", "text/x-script"};
    static constexpr std::array<std::string_view, 22> kExtensions = {".desktop", ".sh", ".bash", ".zsh", ".csh",
        ".py", ".pl", ".rb", ".php", ".js", ".jar", ".exe", ".msi", ".bat", ".cmd", ".com", ".run", ".bin",
        ".appimage", ".elf", ".ps1", ".vbs"};
    const std::string lower = lowered(name);
    for (std::string_view extension : kExtensions)
        if (lower.size() > extension.size() && lower.ends_with(extension))
            return true;
    char* guessed = g_content_type_guess(name.c_str(), nullptr, 0, nullptr);
    const std::string fromName = guessed ? guessed : "";
    g_free(guessed);
    for (const std::string& type : {contentType, fromName}) {
        if (type.empty())
            continue;
        for (std::string_view running : kRunning)
            if (g_content_type_is_a(type.c_str(), std::string(running).c_str()))
                return true;
        if (type.starts_with("text/x-") && type.find("script") != std::string::npos)
            return true;
    }
    return false;
}

} // namespace quillmere
