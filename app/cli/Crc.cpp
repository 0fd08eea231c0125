// `modbuscrc crc HEX...`: the frame with its CRC, as the result box shows it.
#include "app/cli/Commands.h"
#include "app/cli/Common.h"
#include "app/modbus/Crc16.h"
#include "app/modbus/HexText.h"

namespace cli {

namespace {

int RunCrc(const QStringList& Args)
{
    TArgs args(Args);
    QStringList words;
    while (args.Next()) {
        if (args.IsOption())
            args.Refuse();
        words << args.Word();
    }
    TByteDynArray data;
    if (!ReadHexWords(words, data))
        return kExitUsage;
    const TByteDynArray frame = WithCrc(data.data(), data.size());
    PrintLine(stdout, HexText(frame.data(), frame.size()));
    return kExitOk;
}

} // namespace

const TCommand kCrcCommand = {"crc", "Usage: modbuscrc crc HEX...", RunCrc};

} // namespace cli
