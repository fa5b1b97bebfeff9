#include "support/LogCapture.h"

#include <glib.h>

#include <cstdio>

namespace quillmere::test {

namespace {

std::vector<LogEntry>& entries()
{
    static std::vector<LogEntry> list;
    return list;
}

GLogWriterOutput record(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer)
{
    const char* domain = nullptr;
    const char* message = nullptr;
    LogOrigin origin = LogOrigin::Program;
    for (gsize i = 0; i < count; ++i) {
        if (g_str_equal(fields[i].key, "GLIB_DOMAIN"))
            domain = static_cast<const char*>(fields[i].value);
        else if (g_str_equal(fields[i].key, "MESSAGE"))
            message = static_cast<const char*>(fields[i].value);
        else if (g_str_equal(fields[i].key, "QUILLMERE_ORIGIN") && g_str_equal(fields[i].value, "page"))
            origin = LogOrigin::Page;
    }
    if (domain && g_str_equal(domain, kLogDomain) && message) {
        entries().push_back({(level & G_LOG_LEVEL_CRITICAL) ? LogLevel::Error : LogLevel::Info, message, origin});
        fprintf(stderr, "[quillmere] %s\n", message);
        // Also where the program's own writer sends it, so the log viewer can show it.
        if (journalAccepts())
            g_log_writer_journald(level, fields, count, nullptr);
        return G_LOG_WRITER_HANDLED;
    }
    if (g_log_writer_default_would_drop(level, domain))
        return G_LOG_WRITER_HANDLED;
    char* line = g_log_writer_format_fields(level, fields, count, FALSE);
    fprintf(stderr, "%s\n", line);
    g_free(line);
    return G_LOG_WRITER_HANDLED;
}

} // namespace

void installLogCapture()
{
    g_log_set_writer_func(record, nullptr, nullptr);
}

const std::vector<LogEntry>& capturedLog()
{
    return entries();
}

bool logged(const std::string& message)
{
    for (const auto& entry : entries())
        if (entry.message == message)
            return true;
    return false;
}

int countLogged(const std::string& prefix)
{
    int n = 0;
    for (const auto& entry : entries())
        if (entry.message.rfind(prefix, 0) == 0)
            ++n;
    return n;
}

} // namespace quillmere::test
