// The page side of picture-in-picture: which video streams, what the page posts and
// how the video looks on the page meanwhile. The page functions are called directly.
#include "PiPTestSupport.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// A small preview before a large main video with inline style of its own. The page
// counts the animation-frame requests that are pending, to see how many loops run.
const char* kTwoVideos = R"(<title>Main</title>
<video id=preview src='/pip-1920x1080.webm' muted autoplay style='width: 160px; height: 90px'></video>
<video id=main src='/pip-640x480.webm' muted autoplay
       style='width: 640px; height: 480px; opacity: 0.9; pointer-events: auto !important'></video>
<script>
  var pending = new Set();
  window.mostPending = 0;
  var request = requestAnimationFrame.bind(window), cancel = cancelAnimationFrame.bind(window);
  window.requestAnimationFrame = function (callback) {
    var id = request(function (t) { pending.delete(id); callback(t); });
    pending.add(id);
    mostPending = Math.max(mostPending, pending.size);
    return id;
  };
  window.cancelAnimationFrame = function (id) { pending.delete(id); cancel(id); };
  window.pendingLoops = function () { return pending.size; };
</script>)";

class PiPScript : public PiPTest {};

const char* kStyleOfMain =
    "['opacity', 'position', 'width', 'height', 'pointer-events'].map(p => "
    "main.style.getPropertyValue(p) + '/' + main.style.getPropertyPriority(p)).join(' ')";

} // namespace

TEST_F(PiPScript, StreamsTheLargestVideoHiddenUntilStoppedInOneLoop)
{
    launchOn(kTwoVideos);
    ASSERT_TRUE(waitForReadyState(activeView(), "main"));
    ASSERT_TRUE(waitForReadyState(activeView(), "preview"));
    const std::string pageStyle = js(kStyleOfMain);
    EXPECT_EQ(pageStyle, "\"0.9/ / 640px/ 480px/ auto/important\"");

    // At half speed the video shows 15 pictures a second while its currentTime moves
    // on with every animation frame.
    js("main.playbackRate = 0.5; 1");
    // A second start while streaming keeps a single loop going.
    js("window.__quilpipStart(); window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame", 30, 15000)) << recorder->count("frame");
    EXPECT_EQ(js("pendingLoops() + '/' + mostPending"), "\"1/1\"");
    EXPECT_EQ(js(kStyleOfMain), "\"0/important fixed/important 2px/important 2px/important none/important\"");
    EXPECT_EQ(js("preview.getAttribute('style')"), "\"width: 160px; height: 90px\"");

    // Each start posts "started"; a diag goes just before a frame, at most once a second.
    const auto& all = recorder->messages;
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all[0].type(), "started");
    EXPECT_EQ(all[1].type(), "started");
    EXPECT_EQ(all[2].type(), "diag");
    EXPECT_EQ(all[3].type(), "frame");
    gint64 lastDiag = 0;
    for (size_t i = 2; i < all.size(); ++i) {
        if (all[i].type() != "diag")
            continue;
        if (i + 1 < all.size()) {
            EXPECT_EQ(all[i + 1].type(), "frame");
        }
        if (lastDiag) {
            EXPECT_GT(all[i].at - lastDiag, 900 * 1000);
        }
        lastDiag = all[i].at;
    }
    const auto& diag = all[2].body;
    EXPECT_EQ(diag["hidden"], false);
    EXPECT_EQ(diag["visibilityState"], "visible");
    EXPECT_TRUE(diag["hasFocus"].is_boolean());
    EXPECT_EQ(diag["videoPaused"], false);
    EXPECT_TRUE(diag["videoCurrentTime"].is_number());
    EXPECT_GE(diag["videoReadyState"].get<int>(), 2);

    // Frames of the main video, 1280 wide, with the page's state.
    const auto frame = recorder->ofType("frame").back();
    EXPECT_EQ(frame.body["data"].get<std::string>().rfind("data:image/jpeg;base64,", 0), 0u);
    const ImageSize size = frameImageSize(frame);
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 960);
    EXPECT_EQ(frame.body["paused"], false);
    EXPECT_EQ(frame.body["title"], "Main");
    EXPECT_NEAR(frame.body["duration"].get<double>(), 12.0, 0.1);
    EXPECT_NEAR(frame.body["aspect"].get<double>(), 640.0 / 480.0, 1e-9);
    EXPECT_GT(frame.body["currentTime"].get<double>(), 0.0);

    // A playing video's picture goes out once, not again with the next animation frame.
    const auto frames = recorder->ofType("frame");
    size_t repeats = 0;
    for (size_t i = 1; i < frames.size(); ++i)
        repeats += frames[i].body["data"] == frames[i - 1].body["data"];
    EXPECT_LE(repeats, frames.size() / 10) << frames.size();

    // A stop ends the loop and gives the video back the page's own style.
    js("window.__quilpipStop(); 1");
    EXPECT_EQ(js(kStyleOfMain), pageStyle);
    EXPECT_EQ(js("pendingLoops()"), "0");
    runFor(100);
    const int sent = recorder->count("frame");
    runFor(600);
    EXPECT_EQ(recorder->count("frame"), sent);
    // A second stop leaves whatever the page did since alone.
    js("main.style.opacity = '0.5'; window.__quilpipStop(); 1");
    EXPECT_EQ(js("main.style.opacity"), "\"0.5\"");
}

