#pragma once
// Modbus CRC-16: start 0xFFFF, reflected polynomial 0xA001, no final XOR.
// A frame that ends in its own CRC (low byte first) gives 0.
#include <cstddef>
#include <cstdint>

#include "platform/rtl/Rtl.h"

std::uint16_t CRC16(const std::uint8_t* Data, std::size_t Count);
// Over the first Count bytes of Data; Count is clamped to the array.
std::uint16_t CRC16(const TByteDynArray& Data, int Count);

// Data followed by its CRC, low byte first.
TByteDynArray WithCrc(const std::uint8_t* Data, std::size_t Count);
inline TByteDynArray WithCrc(const TByteDynArray& Data) { return WithCrc(Data.data(), Data.size()); }
