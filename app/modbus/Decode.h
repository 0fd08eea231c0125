#pragma once
// What a Modbus frame means, in one line for the log: the function's name
// and its addresses and values, or the exception. The line begins with two
// blanks and follows the frame's own line:
//   RX:01 03 04 10 00 10 01 32 F3
//     读保持寄存器 0=4096 1=4097
// Addresses are Modbus data addresses (0-based, decimal). A reply carries
// no address of its own: it takes its start from the request it answers.
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "app/modbus/Formats.h"

struct TDecodeOptions {
    TRegisterFormat Format = TRegisterFormat::U16;
    TByteOrder Order = TByteOrder::ABCD;
};

// What a reply's decoding takes from its request: the start address and
// the count (of coils, inputs or registers read). Unknown start: addresses
// are shown relative to it ("+0=4096"); unknown count: every bit the reply
// carries is shown.
struct TReplyOrigin {
    std::optional<std::uint16_t> Start;
    std::optional<int> Count;
};
TReplyOrigin OriginOf(const std::uint8_t* Request, std::size_t Count);

// Frames with their CRC, which is not looked at.
QString DecodeRequest(const std::uint8_t* Data, std::size_t Count, const TDecodeOptions& Options = {});
QString DecodeReply(const std::uint8_t* Data, std::size_t Count, const TReplyOrigin& Origin,
                    const TDecodeOptions& Options = {});
QString DecodeReply(const std::uint8_t* Data, std::size_t Count, const std::uint8_t* Request,
                    std::size_t RequestCount, const TDecodeOptions& Options = {});

// The decoded line of bytes that came back after Request (CRC included;
// none when RequestCount is 0): an exact copy of the request (a line's echo)
// as the request, anything else as a reply to it; without a request, as
// the frame is best read on its own.
QString DecodeReceived(const std::uint8_t* Data, std::size_t Count, const std::uint8_t* Request,
                       std::size_t RequestCount, const TDecodeOptions& Options = {});

// How a frame on its own is best read: as a request when its length by the
// request rules and its CRC hold, else as a reply when they hold for a
// reply; failing that, by the length alone, and then by the function code
// (an exception bit makes a reply).
enum class TFrameReading { Request, Reply };
TFrameReading ReadingOf(const std::uint8_t* Data, std::size_t Count);