TEST_F(PiPScript, FramesAre1280PixelsWideWhateverTheSource)
{
    launchOn("<video id=hd src='/pip-1920x1080.webm' muted style='width: 320px; height: 180px'></video>"
             "<video id=sound src='/pip-audio.webm' muted style='width: 100px; height: 100px'></video>");
    ASSERT_TRUE(waitForReadyState(activeView(), "hd"));
    ASSERT_TRUE(waitForReadyState(activeView(), "sound"));
    js("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    auto size = frameImageSize(recorder->ofType("frame").back());
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 720);

    // A video with no picture of its own counts as 1280 × 720.
    js("window.__quilpipStop(); sound.style.width = '400px'; sound.style.height = '400px'; 1");
    runFor(200);
    const size_t mark = recorder->messages.size();
    js("window.__quilpipStart(); 1");
    ASSERT_TRUE(runUntil([&] { return recorder->messages.back().type() == "frame" && recorder->messages.size() > mark; }));
    const auto frame = recorder->messages.back();
    EXPECT_NEAR(frame.body["duration"].get<double>(), 1.0, 0.1);
    size = frameImageSize(frame);
    EXPECT_EQ(size.width, 1280);
    EXPECT_EQ(size.height, 720);
    EXPECT_NEAR(frame.body["aspect"].get<double>(), 1280.0 / 720.0, 1e-9);
}

TEST_F(PiPScript, AVideoWithoutCurrentDataSendsNothingUntilItHasSome)
{
    // Media Source Extensions hold the video at "metadata only" until its frames are added.
    launchOn(R"(<video id=v muted autoplay style='width: 640px; height: 480px'></video><script>
      fetch('/pip-640x480.webm').then(r => r.arrayBuffer()).then(buffer => {
        const bytes = new Uint8Array(buffer);
        let cluster = 0;
        while (!(bytes[cluster] == 0x1f && bytes[cluster + 1] == 0x43 && bytes[cluster + 2] == 0xb6 && bytes[cluster + 3] == 0x75))
          cluster++;
        const source = new MediaSource();
        v.src = URL.createObjectURL(source);
        source.addEventListener('sourceopen', () => {
          const track = source.addSourceBuffer('video/webm; codecs="vp8"');
          track.appendBuffer(bytes.slice(0, cluster));
          window.addFrames = () => track.appendBuffer(bytes.slice(cluster));
        });
      });
    </script>)");
    ASSERT_TRUE(waitForReadyState(activeView(), "v", 1));
    ASSERT_EQ(js("v.readyState"), "1");
    js("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("started"));
    runFor(1000);
    EXPECT_EQ(recorder->count("diag"), 0);
    EXPECT_EQ(recorder->count("frame"), 0);

    js("addFrames(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    EXPECT_EQ(recorder->messages[1].type(), "diag");
    EXPECT_GE(recorder->messages[1].body["videoReadyState"].get<int>(), 2);
}

TEST_F(PiPScript, PlayPauseAndSeekActOnTheStreamedVideoOnly)
{
    launchOn("<title>Paused</title><video id=v src='/pip-640x480.webm' preload=auto style='width: 640px; height: 480px'></video>"
             "<video id=other src='/pip-640x480.webm' muted autoplay style='width: 64px; height: 48px'></video>");
    ASSERT_TRUE(waitForReadyState(activeView(), "v"));
    // Before any start there is no video to act on.
    js("window.__quilpipPlay(); window.__quilpipSeek(3); 1");
    runFor(300);
    EXPECT_EQ(js("v.paused && v.currentTime == 0 && !other.paused"), "true");
    js("window.__quilpipPause(); 1");
    EXPECT_EQ(js("other.paused"), "false");

    // A paused video still sends about one frame a second.
    js("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    runFor(2500);
    const int pausedFrames = recorder->count("frame");
    EXPECT_GE(pausedFrames, 3);
    EXPECT_LE(pausedFrames, 5);
    EXPECT_EQ(recorder->ofType("frame").back().body["paused"], true);

    js("window.__quilpipPlay(); 1");
    ASSERT_TRUE(runUntil([&] { return recorder->ofType("frame").back().body["paused"] == false; }));
    EXPECT_EQ(js("v.paused"), "false");
    js("window.__quilpipPause(); 1");
    ASSERT_TRUE(runUntil([&] { return recorder->ofType("frame").back().body["paused"] == true; }));
    js("window.__quilpipSeek(5); 1");
    ASSERT_TRUE(runUntil([&] { return std::abs(recorder->ofType("frame").back().body["currentTime"].get<double>() - 5) < 0.01; }));
    EXPECT_EQ(js("other.paused"), "false");
}
