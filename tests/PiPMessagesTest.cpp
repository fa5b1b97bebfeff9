// What the program makes of the "quilpip" messages: frames counted, decoded, logged
// and shown; diagnostics and errors logged; anything malformed dropped quietly.
#include "PiPTestSupport.h"

#include "pip/FrameDecoder.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class PiPMessages : public PiPTest {
protected:
    // Waits until the program has logged `message`.
    bool waitForLog(const std::string& message) { return runUntil([&] { return logged(message); }); }
    std::vector<std::string> logSince(size_t mark)
    {
        std::vector<std::string> lines;
        for (size_t i = mark; i < capturedLog().size(); ++i)
            lines.push_back(capturedLog()[i].message);
        return lines;
    }
};

// An image of `width` × `height` in `format` ("jpeg", "png").
std::vector<std::uint8_t> makeImage(int width, int height, const char* format)
{
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, 0x3366ccff);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, format, nullptr, nullptr);
    std::vector<std::uint8_t> bytes(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

const std::string kDefaultDiag = "PiP diag: hidden=false visibility=? hasFocus=false videoPaused=false videoTime=-1.000000 videoReadyState=-1";

} // namespace

TEST_F(PiPMessages, MalformedMessagesAreDroppedWithoutALogLine)
{
    launchOn(kMainVideoPage);
    ASSERT_TRUE(waitForReadyState(activeView(), "main"));
    browser().startPiP();
    ASSERT_TRUE(runUntil([&] { return panel() && panel()->imageView().get_paintable() && panel()->titleLabel().get_text() == "Main"; }));
    js("window.__quilpipStop(); 1");
    runFor(300);
    PiPPanel& window = *panel();
    const auto picture = window.imageView().get_paintable();
    const auto counter = controller().frameCounter();
    const size_t mark = capturedLog().size();

    for (const char* message : {"'frame'", "[1, 2]", "42", "null", "{}", "{type: 7}", "{type: 'started'}", "{type: 'mystery', data: 'x'}",
                                "{type: 'frame'}", "{type: 'frame', data: 5}", "{type: 'frame', data: 'no comma'}",
                                "{type: 'frame', data: 'data:image/jpeg;base64,@@@@'}", "{type: 'frame', data: 'data:image/jpeg;base64,QUJD\\nRA=='}",
                                "{type: 'diag'}", "{type: 'diag', hidden: 'yes', visibilityState: 3, videoCurrentTime: '1', videoReadyState: 1.5}"})
        postFromPage(message);
    ASSERT_TRUE(runUntil([&] { return logSince(mark).size() >= 2; }));
    runFor(200);
    EXPECT_EQ(logSince(mark), std::vector<std::string>({kDefaultDiag, kDefaultDiag}));
    EXPECT_EQ(controller().frameCounter(), counter + 5);
    EXPECT_EQ(window.imageView().get_paintable(), picture);
    EXPECT_EQ(window.titleLabel().get_text(), "Main");

    postFromPage("{type: 'error'}");
    postFromPage("{type: 'error', data: 5}");
    ASSERT_TRUE(runUntil([&] { return countLogged("Custom PiP error: ") == 2; }));
    EXPECT_EQ(logSince(mark).back(), "Custom PiP error: Unknown PiP error");
    EXPECT_EQ(capturedLog().back().level, LogLevel::Error);

    // Bytes that are no image keep the picture; the state and title still follow.
    postFromPage("{type: 'frame', data: 'data:image/jpeg;base64,AAAA', paused: true, title: 'Broken'}");
    ASSERT_TRUE(runUntil([&] { return window.titleLabel().get_text() == "Broken"; }));
    EXPECT_EQ(window.playPauseButton().get_label(), "▶");
    EXPECT_EQ(window.imageView().get_paintable(), picture);
    postFromPage("{type: 'frame', data: 'data:,', paused: 'yes', title: 5}");
    ASSERT_TRUE(runUntil([&] { return window.playPauseButton().get_label() == "⏸"; }));
    EXPECT_EQ(window.titleLabel().get_text(), "Broken");
}

