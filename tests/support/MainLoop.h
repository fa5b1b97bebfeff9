// Waiting in tests: iterate the default main context until something happens.
#pragma once

#include <functional>

namespace quillmere::test {

// Runs the main loop until `done` answers true or `timeoutMs` passes; answers
// whether `done` became true.
bool runUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// Runs the main loop for `ms`, for checks that something does NOT happen.
void runFor(int ms);

} // namespace quillmere::test
