#include "app/modbus/Decode.h"

#include <algorithm>

#include <vector>

#include "app/modbus/Functions.h"
#include "app/modbus/Reply.h"

namespace {

constexpr std::size_t kCrcSize = 2;

std::uint16_t Word(const std::uint8_t* At)
{
    return static_cast<std::uint16_t>(At[0] << 8 | At[1]);
}

QString Label(const std::optional<std::uint16_t>& Start, int Offset)
{
    if (!Start)
        return QStringLiteral("+%1").arg(Offset);
    return QString::number(static_cast<int>(*Start) + Offset);
}

// "0=1 1=0 ..." for Count bits, the first in the low bit of the first byte.
QString BitsText(const std::optional<std::uint16_t>& Start, const std::uint8_t* Bytes, int Count)
{
    QString s;
    s.reserve(Count * 6);
    for (int i = 0; i < Count; ++i) {
        s += QChar(u' ') + Label(Start, i) + QChar(u'=');
        s += QChar((Bytes[i / 8] >> (i % 8)) & 1 ? u'1' : u'0');
    }
    return s;
}

// "0=4096 1=4097" for big-endian registers in the chosen format; registers
// that do not fill a last wide value are shown as u16.
QString RegistersText(const std::optional<std::uint16_t>& Start, const std::uint8_t* Bytes, int Count,
                      const TDecodeOptions& Options)
{
    std::vector<std::uint16_t> regs(static_cast<std::size_t>(Count));
    for (int i = 0; i < Count; ++i)
        regs[static_cast<std::size_t>(i)] = Word(Bytes + 2 * i);
    const int width = RegistersPerValue(Options.Format);
    QString s;
    int i = 0;
    for (; i + width <= Count; i += width)
        s += QChar(u' ') + Label(Start, i) + QChar(u'=') + ValueText(Options.Format, Options.Order, &regs[i]);
    for (; i < Count; ++i)
        s += QChar(u' ') + Label(Start, i) + QChar(u'=') + ValueText(TRegisterFormat::U16, Options.Order, &regs[i]);
    return s;
}

QString Line(const QString& Text)
{
    return QStringLiteral("  ") + Text;
}

// Two upper-case hex digits.
QString Hex2(std::uint8_t Byte)
{
    return QStringLiteral("%1").arg(Byte, 2, 16, QChar(u'0')).toUpper();
}

QString Unsupported(std::uint8_t Function)
{
    return Line(QStringLiteral("不支持的功能码 0x") + Hex2(Function));
}

QString WrongLength(const QString& Name)
{
    return Line(Name + QStringLiteral("：长度不符"));
}

QString RangeText(std::uint16_t Start, int Count)
{
    return QStringLiteral(" 起始 %1 数量 %2").arg(Start).arg(Count);
}

QString SingleCoilText(const std::uint8_t* At)
{
    const std::uint16_t v = Word(At + 2);
    const QString value = v == 0xFF00 ? QStringLiteral("1")
                          : v == 0  ? QStringLiteral("0")
                                    : QStringLiteral("0x") + Hex2(At[2]) + Hex2(At[3]) + QStringLiteral("（无效）");
    return QStringLiteral(" %1=").arg(Word(At)) + value;
}

QString SingleRegisterText(const std::uint8_t* At, const TDecodeOptions& Options)
{
    return RegistersText(Word(At), At + 2, 1, Options);
}

} // namespace

TReplyOrigin OriginOf(const std::uint8_t* Request, std::size_t Count)
{
    TReplyOrigin origin;
    if (Request == nullptr || Count < 6 + kCrcSize)
        return origin;
    origin.Start = Word(Request + 2);
    switch (Request[1]) {
    case mbfn::ReadCoils:
    case mbfn::ReadDiscreteInputs:
    case mbfn::ReadHoldingRegisters:
    case mbfn::ReadInputRegisters:
    case mbfn::ReadWriteRegisters:
        origin.Count = Word(Request + 4);
        break;
    default:
        break;
    }
    return origin;
}

