// Main-loop dispatch: the one way work is deferred in this program.
#pragma once

#include <glibmm/main.h>

#include <functional>

namespace quillmere {

// Runs `work` on a later turn of the default main loop.
inline void dispatchMain(std::function<void()> work)
{
    Glib::signal_idle().connect_once(std::move(work), Glib::PRIORITY_DEFAULT);
}

// Runs `work` on the default main loop after `milliseconds`.
inline void dispatchAfter(unsigned milliseconds, std::function<void()> work)
{
    Glib::signal_timeout().connect_once(std::move(work), milliseconds);
}

} // namespace quillmere
