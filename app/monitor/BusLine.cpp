#include "app/monitor/BusLine.h"

#include "app/log/LogLine.h"
#include "app/modbus/HexText.h"

namespace {

QString Ms(std::int64_t Ns)
{
    return QString::number(ElapsedMs(0, Ns), 'f', 1) + QStringLiteral(" ms");
}

} // namespace

QString BusLine(const TBusFrame& Frame)
{
    const QString hex = HexText(Frame.Bytes.data(), Frame.Bytes.size());
    switch (Frame.Kind) {
    case TBusFrameKind::Request:
        return QStringLiteral("REQ:") + hex;
    case TBusFrameKind::Reply:
        return QStringLiteral("RSP:") + hex;
    case TBusFrameKind::Unknown:
        break;
    }
    return QStringLiteral("???:") + hex + QString::fromUtf16(kCheckFailedMark);
}

QString TimedBusLine(const TBusFrame& Frame, const QDateTime& At)
{
    QString line = At.toString(QStringLiteral("HH:mm:ss.zzz")) + QChar(u' ') + BusLine(Frame);
    if (!line.endsWith(QChar(u' ')))
        line += QChar(u' ');
    line += QStringLiteral("(+") + Ms(Frame.SilenceNs);
    if (Frame.Paired)
        line += QStringLiteral(", ") + Ms(Frame.AfterRequestNs) + QStringLiteral(" after REQ");
    return line + QChar(u')');
}

QString DecodedBusLine(const TBusFrame& Frame, const TDecodeOptions& Options)
{
    const std::uint8_t* data = Frame.Bytes.data();
    const std::size_t n = Frame.Bytes.size();
    switch (Frame.Kind) {
    case TBusFrameKind::Request:
        return DecodeRequest(data, n, Options);
    case TBusFrameKind::Reply:
        return Frame.Paired ? DecodeReply(data, n, Frame.Request.data(), Frame.Request.size(), Options)
                            : DecodeReply(data, n, TReplyOrigin{}, Options);
    case TBusFrameKind::Unknown:
        break;
    }
    return {};
}
