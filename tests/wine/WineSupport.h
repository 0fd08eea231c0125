#pragma once
// What the Windows tests share: the link to the far ends, test data, and
// waiting for a condition with a generous deadline (never a measure of speed).
#include "platform/win32/Win32.h"
#include "tests/wine/PeerLink.h"

#include <chrono>
#include <functional>
#include <thread>

namespace winetest {

inline Bytes Pattern(std::size_t n, int seed = 0)
{
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 13 + static_cast<std::size_t>(seed)) & 0xFF);
    return v;
}

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

} // namespace winetest
