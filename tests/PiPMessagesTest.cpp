// What the program makes of the "quilpip" messages: errors and diagnostics logged,
// anything malformed dropped quietly.
#include "PiPTestSupport.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

class PiPMessages : public PiPTest { };

} // namespace

TEST_F(PiPMessages, AStartWithoutVideoLeavesThePanelEmptyAndMalformedMessagesAreDroppedQuietly)
{
    // A video inside a child frame is out of the main document's reach.
    launchOn("<iframe srcdoc=\"<video src='/pip-640x480.webm' muted autoplay></video>\"></iframe>");
    browser().startPiP();
    ASSERT_NE(panel(), nullptr);
    ASSERT_TRUE(runUntil([&] { return logged("Custom PiP error: No video found on this page"); }));
    EXPECT_EQ(capturedLog().back().level, LogLevel::Error);
    runFor(500);
    EXPECT_TRUE(panel()->get_visible() && !panel()->imageView().get_paintable());
    EXPECT_EQ(count("frame") + count("started"), 0);

    // Every "frame" counts, but none of these holds an image to log or show; only the diags log, with their defaults.
    const auto counter = controller().frameCounter();
    const size_t mark = capturedLog().size();
    for (const char* message : {"'frame'", "[1, 2]", "42", "null", "{}", "{type: 7}", "{type: 'started'}",
             "{type: 'mystery', data: 'x'}", "{type: 'frame'}", "{type: 'frame', data: 5}",
             "{type: 'frame', data: 'no comma'}", "{type: 'frame', data: 'data:image/jpeg;base64,@@@@'}",
             "{type: 'frame', data: 'data:image/jpeg;base64,QUJD\\nRA=='}", "{type: 'diag'}",
             "{type: 'diag', hidden: 'yes', visibilityState: 3, videoCurrentTime: '1', videoReadyState: 1.5}"})
        post(message);
    ASSERT_TRUE(runUntil([&] { return capturedLog().size() >= mark + 2; }));
    runFor(200);
    const std::string diag =
        "PiP diag: hidden=false visibility=? hasFocus=false videoPaused=false videoTime=-1.000000 videoReadyState=-1";
    ASSERT_EQ(capturedLog().size(), mark + 2);
    EXPECT_EQ(capturedLog()[mark].message + "|" + capturedLog()[mark + 1].message, diag + "|" + diag);
    EXPECT_EQ(controller().frameCounter(), counter + 5);
    EXPECT_TRUE(panel()->get_visible() && !panel()->imageView().get_paintable());
}

TEST_F(PiPMessages, FramesAreLoggedOnceASecondAndBytesThatAreNoImageKeepThePicture)
{
    launchOn(kMainVideoPage);
    // The stream's functions are out of the page's reach: only the program starts it.
    EXPECT_EQ(js("typeof window.__quilpipStart"), "\"undefined\"");
    EXPECT_EQ(pip("typeof window.__quilpipStart"), "\"function\"");
    browser().startPiP();
    ASSERT_TRUE(runUntil([&] { return countLogged("PiP frame received #1 bytes=") == 1; }));
    ASSERT_TRUE(runUntil(
        [&] { return panel() && panel()->imageView().get_paintable() && panel()->titleLabel().get_text() == "Main"; }));
    pip("window.__quilpipStop(); 1");
    runFor(1200);
    // Frames at 0, 0.5, 0.8 and 1.2 s: the first and the last are logged.
    const auto n = controller().frameCounter();
    for (int wait : {500, 300, 400, 0}) {
        post("{type: 'frame', data: 'data:image/jpeg;base64,AAAA'}");
        runFor(wait);
    }
    ASSERT_EQ(controller().frameCounter(), n + 4);
    std::string pattern;
    for (int i = 1; i <= 4; ++i)
        pattern += countLogged("PiP frame received #" + std::to_string(n + i) + " bytes=3 panelVisible=") ? "+" : "-";
    EXPECT_EQ(pattern, "+--+");

    PiPPanel& window = *panel();
    const auto picture = window.imageView().get_paintable();
    // Bytes that are no image keep the picture; the state and title still follow.
    post("{type: 'frame', data: 'data:image/jpeg;base64,AAAA', paused: true, title: 'Broken'}");
    ASSERT_TRUE(runUntil([&] { return window.titleLabel().get_text() == "Broken"; }));
    EXPECT_TRUE(window.playPauseButton().get_label() == "▶" && window.imageView().get_paintable() == picture);
}
