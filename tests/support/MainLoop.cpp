#include "support/MainLoop.h"

#include <glib.h>

namespace quillmere::test {

bool runUntil(const std::function<bool()>& done, int timeoutMs)
{
    bool timedOut = false;
    guint timer = g_timeout_add(
        timeoutMs,
        [](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &timedOut);
    while (!done()) {
        if (timedOut)
            return false;
        g_main_context_iteration(nullptr, TRUE);
    }
    if (!timedOut)
        g_source_remove(timer);
    return true;
}

void runFor(int ms)
{
    runUntil([] { return false; }, ms);
}

} // namespace quillmere::test
