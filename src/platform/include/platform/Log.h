// The program's one logger. Entries go through GLib's structured logging under the
// domain "com.brenhollow.quillmere" (the journal field GLIB_DOMAIN) with the category
// field QUILLMERE_CATEGORY=adblock. Message formats use the unified-log specifiers
// ("%{public}s", "%ld", "%{bool}d", "%f"), so the texts read the same everywhere.
#pragma once

#include "platform/Bundle.h"

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

inline constexpr const char* kLogDomain = kApplicationId;
inline constexpr const char* kLogCategory = "adblock";

enum class LogLevel { Info, Error };

// Who wrote what an entry says: the program, or (in part) a page. Entries that carry a
// page's text have the journal field QUILLMERE_ORIGIN=page.
enum class LogOrigin { Program, Page };

using LogArg = std::variant<std::int64_t, double, bool, std::string>;

template <typename T> LogArg toLogArg(T&& value)
{
    using V = std::remove_cvref_t<T>;
    if constexpr (std::same_as<V, bool>)
        return value;
    else if constexpr (std::integral<V>)
        return static_cast<std::int64_t>(value);
    else if constexpr (std::floating_point<V>)
        return static_cast<double>(value);
    else
        return std::string(std::forward<T>(value));
}

// Expands a unified-log format: %{public}s / %s a string, %ld / %{public}ld decimal,
// %f six decimals, %{bool}d "true"/"false", %% a percent sign.
std::string formatLogMessage(std::string_view format, std::span<const LogArg> args);

// Sends one finished entry to GLib's structured log.
void writeLogEntry(LogLevel level, const std::string& message, LogOrigin origin = LogOrigin::Program);

// A text that a page chose, made fit to stand inside one of our log lines: at most
// `limit` characters, and every control character written out as an escape ("\n",
// "\x1b", "\u0085"), so that it can never start a line of its own.
std::string escapePageText(std::string_view text, std::size_t limit = 200);

// Installs the process-wide GLib log writer: the systemd journal when its socket
// accepts entries, standard error otherwise; never standard output. Call once, at entry.
void installLogWriter();

// Whether a journald answers on its socket; a socket file left by one that has ended
// does not count.
bool journalAccepts();

} // namespace quillmere

struct QuillmereLogger {
    template <typename... Args> void info(std::string_view format, Args&&... args) const
    {
        log(quillmere::LogLevel::Info, quillmere::LogOrigin::Program, format, std::forward<Args>(args)...);
    }
    template <typename... Args> void error(std::string_view format, Args&&... args) const
    {
        log(quillmere::LogLevel::Error, quillmere::LogOrigin::Program, format, std::forward<Args>(args)...);
    }
    // Entries that carry text a page chose (pass it through escapePageText first).
    template <typename... Args> void pageInfo(std::string_view format, Args&&... args) const
    {
        log(quillmere::LogLevel::Info, quillmere::LogOrigin::Page, format, std::forward<Args>(args)...);
    }
    template <typename... Args> void pageError(std::string_view format, Args&&... args) const
    {
        log(quillmere::LogLevel::Error, quillmere::LogOrigin::Page, format, std::forward<Args>(args)...);
    }

private:
    template <typename... Args>
    void log(quillmere::LogLevel level, quillmere::LogOrigin origin, std::string_view format, Args&&... args) const
    {
        const quillmere::LogArg list[] = {quillmere::toLogArg(std::forward<Args>(args))..., std::int64_t {0}};
        quillmere::writeLogEntry(level, quillmere::formatLogMessage(format, std::span(list, sizeof...(Args))), origin);
    }
};

inline constexpr QuillmereLogger quillmereLog;
