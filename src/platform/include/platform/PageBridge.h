// What the browser and its web process extension (src/webprocess/) say to each other
// about pages. Both sides include this file; it needs no GTK and no WebKit.
//
// Pages never reach the browser themselves. The extension installs the page scripts
// into every frame and hands each one native functions kept in its closure; what they
// post travels as a WebKitUserMessage from the frame's page to the page's web view:
// the message's name is the channel, its parameters FrameMessageFormat. The browser
// answers every message once its main loop has gone idle, and the extension sends no
// more than a few unanswered messages per page and channel, so a page can never keep
// the browser's main loop busy. Everything a page can make is bounded where it is made
// (in the scripts and the extension); the browser's own checks are only a backstop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

inline constexpr const char* kDevToolsChannel = "quildev";
inline constexpr const char* kPiPChannel = "quilpip";
inline constexpr const char* kBlockCountChannel = "quilblockcount";

inline constexpr const char* kMessageChannels[] = {kDevToolsChannel, kPiPChannel, kBlockCountChannel};
inline constexpr std::size_t kMessageChannelCount = std::size(kMessageChannels);

// The position of `name` in kMessageChannels.
inline std::optional<std::size_t> messageChannelIndex(std::string_view name)
{
    for (std::size_t i = 0; i < kMessageChannelCount; ++i)
        if (name == kMessageChannels[i])
            return i;
    return std::nullopt;
}

// Page to browser, on a channel: the sending frame's id (as webkit_frame_get_id gives
// it), whether it is the page's main frame, and the posted object as JSON text.
inline constexpr const char* kFrameMessageFormat = "(tbs)";

// The isolated script world of the scripts that need only the DOM (the video-ad
// skipper, the picture-in-picture streamer, the failed-load counter). Page code cannot
// reach it; the browser runs the picture-in-picture calls in it.
inline constexpr const char* kScriptWorldName = "quillmere";

// Browser to page.
// Switches the developer tools' capture in every frame of the page: "(b)". A new
// document in the main frame starts the page with capture off.
inline constexpr const char* kCaptureMessage = "quillmere.capture";
// Repeats a captured request in the frame that made it: "(ts)", the frame's id and the
// request's id. Nothing happens when that frame shows another document by now.
inline constexpr const char* kResendMessage = "quillmere.resend";

// One message from a page, as JSON text. Larger ones are dropped.
inline constexpr std::size_t kMaxMessageBytes = 2 * 1024 * 1024;

// The developer tools keep the last kKeptConsoleLines console lines and the last
// kKeptNetworkEntries requests of the tab they show. A console line and every request
// field show at most kShownCharacters characters, followed by "… (N more characters)".
inline constexpr std::size_t kKeptConsoleLines = 5000;
inline constexpr std::size_t kKeptNetworkEntries = 5000;
inline constexpr std::size_t kShownCharacters = 10000;
// And at most this much text in all, whichever limit comes first: a page that fills
// every line to the brim keeps fewer of them.
inline constexpr std::size_t kKeptConsoleBytes = 8 * 1024 * 1024;
inline constexpr std::size_t kKeptNetworkBytes = 16 * 1024 * 1024;

// Picture-in-picture frames larger than this on either side are refused unread.
inline constexpr int kMaxFrameSide = 4096;

// `text` (UTF-8) with at most `limit` characters, the rest replaced by "… (N more
// characters)". A character is a code point here; the scripts count UTF-16 units.
inline std::string cutText(std::string_view text, std::size_t limit = kShownCharacters)
{
    std::size_t characters = 0, cut = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters++ == limit)
            cut = i;
    }
    if (characters <= limit)
        return std::string(text);
    return std::string(text.substr(0, cut)) + "… (" + std::to_string(characters - limit) + " more characters)";
}

} // namespace quillmere