TEST_F(PiPMessages, FramesAreLoggedAtMostOnceASecondAndShownOnlyInAPanelBoundToTheirPage)
{
    // The page starts streaming by itself: counted and logged, shown nowhere.
    launchOn(std::string(kMainVideoPage) + "<script>addEventListener('load', () => window.__quilpipStart())</script>");
    ASSERT_TRUE(runUntil([&] { return countLogged("PiP frame received #1 bytes=") == 1; }));
    EXPECT_TRUE(capturedLog().back().message.ends_with(" panelVisible=false panelOccluded=false"));
    EXPECT_EQ(panel(), nullptr);
    js("window.__quilpipStop(); 1");
    runFor(1200);
    const auto n = controller().frameCounter();

    // Frames at 0, 0.5, 0.8 and 1.2 s: the first and the last are logged.
    evaluateAsync(activeView(), R"(
        const post = () => window.__qwk.messageHandlers.quilpip.postMessage({type: 'frame', data: 'data:image/jpeg;base64,AAAA'});
        const wait = ms => new Promise(done => setTimeout(done, ms));
        post(); await wait(500); post(); await wait(300); post(); await wait(400); post();
        return 1;)");
    ASSERT_TRUE(runUntil([&] { return controller().frameCounter() == n + 4; }));
    runFor(100);
    auto line = [](std::int64_t number) { return "PiP frame received #" + std::to_string(number) + " bytes=3 panelVisible=false panelOccluded=false"; };
    EXPECT_TRUE(logged(line(n + 1)));
    EXPECT_FALSE(logged(line(n + 2)));
    EXPECT_FALSE(logged(line(n + 3)));
    EXPECT_TRUE(logged(line(n + 4)));
}

TEST_F(PiPMessages, AStartWithoutVideoLeavesThePanelEmptyAndLogsTheError)
{
    // A video inside a child frame is out of the main document's reach.
    launchOn("<iframe srcdoc=\"<video src='/pip-640x480.webm' muted autoplay></video>\"></iframe>");
    browser().startPiP();
    ASSERT_NE(panel(), nullptr);
    EXPECT_TRUE(panel()->get_visible());
    ASSERT_TRUE(waitForLog("Custom PiP error: No video found on this page"));
    EXPECT_EQ(capturedLog().back().level, LogLevel::Error);
    runFor(500);
    EXPECT_TRUE(panel()->get_visible());
    EXPECT_FALSE(panel()->imageView().get_paintable());
    EXPECT_EQ(recorder->count("frame"), 0);
    EXPECT_EQ(recorder->count("started"), 0);
}

TEST_F(PiPMessages, PicturesComeBackInOrderAtTheSizeTheyAreShown)
{
    FrameDecoder decoder;
    std::vector<std::string> seen;
    auto expect = [&](std::vector<std::uint8_t> image, bool wanted, int boxWidth, int boxHeight, const std::string& result) {
        seen.clear();
        decoder.decode(std::move(image), wanted, boxWidth, boxHeight, [&](const Glib::RefPtr<Gdk::Texture>& picture) {
            seen.push_back(picture ? std::to_string(picture->get_width()) + "x" + std::to_string(picture->get_height()) : "none");
        });
        ASSERT_TRUE(runUntil([&] { return !seen.empty(); }));
        EXPECT_EQ(seen[0], result) << boxWidth << "x" << boxHeight;
    };
    const auto jpeg = makeImage(1280, 720, "jpeg");
    expect(jpeg, true, 640, 394, "640x360");
    expect(jpeg, true, 700, 400, "800x450");
    expect(jpeg, true, 100, 100, "160x90");
    expect(jpeg, true, 0, 0, "1280x720");
    expect(jpeg, true, 2000, 2000, "1280x720");
    expect(makeImage(320, 200, "png"), true, 100, 100, "320x200");
    expect(jpeg, false, 640, 394, "none");
    expect({0xff, 0xd8, 0xff, 0xe0, 1, 2, 3}, true, 640, 394, "none");

    // A burst: every frame answers, in order; the newest always with its picture.
    seen.clear();
    for (int i = 0; i < 6; ++i)
        decoder.decode(jpeg, true, 640, 394, [&seen, i](const Glib::RefPtr<Gdk::Texture>& picture) {
            seen.push_back(std::to_string(i) + (picture ? "+" : "-"));
        });
    ASSERT_TRUE(runUntil([&] { return seen.size() == 6; }));
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(seen[i].substr(0, 1), std::to_string(i));
    EXPECT_EQ(seen.back(), "5+");
}
