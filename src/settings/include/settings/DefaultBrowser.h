// Asks the desktop to make Quillmere the default handler of web links: "http", then
// "https", through the application's desktop entry. The outcome is only logged.
#pragma once

namespace quillmere::DefaultBrowser {

inline constexpr const char* kDesktopEntry = "com.brenhollow.quillmere.desktop";

// Returns at once; the two requests follow on the main loop, "https" after the outcome
// of "http" has been logged, whatever that outcome was.
void requestToBecomeDefault();

} // namespace quillmere::DefaultBrowser
