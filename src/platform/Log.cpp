#include "platform/Log.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace quillmere {

namespace {

std::string argAsString(const LogArg& arg)
{
    return std::visit(
        [](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::same_as<V, std::string>)
                return v;
            else if constexpr (std::same_as<V, bool>)
                return v ? "true" : "false";
            else if constexpr (std::same_as<V, double>) {
                char buffer[64];
                g_snprintf(buffer, sizeof buffer, "%f", v);
                return buffer;
            } else
                return std::to_string(v);
        },
        arg);
}

} // namespace

std::string formatLogMessage(std::string_view format, std::span<const LogArg> args)
{
    std::string out;
    out.reserve(format.size() + 32);
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%' || i + 1 == format.size()) {
            out += c;
            continue;
        }
        size_t j = i + 1;
        if (format[j] == '%') {
            out += '%';
            i = j;
            continue;
        }
        std::string_view privacy;
        if (format[j] == '{') {
            size_t close = format.find('}', j);
            if (close == std::string_view::npos) {
                out += c;
                continue;
            }
            privacy = format.substr(j + 1, close - j - 1);
            j = close + 1;
        }
        while (j < format.size() && (format[j] == 'l' || format[j] == 'z' || format[j] == 'h'))
            ++j;
        if (j >= format.size()) {
            out.append(format.substr(i));
            break;
        }
        char conversion = format[j];
        const LogArg* arg = next < args.size() ? &args[next++] : nullptr;
        if (!arg) {
            out += "<missing>";
        } else if (privacy == "bool") {
            bool value = std::visit(
                [](const auto& v) -> bool {
                    using V = std::decay_t<decltype(v)>;
                    if constexpr (std::same_as<V, std::string>)
                        return !v.empty();
                    else
                        return v != 0;
                },
                *arg);
            out += value ? "true" : "false";
        } else if (conversion == 'f' && std::holds_alternative<std::int64_t>(*arg)) {
            out += argAsString(static_cast<double>(std::get<std::int64_t>(*arg)));
        } else if ((conversion == 'd' || conversion == 'u') && std::holds_alternative<double>(*arg)) {
            out += std::to_string(static_cast<std::int64_t>(std::get<double>(*arg)));
        } else {
            out += argAsString(*arg);
        }
        i = j;
    }
    return out;
}

void writeLogEntry(LogLevel level, const std::string& message, LogOrigin origin)
{
    const bool error = level == LogLevel::Error;
    // Error entries use CRITICAL, never G_LOG_LEVEL_ERROR, which aborts the process.
    const GLogLevelFlags flags = error ? G_LOG_LEVEL_CRITICAL : G_LOG_LEVEL_INFO;
    const GLogField fields[] = {
        {"MESSAGE", message.c_str(), -1},
        {"PRIORITY", error ? "3" : "6", -1},
        {"GLIB_DOMAIN", kLogDomain, -1},
        {"QUILLMERE_CATEGORY", kLogCategory, -1},
        {"SYSLOG_IDENTIFIER", "quillmere", -1},
        {"QUILLMERE_ORIGIN", "page", -1},
    };
    const gsize count = G_N_ELEMENTS(fields) - (origin == LogOrigin::Page ? 0 : 1);
    g_log_structured_array(flags, fields, count);
}

std::string escapePageText(std::string_view text, std::size_t limit)
{
    std::string out;
    std::size_t characters = 0;
    for (const char *p = text.data(), *end = p + text.size(); p < end;) {
        if (characters++ == limit) {
            out += "…";
            break;
        }
        gunichar c = g_utf8_get_char_validated(p, end - p);
        std::size_t length = 1;
        if (*p == '\0')
            c = 0;
        else if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2))
            c = 0xFFFD; // not UTF-8: one byte at a time, each a replacement character
        else
            length = g_utf8_skip[static_cast<unsigned char>(*p)];
        char escape[16] = {};
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7f)
            out.append(escape, g_snprintf(escape, sizeof escape, "\\x%02x", c));
        else if ((c >= 0x80 && c < 0xa0) || c == 0x2028 || c == 0x2029)
            out.append(escape, g_snprintf(escape, sizeof escape, "\\u%04x", c));
        else if (c == 0xFFFD && length == 1)
            out += "\xEF\xBF\xBD";
        else
            out.append(p, length);
        p += length;
    }
    return out;
}

namespace {

bool g_useJournal = false;

bool isOwnEntry(const GLogField* fields, gsize count)
{
    for (gsize i = 0; i < count; ++i) {
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0)
            return fields[i].length < 0
                ? g_strcmp0(static_cast<const char*>(fields[i].value), kLogDomain) == 0
                : std::string_view(static_cast<const char*>(fields[i].value), fields[i].length) == kLogDomain;
    }
    return false;
}

const char* fieldValue(const GLogField* fields, gsize count, const char* key)
{
    for (gsize i = 0; i < count; ++i)
        if (g_strcmp0(fields[i].key, key) == 0 && fields[i].length < 0)
            return static_cast<const char*>(fields[i].value);
    return nullptr;
}

GLogWriterOutput writeEntry(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer)
{
    const bool own = isOwnEntry(fields, count);
    if (!own) {
        const char* domain = fieldValue(fields, count, "GLIB_DOMAIN");
        if (g_log_writer_default_would_drop(level, domain))
            return G_LOG_WRITER_HANDLED;
    }
    if (g_useJournal && g_log_writer_journald(level, fields, count, nullptr) == G_LOG_WRITER_HANDLED)
        return G_LOG_WRITER_HANDLED;
    // Standard streams, but never standard output: it belongs to whoever started us.
    g_autofree char* line = g_log_writer_format_fields(level, fields, count, FALSE);
    fprintf(stderr, "%s\n", line);
    fflush(stderr);
    return G_LOG_WRITER_HANDLED;
}

} // namespace

bool journalAccepts()
{
    static constexpr char path[] = "/run/systemd/journal/socket";
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, sizeof path);
    const bool accepts = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return accepts;
}

void installLogWriter()
{
    g_useJournal = journalAccepts();
    g_log_set_writer_func(writeEntry, nullptr, nullptr);
}

} // namespace quillmere