QString DecodeRequest(const std::uint8_t* Data, std::size_t Count, const TDecodeOptions& Options)
{
    if (Count < 2)
        return Line(QStringLiteral("帧太短"));
    const std::uint8_t function = Data[1];
    const QString name = FunctionName(function);
    if (name.isEmpty())
        return Unsupported(function);
    const int length = WholeRequestLength(Data, Count);
    if (length <= 0 || static_cast<std::size_t>(length) != Count)
        return WrongLength(name);
    const std::uint8_t* p = Data + 2;
    switch (function) {
    case mbfn::WriteSingleCoil:
        return Line(name + SingleCoilText(p));
    case mbfn::WriteSingleRegister:
        return Line(name + SingleRegisterText(p, Options));
    case mbfn::WriteMultipleCoils: {
        const int quantity = Word(p + 2);
        if (p[4] != (quantity + 7) / 8)
            return WrongLength(name);
        return Line(name + BitsText(Word(p), p + 5, quantity));
    }
    case mbfn::WriteMultipleRegisters: {
        const int quantity = Word(p + 2);
        if (p[4] != 2 * quantity)
            return WrongLength(name);
        return Line(name + RegistersText(Word(p), p + 5, quantity, Options));
    }
    case mbfn::ReadWriteRegisters: {
        const int quantity = Word(p + 6);
        if (p[8] != 2 * quantity)
            return WrongLength(name);
        return Line(name + QStringLiteral(" 读") + RangeText(Word(p), Word(p + 2)) + QStringLiteral(" 写") +
                    RegistersText(Word(p + 4), p + 9, quantity, Options));
    }
    default: // the reads
        return Line(name + RangeText(Word(p), Word(p + 2)));
    }
}

QString DecodeReply(const std::uint8_t* Data, std::size_t Count, const TReplyOrigin& Origin,
                    const TDecodeOptions& Options)
{
    if (Count < 2)
        return Line(QStringLiteral("帧太短"));
    const auto function = static_cast<std::uint8_t>(Data[1] & ~mbfn::ExceptionBit);
    if (Data[1] & mbfn::ExceptionBit) {
        if (Count != 5)
            return WrongLength(QStringLiteral("异常"));
        return Line(QStringLiteral("异常 ") + Hex2(Data[2]) + QStringLiteral("：") + ExceptionName(Data[2]));
    }
    const QString name = FunctionName(function);
    if (name.isEmpty())
        return Unsupported(function);
    const int length = WholeReplyLength(Data[0], function, Data, Count);
    if (length <= 0 || static_cast<std::size_t>(length) != Count)
        return WrongLength(name);
    const std::uint8_t* p = Data + 2;
    switch (function) {
    case mbfn::ReadCoils:
    case mbfn::ReadDiscreteInputs: {
        // The last byte's spare bits are padding when the count is known.
        const int carried = p[0] * 8;
        const int shown = Origin.Count && *Origin.Count <= carried && *Origin.Count > carried - 8 ? *Origin.Count
                                                                                                  : carried;
        return Line(name + BitsText(Origin.Start, p + 1, shown));
    }
    case mbfn::ReadHoldingRegisters:
    case mbfn::ReadInputRegisters:
    case mbfn::ReadWriteRegisters:
        if (p[0] % 2)
            return WrongLength(name);
        return Line(name + RegistersText(Origin.Start, p + 1, p[0] / 2, Options));
    case mbfn::WriteSingleCoil:
        return Line(name + SingleCoilText(p));
    case mbfn::WriteSingleRegister:
        return Line(name + SingleRegisterText(p, Options));
    default: // 15 and 16 confirm the range written
        return Line(name + RangeText(Word(p), Word(p + 2)));
    }
}

QString DecodeReply(const std::uint8_t* Data, std::size_t Count, const std::uint8_t* Request,
                    std::size_t RequestCount, const TDecodeOptions& Options)
{
    return DecodeReply(Data, Count, OriginOf(Request, RequestCount), Options);
}

QString DecodeReceived(const std::uint8_t* Data, std::size_t Count, const std::uint8_t* Request,
                       std::size_t RequestCount, const TDecodeOptions& Options)
{
    if (RequestCount == 0)
        return ReadingOf(Data, Count) == TFrameReading::Request ? DecodeRequest(Data, Count, Options)
                                                                : DecodeReply(Data, Count, TReplyOrigin{}, Options);
    if (Count == RequestCount && std::equal(Data, Data + Count, Request))
        return DecodeRequest(Data, Count, Options);
    return DecodeReply(Data, Count, Request, RequestCount, Options);
}

TFrameReading ReadingOf(const std::uint8_t* Data, std::size_t Count)
{
    if (Count < 2)
        return TFrameReading::Request;
    const bool crc = ReplyPasses(Data, static_cast<unsigned long>(Count));
    const int asRequest = WholeRequestLength(Data, Count);
    const int asReply = WholeReplyLength(Data[0], static_cast<std::uint8_t>(Data[1] & ~mbfn::ExceptionBit), Data, Count);
    const bool requestFits = asRequest > 0 && static_cast<std::size_t>(asRequest) == Count;
    const bool replyFits = asReply > 0 && static_cast<std::size_t>(asReply) == Count;
    if (requestFits && crc)
        return TFrameReading::Request;
    if (replyFits && crc)
        return TFrameReading::Reply;
    if (requestFits)
        return TFrameReading::Request;
    if (replyFits)
        return TFrameReading::Reply;
    return (Data[1] & mbfn::ExceptionBit) ? TFrameReading::Reply : TFrameReading::Request;
}
