#include "app/log/LogLine.h"

#include "app/modbus/HexText.h"
#include "app/modbus/Reply.h"

QString TxLine(const std::uint8_t* Data, std::size_t Count)
{
    return QStringLiteral("TX:") + HexText(Data, Count);
}

QString RxLine(const std::uint8_t* Data, std::size_t Count, bool EchoMismatch)
{
    QString line = QStringLiteral("RX:") + HexText(Data, Count);
    if (!ReplyPasses(Data, static_cast<unsigned long>(Count)))
        line += QString::fromUtf16(kCheckFailedMark);
    if (EchoMismatch) {
        if (!line.endsWith(QChar(u' ')))
            line += QChar(u' ');
        line += QString::fromUtf16(kEchoMismatchMark);
    }
    return line;
}

QString TimedLine(const QString& Line, const QDateTime& At, std::optional<double> ResponseMs)
{
    QString out = At.toString(QStringLiteral("HH:mm:ss.zzz")) + QChar(u' ') + Line;
    if (ResponseMs) {
        if (!out.endsWith(QChar(u' ')))
            out += QChar(u' ');
        out += QChar(u'(') + QString::number(*ResponseMs, 'f', 1) + QStringLiteral(" ms)");
    }
    return out;
}

double ElapsedMs(std::int64_t From, std::int64_t To)
{
    return static_cast<double>(To - From) / 1e6;
}
