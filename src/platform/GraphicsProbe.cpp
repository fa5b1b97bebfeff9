#include "platform/GraphicsProbe.h"

#include "platform/Log.h"

#include <epoxy/gl.h>
#include <gdk/gdk.h>

namespace quillmere {

namespace {

GraphicsInfo probe()
{
    GraphicsInfo info;
    GdkDisplay* display = gdk_display_get_default();
    if (!display)
        return info;
    g_autoptr(GdkGLContext) context = gdk_display_create_gl_context(display, nullptr);
    if (!context || !gdk_gl_context_realize(context, nullptr))
        return info;
    gdk_gl_context_make_current(context);
    if (const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER)))
        info.renderer = renderer;
    gdk_gl_context_clear_current();

    const std::string lower = [&] {
        std::string s = info.renderer;
        for (char& c : s)
            c = static_cast<char>(g_ascii_tolower(c));
        return s;
    }();
    info.software = lower.empty() || lower.find("llvmpipe") != std::string::npos
        || lower.find("softpipe") != std::string::npos || lower.find("swrast") != std::string::npos
        || lower.find("software") != std::string::npos;
    return info;
}

} // namespace

const GraphicsInfo& graphicsInfo()
{
    static const GraphicsInfo info = probe();
    return info;
}

void configureRendering()
{
    const GraphicsInfo& info = graphicsInfo();
    // An explicit GSK_RENDERER, set by whoever started us, stands.
    if (info.software)
        g_setenv("GSK_RENDERER", "cairo", FALSE);
    const char* renderer = g_getenv("GSK_RENDERER");
    quillmereLog.info(
        "Graphics renderer %{public}s: %{public}s, accelerated compositing %{public}s, GTK drawing with %{public}s",
        info.renderer.empty() ? std::string("none") : info.renderer, info.software ? "software" : "hardware",
        info.software ? "off" : "on", renderer ? renderer : "its default renderer");
}

} // namespace quillmere
