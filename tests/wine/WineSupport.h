#pragma once
// What the Windows tests share: the link to the far ends, test data, and
// waiting for a condition with a generous deadline (never a measure of speed).
#include "platform/win32/Win32.h"
#include "tests/support/Wait.h"
#include "tests/wine/PeerLink.h"

namespace winetest {

inline Bytes Pattern(std::size_t n, int seed = 0)
{
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 13 + static_cast<std::size_t>(seed)) & 0xFF);
    return v;
}

using testsupport::WaitUntil;

} // namespace winetest
