// What the program makes of the "quilpip" messages: errors and diagnostics logged (a
// page's text only as the page's, escaped and rationed), frames decoded only from the
// stream's own page and only as large as a frame can be, anything malformed dropped
// quietly.
#include "PiPTestSupport.h"

#include "pip/FrameDecoder.h"
#include "platform/Base64.h"

#include <cstdio> // jpeglib.h needs FILE

#include <jpeglib.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class PiPMessages : public PiPTest { };

// A real 16 × 16 JPEG whose header then claims `width` × `height` pixels.
std::vector<std::uint8_t> jpegClaiming(int width, int height)
{
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = info.image_height = 16;
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<std::uint8_t> row(16, 128);
    while (info.next_scanline < 16) {
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<std::uint8_t> bytes(out, out + size);
    free(out);
    jpeg_destroy_compress(&info);
    for (size_t i = 0; i + 8 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC0) { // start of frame: length, precision, height, width
            bytes[i + 5] = height >> 8, bytes[i + 6] = height & 0xFF;
            bytes[i + 7] = width >> 8, bytes[i + 8] = width & 0xFF;
            break;
        }
    return bytes;
}

std::string dataUrl(const std::vector<std::uint8_t>& jpeg)
{
    g_autofree char* base64 = g_base64_encode(jpeg.data(), jpeg.size());
    return std::string("data:image/jpeg;base64,") + base64;
}

std::string sizeOf(const std::vector<std::uint8_t>& jpeg, int boxWidth = 0, int boxHeight = 0)
{
    auto texture = FrameDecoder::decodeImage(jpeg.data(), jpeg.size(), boxWidth, boxHeight);
    return texture ? std::to_string(gdk_texture_get_width(texture.get())) + "x"
            + std::to_string(gdk_texture_get_height(texture.get()))
                   : "none";
}

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

TEST_F(PiPMessages, AFrameClaimingAHugePictureIsRefusedFromItsHeaderAndOnlyTheStreamsPageIsHeard)
{
    // Up to 4096 pixels a side a frame is decoded (what is missing comes out grey); past that
    // it is refused before anything is allocated for it, whatever the size to decode at.
    EXPECT_EQ(sizeOf(jpegClaiming(16, 16)), "16x16");
    EXPECT_EQ(sizeOf(jpegClaiming(4096, 64), 640, 394), "1024x16");
    for (auto [width, height] : {std::pair {60000, 60000}, {4097, 16}, {16, 4097}, {65535, 1}})
        for (auto [boxWidth, boxHeight] : {std::pair {0, 0}, {640, 394}})
            EXPECT_EQ(sizeOf(jpegClaiming(width, height), boxWidth, boxHeight), "none") << width << "x" << height;
    // Other formats are no frames.
    const std::string png = testData("pixel.png");
    EXPECT_FALSE(FrameDecoder::decodeImage(reinterpret_cast<const std::uint8_t*>(png.data()), png.size(), 0, 0));

    launchOn(kMainVideoPage);
    ASSERT_TRUE(waitForReadyState("main"));
    browser().startPiP();
    ASSERT_TRUE(runUntil([&] { return panel() && panel()->imageView().get_paintable(); }));
    pip("window.__quilpipStop(); 1");
    runFor(300);
    const auto picture = panel()->imageView().get_paintable();
    // The bomb, to a panel shown and to one hidden: the picture stays, the program too.
    post("{type: 'frame', data: '" + dataUrl(jpegClaiming(60000, 60000)) + "', title: 'Bomb'}");
    ASSERT_TRUE(runUntil([&] { return panel()->titleLabel().get_text() == "Bomb"; }));
    panel()->set_visible(false);
    post("{type: 'frame', data: '" + dataUrl(jpegClaiming(60000, 60000)) + "', title: 'Hidden bomb'}");
    ASSERT_TRUE(runUntil([&] { return panel()->titleLabel().get_text() == "Hidden bomb"; }));
    EXPECT_EQ(panel()->imageView().get_paintable(), picture);

    // A frame of another tab, or of a frame inside the page, is counted and goes no further.
    const auto counted = controller().frameCounter();
    auto frame = adopt(jsc_context_evaluate(
        context.get(), "({type: 'frame', data: 'data:image/jpeg;base64,AAAA', title: 'Elsewhere'})", -1));
    browser().openNewTab(server.url("/"));
    controller().didReceiveScriptMessage(ScriptSender {activeView(), 0, true}, ScriptValue(frame.get()));
    controller().didReceiveScriptMessage(ScriptSender {tab(0).webView(), 42, false}, ScriptValue(frame.get()));
    runFor(300);
    EXPECT_EQ(controller().frameCounter(), counted + 2);
    EXPECT_EQ(panel()->titleLabel().get_text(), "Hidden bomb");
}

TEST_F(PiPMessages, APagesTextIsLoggedEscapedCutMarkedAndRationed)
{
    launchOn("<title>Text</title>");
    const size_t mark = capturedLog().size();
    post("{type: 'error', data: 'first\\nUpdate installed, relaunching\\r\\n\\u001b[2J' + 'x'.repeat(1000)}");
    post("{type: 'diag', visibilityState: 'visible\\nUpdate installed, relaunching'}");
    ASSERT_EQ(capturedLog().size(), mark + 2);
    const LogEntry &error = capturedLog()[mark], &diag = capturedLog()[mark + 1];
    EXPECT_EQ(error.message,
        "Custom PiP error: first\\nUpdate installed, relaunching\\r\\n\\x1b[2J" + std::string(159, 'x') + "…");
    EXPECT_TRUE(error.level == LogLevel::Error && error.origin == LogOrigin::Page);
    EXPECT_EQ(diag.message,
        "PiP diag: hidden=false visibility=visible\\nUpdate installed, relaunching hasFocus=false videoPaused=false "
        "videoTime=-1.000000 videoReadyState=-1");
    EXPECT_TRUE(diag.level == LogLevel::Info && diag.origin == LogOrigin::Page);
    // A few lines per tab and minute, however many the page sends.
    for (int i = 0; i < 50; ++i)
        post("{type: 'error', data: 'again " + std::to_string(i) + "'}");
    EXPECT_EQ(std::count_if(capturedLog().begin() + mark, capturedLog().end(),
                  [](const LogEntry& entry) { return entry.origin == LogOrigin::Page; }),
        6);
    EXPECT_FALSE(logged("Update installed, relaunching"));
    // Another tab has its own ration.
    browser().openNewTab(server.url("/"));
    post("{type: 'error', data: 'from another tab'}");
    EXPECT_TRUE(logged("Custom PiP error: from another tab"));
}
