#include "app/cli/CommandLine.h"

#include <algorithm>

#include "comm/TKelvorComm32.h"

#ifndef KELVOR_VERSION
#define KELVOR_VERSION "unknown"
#endif

namespace cli {

namespace {

const char* const kHelp = R"(Usage: modbuscrc                          start the window
       modbuscrc --screenshot FILE.png    save a picture of the window and exit
       modbuscrc crc HEX...               print the frame with its Modbus CRC-16
       modbuscrc send --port NAME [OPTIONS] HEX...
                                          send the frame, print the traffic
       modbuscrc slave [OPTIONS] PORT     serve the demo slave on a port
       modbuscrc --help | --version

HEX is read as the window reads its target box: only hex digits count,
whatever stands between them, two digits a byte. The CRC is appended.

send prints a TX line per request and an RX line per reply, as the window's
log, and the counts on stderr when it ends (Ctrl-C ends it cleanly).
  --port NAME       COM3, COM03, ttyUSB0, /dev/ttyUSB0, ... or demo for the
                    built-in demo slave (required)
  --baud N          rate (9600)
  --parity P        none, even, odd, mark or space (none)
  --data-bits N     5 to 8 (8)
  --stop-bits N     1 or 2 (1)
  --count N         requests to send (1); 0 sends until Ctrl-C
  --interval MS     from one request to the next, but never before the reply
                    or the timeout of the one before (100)
  --expect N        reply bytes to take; 0 works it out from the function
                    code (0)
  --timeout MS      how long to wait for a reply (1000)
  --times           lines begin with the time; replies end with their
                    response time

slave answers as the demo slave (slave id 1, coils, discrete inputs, holding
and input registers at 0 to 999) on PORT until Ctrl-C, printing an RX line
per request and a TX line per reply.
  --id N            slave id, 1 to 247 (1)
  --baud N, --parity P, --stop-bits N, --times as for send

Exit status: 0 every request got a reply that passes the check; 1 a request
got no reply, or a reply that fails the check; 2 bad arguments, or the port
cannot be opened (the cause on stderr).
)";

const char* UsageOf(const QString& Command)
{
    if (Command == QLatin1String("crc"))
        return "Usage: modbuscrc crc HEX...";
    if (Command == QLatin1String("send"))
        return "Usage: modbuscrc send --port NAME [OPTIONS] HEX...";
    if (Command == QLatin1String("slave"))
        return "Usage: modbuscrc slave [--id N] [--baud N] [--parity P] [--stop-bits N] [--times] PORT";
    return "Usage: modbuscrc [crc|send|slave] ... (see modbuscrc --help)";
}

int UsageError(const QString& Command, const QString& Message)
{
    const QString who = Command.isEmpty() ? QStringLiteral("modbuscrc") : QStringLiteral("modbuscrc ") + Command;
    PrintLine(stderr, who + QStringLiteral(": ") + Message);
    PrintLine(stderr, QString::fromLatin1(UsageOf(Command)));
    PrintLine(stderr, QStringLiteral("Try 'modbuscrc --help' for more information."));
    return kExitUsage;
}

bool IsHelp(const QString& Arg)
{
    return Arg == QLatin1String("--help") || Arg == QLatin1String("-h");
}

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
        return true;
    }
    FName = a;
    return true;
}

QString TArgs::Value()
{
    if (FInlineValue)
        return *FInlineValue;
    if (FIndex + 1 >= FArgs.size())
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

void PrintLine(std::FILE* To, const QString& Line)
{
    const QByteArray bytes = Line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), To);
    std::fflush(To);
}

bool OpenPort(KelvorComm32::TComm32& Port, const QString& UserName, const QString& DeviceName,
              const TLineSettings& Line)
{
    Port.fSetPortName(DeviceName.toStdU16String());
    Port.fSetBaud(Line.Baud);
    Port.fSetParity(static_cast<unsigned char>(Line.Parity));
    Port.fSetByteSize(static_cast<unsigned char>(Line.DataBits));
    Port.fSetStopBits(static_cast<unsigned char>(Line.StopBits));
    Port.fSetFCtrl(KelvorComm32::TComm32::fcNone);
    try {
        Port.Open();
        return true;
    } catch (const KelvorComm32::EComm32Error& e) {
        PrintLine(stderr, OpenFailedLine(UserName));
        PrintLine(stderr, OpenFailureCause(e, Port));
    }
    return false;
}

int ByteTimeoutMs(unsigned long Baud)
{
    const unsigned long charsMs = Baud > 0 ? 3ul * 11ul * 1000ul / Baud : 1000ul;
    return static_cast<int>(std::clamp(charsMs, 100ul, 10'000ul));
}

} // namespace cli

std::optional<int> RunCommandLine(int argc, char** argv, QString& Screenshot)
{
    using namespace cli;
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    Screenshot.clear();
    if (args.isEmpty())
        return std::nullopt;

    const QString first = args.first();
    const QStringList rest = args.mid(1);
    const bool isCommand = first == QLatin1String("crc") || first == QLatin1String("send") ||
                           first == QLatin1String("slave");
    bool help = IsHelp(first);
    for (const QString& a : isCommand ? rest : QStringList()) {
        if (a == QLatin1String("--"))
            break;
        help = help || IsHelp(a);
    }
    if (help) {
        std::fputs(kHelp, stdout);
        std::fflush(stdout);
        return kExitOk;
    }
    if (first == QLatin1String("--version")) {
        std::printf("modbuscrc %s\n", KELVOR_VERSION);
        std::fflush(stdout);
        return kExitOk;
    }
    const QString command = isCommand ? first : QString();
    try {
        if (first == QLatin1String("crc"))
            return RunCrc(rest);
        if (first == QLatin1String("send"))
            return RunSend(rest);
        if (first == QLatin1String("slave"))
            return RunSlave(rest);
        // The window takes only --screenshot FILE.
        TArgs a(args);
        while (a.Next()) {
            if (!a.Is("--screenshot"))
                throw TUsageError(a.IsOption() ? ("unknown option " + a.Name()).toStdString()
                                               : ("unknown command " + a.Word()).toStdString());
            Screenshot = a.Value();
            if (Screenshot.isEmpty())
                throw TUsageError("--screenshot needs a file name");
        }
    } catch (const TUsageError& e) {
        return UsageError(command, QString::fromStdString(e.what()));
    } catch (const std::exception& e) {
        // Nothing to run on: no pseudo-terminal, no memory, no thread.
        PrintLine(stderr, QStringLiteral("modbuscrc: ") + QString::fromLocal8Bit(e.what()));
        return kExitUsage;
    }
    return std::nullopt;
}
