// `modbuscrc decode`: what one frame typed as hex means.
#include "app/cli/Commands.h"
#include "app/cli/Common.h"
#include "app/cli/DecodeOptions.h"
#include "app/log/LogLine.h"
#include "app/modbus/HexText.h"
#include "app/modbus/Reply.h"

namespace cli {

namespace {

constexpr std::size_t kShortestFrame = 4; // address, function, CRC

int RunDecode(const QStringList& Args)
{
    TArgs args(Args);
    TDecodeOptions options;
    bool formatGiven = false;
    std::optional<TFrameReading> reading;
    std::uint16_t start = 0;
    QStringList words;
    while (args.Next()) {
        if (TakeDecodeOption(args, options, formatGiven))
            continue;
        if (args.Is("--address")) {
            start = static_cast<std::uint16_t>(args.Number(0, 65535));
        } else if (args.Flag("--request") || args.Flag("--reply")) {
            const TFrameReading r = args.Is("--request") ? TFrameReading::Request : TFrameReading::Reply;
            if (reading && *reading != r)
                throw TUsageError("--request and --reply exclude each other");
            reading = r;
        } else if (args.IsOption()) {
            args.Refuse();
        } else {
            words << args.Word();
        }
    }
    TByteDynArray frame;
    if (!ReadHexWords(words, frame))
        return kExitUsage;
    if (frame.size() < kShortestFrame)
        throw TUsageError("a frame has at least 4 bytes: address, function and the CRC");
    if (!reading)
        reading = ReadingOf(frame.data(), frame.size());

    const bool passes = ReplyPasses(frame.data(), static_cast<unsigned long>(frame.size()));
    QString line = (*reading == TFrameReading::Request ? QStringLiteral("REQ:") : QStringLiteral("RSP:")) +
                   HexText(frame.data(), frame.size());
    if (!passes)
        line += QString::fromUtf16(kCheckFailedMark);
    PrintLine(stdout, line);
    PrintLine(stdout, *reading == TFrameReading::Request
                          ? DecodeRequest(frame.data(), frame.size(), options)
                          : DecodeReply(frame.data(), frame.size(), TReplyOrigin{start, std::nullopt}, options));
    return passes ? kExitOk : kExitNoGoodReply;
}

} // namespace

const TCommand kDecodeCommand = {
    "decode", "Usage: modbuscrc decode [--address N] [--request|--reply] [--format F] [--order O] HEX...", RunDecode};

} // namespace cli
