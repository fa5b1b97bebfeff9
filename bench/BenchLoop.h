// Clocks and main-loop waiting shared by the benchmarks that run the program in-process.
#pragma once

#include <glib.h>
#include <sys/resource.h>

#include <ctime>
#include <functional>

namespace quillmere::bench {

inline double nowSeconds()
{
    return g_get_monotonic_time() / 1e6;
}

inline double threadCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline double processCpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// Iterates the default main context until `done` answers true or the time is up;
// answers whether `done` did.
inline bool runUntil(const std::function<bool()>& done, double timeoutSeconds)
{
    bool timedOut = false;
    const guint timer = g_timeout_add(
        static_cast<guint>(timeoutSeconds * 1000),
        [](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &timedOut);
    while (!done() && !timedOut)
        g_main_context_iteration(nullptr, TRUE);
    if (!timedOut)
        g_source_remove(timer);
    return !timedOut;
}

} // namespace quillmere::bench
