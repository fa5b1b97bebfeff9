// The page side of picture-in-picture, through the page functions: which video streams,
// what the page posts and how the video looks meanwhile.
#include "PiPTestSupport.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// A small preview, a large main video with inline style of its own and a video without
// picture; the page counts pending animation-frame requests, to see how many loops run.
const char* kVideos = R"(<title>Main</title>
<video id=preview src='/pip-1920x1080.webm' muted style='width: 160px; height: 90px'></video>
<video id=main src='/pip-640x480.webm' muted autoplay style='width: 640px; height: 480px; opacity: 0.9; pointer-events: auto !important'></video>
<video id=sound src='/pip-audio.webm' muted style='width: 100px; height: 100px'></video>
<script>
  var pending = new Set(), mostPending = 0, request = requestAnimationFrame.bind(window), cancel = cancelAnimationFrame.bind(window);
  window.requestAnimationFrame = f => { var id = request(t => { pending.delete(id); f(t); }); mostPending = Math.max(mostPending, pending.add(id).size); return id; };
  window.cancelAnimationFrame = id => { pending.delete(id); cancel(id); };
</script>)";

const char* kStyleOfMain = "['opacity', 'position', 'width', 'height', 'pointer-events'].map(p => "
                           "main.style.getPropertyValue(p) + '/' + main.style.getPropertyPriority(p)).join(' ')";

class PiPScript : public PiPTest {};

} // namespace

TEST_F(PiPScript, StreamsTheLargestVideoHiddenInOneLoopUntilStoppedIn1280PixelWideFrames)
{
    launchOn(kVideos);
    for (const char* id : {"main", "preview", "sound"})
        ASSERT_TRUE(waitForReadyState(id)) << id;
    const std::string pageStyle = js(kStyleOfMain);
    // A second start while streaming keeps one loop; half speed streams long enough for a second diag.
    js("main.playbackRate = 0.5; window.__quilpipStart(); window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame", 30, 15000)) << count("frame");
    EXPECT_EQ(js("pending.size + '/' + mostPending"), "\"1/1\"");
    EXPECT_EQ(js(kStyleOfMain), "\"0/important fixed/important 2px/important 2px/important none/important\"");
    EXPECT_EQ(js("preview.getAttribute('style')"), "\"width: 160px; height: 90px\"");
    // Each start posts "started"; a diag goes just before a frame, at most once a second.
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0].type() + " " + messages[1].type() + " " + messages[2].type() + " " + messages[3].type(), "started started diag frame");
    for (size_t i = 3, last = 2; i < messages.size(); ++i)
        EXPECT_TRUE(messages[i].type() != "diag" || messages[i].at - messages[std::exchange(last, i)].at > 900 * 1000) << i;
    EXPECT_EQ(frameImageSize(ofType("frame").back()), "1280x960");
    EXPECT_NEAR(ofType("frame").back().body["aspect"].get<double>(), 640.0 / 480.0, 1e-9);

    // A stop ends the loop and gives back the page's own style.
    js("window.__quilpipStop(); 1");
    EXPECT_EQ(js(kStyleOfMain), pageStyle);
    EXPECT_EQ(js("pending.size"), "0");
    runFor(100);
    const int sent = count("frame");
    runFor(600);
    EXPECT_EQ(count("frame"), sent);

    // A video without picture of its own counts as 1280 × 720.
    const size_t mark = messages.size();
    js("sound.style.width = '1000px'; sound.style.height = '1000px'; window.__quilpipStart(); 1");
    ASSERT_TRUE(runUntil([&] { return messages.size() > mark && messages.back().type() == "frame"; }));
    const PiPMessage frame = messages.back();
    EXPECT_EQ(frameImageSize(frame), "1280x720");
    EXPECT_NEAR(frame.body["aspect"].get<double>(), 1280.0 / 720.0, 1e-9);
    EXPECT_EQ(js("sound.style.opacity"), "\"0\"");
}

TEST_F(PiPScript, AVideoWithoutCurrentDataSendsNothingUntilItHasSome)
{
    // Media Source Extensions hold the video at "metadata only" until the frames after its header come.
    launchOn(R"(<video id=v muted autoplay style='width: 640px; height: 480px'></video><script>
      fetch('/pip-640x480.webm').then(r => r.arrayBuffer()).then(buffer => {
        const bytes = new Uint8Array(buffer), source = new MediaSource();
        const cluster = bytes.findIndex((b, i) => b == 0x1f && bytes[i + 1] == 0x43 && bytes[i + 2] == 0xb6 && bytes[i + 3] == 0x75);
        v.src = URL.createObjectURL(source);
        source.addEventListener('sourceopen', () => {
          const track = source.addSourceBuffer('video/webm; codecs="vp8"');
          track.appendBuffer(bytes.slice(0, cluster));
          window.addFrames = () => track.appendBuffer(bytes.slice(cluster));
        });
      });
    </script>)");
    ASSERT_TRUE(waitForReadyState("v", 1));
    ASSERT_EQ(js("v.readyState"), "1");
    js("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("started"));
    runFor(1000);
    EXPECT_EQ(messages.size(), 1u);
    js("addFrames(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    EXPECT_EQ(messages[1].type(), "diag");
    EXPECT_GE(messages[1].body["videoReadyState"].get<int>(), 2);
}

TEST_F(PiPScript, PlayPauseAndSeekActOnTheStreamedVideoOnly)
{
    launchOn("<video id=v src='/pip-640x480.webm' preload=auto style='width: 640px; height: 480px'></video>"
             "<video id=other src='/pip-640x480.webm' muted autoplay style='width: 64px; height: 48px'></video>");
    ASSERT_TRUE(waitForReadyState("v"));
    // Before any start there is no video to act on.
    js("window.__quilpipPlay(); window.__quilpipSeek(3); window.__quilpipPause(); 1");
    runFor(300);
    EXPECT_EQ(js("v.paused && v.currentTime == 0 && !other.paused"), "true");
    // A paused video still sends about one frame a second.
    js("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    runFor(2500);
    EXPECT_TRUE(count("frame") >= 3 && count("frame") <= 5) << count("frame");
    auto last = [&] { return ofType("frame").back().body; };
    EXPECT_EQ(last()["paused"], true);
    js("window.__quilpipPlay(); 1");
    ASSERT_TRUE(runUntil([&] { return last()["paused"] == false; }));
    EXPECT_EQ(js("v.paused"), "false");
    js("window.__quilpipPause(); window.__quilpipSeek(5); 1");
    ASSERT_TRUE(runUntil([&] { return last()["paused"] == true && std::abs(last()["currentTime"].get<double>() - 5) < 0.01; }));
    EXPECT_EQ(js("other.paused"), "false");
}
