// Which OpenGL renderer this display gives us. Without a GPU, Mesa renders OpenGL in
// software, and WebKit's accelerated compositing then costs far more than it saves
// (reading pixels back from a software GL surface dominates canvas and video work).
#pragma once

#include <string>

namespace quillmere {

struct GraphicsInfo {
    std::string renderer; // GL_RENDERER, or empty when no GL context could be made
    bool software = true; // no GL, or a software rasteriser (llvmpipe, softpipe, swrast)
};

// Probes once per process (the first call creates and drops a GL context).
const GraphicsInfo& graphicsInfo();

// Decides how this process draws, once, before its first window is shown: with a
// software OpenGL, GTK draws with cairo (its GL renderer would spend most of a second
// compiling shaders in the software rasteriser before the first frame) and web views
// go without accelerated compositing. Logs the decision.
void configureRendering();

} // namespace quillmere
