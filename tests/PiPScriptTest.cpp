// The page side of picture-in-picture, through the stream's functions (in the program's
// isolated world): which video streams, what it posts and how the video looks meanwhile.
#include "PiPTestSupport.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// A small preview and a large main video with inline style of its own, "position" left empty.
const char* kVideos = R"(<title>Main</title>
<video id=preview src='/pip-1920x1080.webm' muted style='width: 160px; height: 90px'></video>
<video id=main src='/pip-640x480.webm' muted autoplay style='width: 640px; height: 480px; opacity: 0.9; pointer-events: auto !important'></video>)";

const char* kStyleOfMain = "['opacity', 'position', 'width', 'height', 'pointer-events'].map(p => "
                           "main.style.getPropertyValue(p) + '/' + main.style.getPropertyPriority(p)).join(' ')";

class PiPScript : public PiPTest { };

} // namespace

TEST_F(PiPScript, StreamsTheLargestVideoHiddenIn1280PixelWideFramesAndRestoresItsStyle)
{
    launchOn(kVideos);
    ASSERT_TRUE(waitForReadyState("main") && waitForReadyState("preview"));
    const std::string pageStyle = js(kStyleOfMain);
    // A second start while streaming must not save the hidden style as the page's own.
    pip("window.__quilpipStart(); window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame", 3));
    EXPECT_EQ(js(kStyleOfMain), "\"0/important fixed/important 2px/important 2px/important none/important\"");
    EXPECT_EQ(js("preview.getAttribute('style')"), "\"width: 160px; height: 90px\"");
    // The 640 × 480 main video, not the 1920 × 1080 preview.
    EXPECT_EQ(frameImageSize(ofType("frame").back()), "1280x960");
    pip("window.__quilpipStop(); 1");
    EXPECT_EQ(js(kStyleOfMain), pageStyle);
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
    pip("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("started"));
    runFor(1000);
    EXPECT_EQ(messages.size(), 1u);
    js("addFrames(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    EXPECT_EQ(messages[1].type(), "diag");
    EXPECT_GE(messages[1].body["videoReadyState"].get<int>(), 2);
}

TEST_F(PiPScript, ALoopingVideoIsLoopedByTheStreamAndGetsItsLoopBackWhenTheStreamStops)
{
    // 2 seconds; the page notes the playback events it sees from the start of the stream on.
    launchOn(R"(<title>Loop</title><video id=main src='/loop-2s.webm' muted autoplay loop=loop
      style='width: 640px; height: 480px'></video><script>
      window.seen = [];
      for (const type of ['ended', 'pause', 'play', 'playing'])
        main.addEventListener(type, () => seen.push(type + '@' + main.currentTime.toFixed(2) + '/' + main.readyState));
    </script>)");
    ASSERT_TRUE(waitForReadyState("main"));
    ASSERT_TRUE(runUntil([&] { return js("main.paused") == "false"; }));
    js("seen = []; 1");
    pip("window.__quilpipStart(); 1");
    ASSERT_TRUE(waitForMessages("frame"));
    EXPECT_EQ(js("main.hasAttribute('loop')"), "false");
    // Shrinking a looping video stops its decoding on this engine: it turns invisible in place.
    EXPECT_EQ(
        js("[main.offsetWidth, getComputedStyle(main).opacity, main.style.pointerEvents].join()"), "\"640,0,none\"");

    // At the end the stream starts the video again itself.
    js("main.currentTime = 1.9; 1");
    EXPECT_TRUE(runUntil([&] { return js("main.currentTime < 1.5 && !main.seeking") == "true"; }, 20000));
    EXPECT_EQ(js("main.paused"), "false");
    // The page saw no end, pause or new start, as with a loop of its own.
    EXPECT_EQ(js("seen.join()"), "\"\"");

    // The page's own change of `loop` meanwhile is the value it gets back.
    js("main.loop = true; 1");
    runUntil([&] { return js("main.hasAttribute('loop')") == "false"; });
    pip("window.__quilpipStop(); 1");
    EXPECT_EQ(js("main.getAttribute('loop')"), "\"\"");
    pip("window.__quilpipStart(); 1");
    EXPECT_EQ(js("main.hasAttribute('loop')"), "false");
    pip("window.__quilpipStop(); 1");
    EXPECT_EQ(js("main.getAttribute('loop')"), "\"\"");
}
