#include "app/cli/Common.h"

#include <algorithm>

#include "app/demo/DemoSlave.h"
#include "app/modbus/HexText.h"
#include "comm/TKelvorComm32.h"

namespace cli {

namespace {

// A second is far beyond what a Modbus line needs; the Linux serial core
// cuts RTS delays to 100 ms anyway.
constexpr unsigned long long kMaxRtsDelayMs = 1000;

} // namespace

TArgs::TArgs(QStringList Args) : FArgs(std::move(Args)) {}

bool TArgs::Next()
{
    if (++FIndex >= FArgs.size())
        return false;
    const QString& a = FArgs.at(FIndex);
    FInlineValue.reset();
    FIsOption = false;
    if (!FOptionsEnded && a == QLatin1String("--")) {
        FOptionsEnded = true;
        return Next();
    }
    if (!FOptionsEnded && a.startsWith(QLatin1String("--"))) {
        FIsOption = true;
        const qsizetype eq = a.indexOf(QLatin1Char('='));
        FName = eq < 0 ? a : a.left(eq);
        if (eq >= 0)
            FInlineValue = a.mid(eq + 1);
        FSeen << FName;
        return true;
    }
    // No hex text starts with "-": such a word is an option no command
    // knows, and reading it as hex would change the frame.
    if (!FOptionsEnded && a.startsWith(QLatin1Char('-'))) {
        FIsOption = true;
        FName = a;
        return true;
    }
    FName = a;
    return true;
}

QString TArgs::Value()
{
    if (FInlineValue) {
        if (FInlineValue->startsWith(QLatin1String("--")))
            throw TUsageError((FName + QStringLiteral(" needs a value, not '") + *FInlineValue + QStringLiteral("'")).toStdString());
        return *FInlineValue;
    }
    if (FIndex + 1 >= FArgs.size() || FArgs.at(FIndex + 1).startsWith(QLatin1String("--")))
        throw TUsageError((FName + QStringLiteral(" needs a value")).toStdString());
    return FArgs.at(++FIndex);
}

unsigned long long TArgs::Number(unsigned long long Min, unsigned long long Max)
{
    const QString option = FName;
    const QString text = Value();
    bool ok = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const unsigned long long value = ok ? text.toULongLong(&ok) : 0;
    if (!ok || value < Min || value > Max)
        throw TUsageError(QStringLiteral("%1 takes a whole number from %2 to %3, not '%4'")
                              .arg(option)
                              .arg(Min)
                              .arg(Max)
                              .arg(text)
                              .toStdString());
    return value;
}

bool TArgs::Flag(const char* Name) const
{
    if (!Is(Name))
        return false;
    if (FInlineValue)
        throw TUsageError((FName + QStringLiteral(" takes no value")).toStdString());
    return true;
}

void TArgs::Refuse() const
{
    throw TUsageError(("unknown option " + FName).toStdString());
}

bool TakeCommonOption(TArgs& Args, TLineSettings& Line, bool& Times, bool DataBits)
{
    if (Args.Flag("--times")) {
        Times = true;
    } else if (Args.Is("--baud")) {
        Line.Baud = static_cast<unsigned long>(Args.Number(1, 4'294'967'295ull));
    } else if (Args.Is("--parity")) {
        static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
        const QString text = Args.Value();
        const auto* it = std::find_if(std::begin(kNames), std::end(kNames),
                                      [&](const char* n) { return text.compare(QLatin1String(n), Qt::CaseInsensitive) == 0; });
        if (it == std::end(kNames))
            throw TUsageError(("--parity is none, even, odd, mark or space, not '" + text + "'").toStdString());
        Line.Parity = static_cast<int>(it - std::begin(kNames)); // the port's codes, in this order
    } else if (DataBits && Args.Is("--data-bits")) {
        Line.DataBits = static_cast<int>(Args.Number(5, 8));
    } else if (TakeRs485Option(Args, Line)) {
        // --rs485 and its --rts-* options
    } else if (Args.Is("--stop-bits")) {
        const QString text = Args.Value();
        if (text == QLatin1String("1"))
            Line.StopBits = ONESTOPBIT;
        else if (text == QLatin1String("2"))
            Line.StopBits = TWOSTOPBITS;
        else
            throw TUsageError(("--stop-bits is 1 or 2, not '" + text + "'").toStdString());
    } else {
        return false;
    }
    return true;
}

bool TakeRs485Option(TArgs& Args, TLineSettings& Line)
{
    if (Args.Flag("--rs485")) {
        Line.Rs485 = true;
    } else if (Args.Is("--rts-on-send")) {
        const QString text = Args.Value();
        if (text.compare(QLatin1String("high"), Qt::CaseInsensitive) == 0)
            Line.RtsOnSend = true;
        else if (text.compare(QLatin1String("low"), Qt::CaseInsensitive) == 0)
            Line.RtsOnSend = false;
        else
            throw TUsageError(("--rts-on-send is high or low, not '" + text + "'").toStdString());
    } else if (Args.Is("--rts-delay-before")) {
        Line.RtsDelayBefore = static_cast<unsigned long>(Args.Number(0, kMaxRtsDelayMs));
    } else if (Args.Is("--rts-delay-after")) {
        Line.RtsDelayAfter = static_cast<unsigned long>(Args.Number(0, kMaxRtsDelayMs));
    } else {
        return false;
    }
    return true;
}

void CheckCommonOptions(const TArgs& Args)
{
    if (!Args.Seen("--rs485") &&
        (Args.Seen("--rts-on-send") || Args.Seen("--rts-delay-before") || Args.Seen("--rts-delay-after")))
        throw TUsageError("--rts-on-send, --rts-delay-before and --rts-delay-after need --rs485");
}

void TakePortWord(const TArgs& Args, QString& Port)
{
    if (!Port.isEmpty())
        throw TUsageError(("one PORT only, not also '" + Args.Word() + "'").toStdString());
    Port = Args.Word();
}

bool ReadHexWords(const QStringList& Words, TByteDynArray& Bytes)
{
    if (Words.isEmpty())
        throw TUsageError("no HEX given");
    const QString text = Words.join(QLatin1Char(' '));
    if (!HasHexDigit(text)) {
        PrintLine(stderr, QString::fromUtf16(kNoHexDigitMessage));
        return false;
    }
    Bytes = HexBytes(text);
    return true;
}

void PrintLine(std::FILE* To, const QString& Line)
{
    const QByteArray bytes = Line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), To);
    std::fflush(To);
}

bool OpenPort(KelvorComm32::TComm32& Port, const QString& UserName, const QString& DeviceName,
              const TLineSettings& Line)
{
    QString cause;
    if (OpenLine(Port, DeviceName, Line, cause))
        return true;
    PrintLine(stderr, OpenFailedLine(UserName));
    PrintLine(stderr, cause);
    return false;
}

bool DeviceFor(const QString& Port, std::unique_ptr<TDemoDevice>& Demo, QString& Device)
{
    Device = Port;
    if (Port.compare(QString::fromUtf16(kDemoPortName), Qt::CaseInsensitive) != 0)
        return true;
    try {
        Demo = std::make_unique<TDemoDevice>();
    } catch (const Exception& e) {
        PrintLine(stderr, OpenFailedLine(Port));
        PrintLine(stderr, QString::fromUtf8(e.what()));
        return false;
    }
    Device = QString::fromStdString(Demo->PortPath());
    return true;
}

int ByteTimeoutMs(unsigned long Baud)
{
    const unsigned long charsMs = Baud > 0 ? 3ul * 11ul * 1000ul / Baud : 1000ul;
    return static_cast<int>(std::clamp(charsMs, 100ul, 10'000ul));
}

} // namespace cli
