#pragma once
// Waiting for a condition in tests: with a generous deadline, never as a
// measure of speed.
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Polls `done` until it holds or `limit` passed; false on time-out.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace testsupport
