#include "app/modbus/Crc16.h"

#include <array>

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t r = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? static_cast<std::uint16_t>((r >> 1) ^ 0xA001) : static_cast<std::uint16_t>(r >> 1);
        table[i] = r;
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = MakeCrcTable();

} // namespace

std::uint16_t CRC16(const std::uint8_t* Data, std::size_t Count)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < Count; ++i)
        crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ Data[i]) & 0xFF]);
    return crc;
}

std::uint16_t CRC16(const TByteDynArray& Data, int Count)
{
    std::size_t n = Count > 0 ? static_cast<std::size_t>(Count) : 0;
    if (n > Data.size())
        n = Data.size();
    return CRC16(Data.data(), n);
}

TByteDynArray WithCrc(const std::uint8_t* Data, std::size_t Count)
{
    TByteDynArray frame(Data, Data + Count);
    const std::uint16_t crc = CRC16(Data, Count);
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}
