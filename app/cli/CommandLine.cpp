#include "app/cli/CommandLine.h"

#include <iterator>

#include "app/cli/Commands.h"
#include "app/cli/Common.h"

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
       modbuscrc scan --port NAME [OPTIONS]
                                          find a device's address, rate, parity
       modbuscrc decode [OPTIONS] HEX...  say what one frame (CRC included) means
       modbuscrc monitor [OPTIONS] PORT   listen to a bus and print its frames
       modbuscrc --help | --version

HEX is read as the window reads its target box: only hex digits count,
whatever stands between them, two digits a byte. crc and send append the
CRC; for decode it is part of the frame.

send prints a TX line per request and an RX line per reply, as the window's
log, and the counts on stderr when it ends (Ctrl-C ends it cleanly).
  --port NAME       COM3, COM03, ttyUSB0, /dev/ttyUSB0, ... or demo for the
                    built-in demo slave (required)
  --baud N          rate (9600)
  --parity P        none, even, odd, mark or space (none)
  --data-bits N     5 to 8 (8)
  --stop-bits N     1 or 2 (1)
  --rs485           RS-485 mode: the driver switches RTS, and with it the
                    line's transmitter, for each frame it sends (on Windows
                    the adapter's driver picks level and delays)
  --rts-on-send L   with --rs485: RTS high or low while sending (high)
  --rts-delay-before MS, --rts-delay-after MS
                    with --rs485: from RTS on to the first bit, and from the
                    last bit to RTS off, 0 to 1000 (0); Linux drivers take up
                    to 100 and cut longer delays to that
  --count N         requests to send (1); 0 sends until Ctrl-C
  --interval MS     from one request to the next, but never before the reply
                    or the timeout of the one before (100)
  --expect N        reply bytes to take; 0 works it out from the function
                    code (0)
  --timeout MS      how long to wait for a reply (1000; a slow line adds
                    what the frames take on the wire)
  --times           lines begin with the time; replies end with their
                    response time
  --echo            the line echoes what is sent (a 2-wire RS-485 adapter):
                    the first bytes back are checked against the frame and
                    taken out; others are shown marked [回显不符]
  --decode          a line of what each frame means below it
  --format F, --order O as for decode (with --decode)

slave answers as the demo slave (slave id 1, coils, discrete inputs, holding
and input registers at 0 to 999) on PORT until Ctrl-C, printing an RX line
per request and a TX line per reply.
  --id N            slave id, 1 to 247 (1)
  --baud N, --parity P, --stop-bits N, --rs485, --rts-on-send L,
  --rts-delay-before MS, --rts-delay-after MS, --times as for send

scan sends the probe to each id at each line setting (rates in the order
given, then parities, then stop bits) and prints "ID BAUD SETTING RX:HEX" for
each reply from that id that passes the check, normal or exception; bytes
that fail it are hints on stderr. Ctrl-C stops it.
  --port NAME       as for send (required)
  --baud LIST       rates, comma-separated, or all (1200 to 115200) (9600)
  --parity LIST     none, even, odd, mark, space, comma-separated, or all
                    (none, even, odd) (none)
  --stop-bits LIST  1, 2 or 1,2 (1)
  --ids RANGE       N, N-M, or a comma list of those, 1 to 255 (1-247)
  --timeout MS      wait for a reply after the probe's last byte (100)
  --probe HEX       the request without address and CRC (03 00 00 00 01)
  --first           stop at the first device
  --echo            as for send
  --rs485, --rts-on-send L, --rts-delay-before MS, --rts-delay-after MS
                    as for send

decode reads HEX as one frame, its CRC included, and prints it as a request
(REQ:) or a reply (RSP:) and below it what it means: the function, the data
addresses (0-based, decimal) and values, or the exception.
  --request, --reply  how to read the frame; without them it is the reading
                    whose length and CRC hold (a request when both do)
  --address N       the start address of a reply, which it cannot carry (0)
  --format F        registers as u16, s16, hex, u32, s32, f32, u64, s64, f64
                    or ascii (u16)
  --order O         byte order of the wider formats: ABCD (as sent), CDAB,
                    BADC or DCBA (ABCD)
Exit status 0 when the CRC checks, 1 when it fails, 2 for bad arguments.

monitor listens on PORT without ever writing and prints each frame it sees:
REQ: a request, RSP: a reply, ???: bytes that form neither. Ctrl-C ends it;
the counts, in all and per slave address, go to stderr.
  --baud N, --parity P, --data-bits N, --stop-bits N as for send
  --decode          a line of what each frame means below it
  --format F, --order O as for decode (with --decode)
  --times           lines begin with the time and end with the silence before
                    the frame; a reply also with the time since its request
Exit status 0 after Ctrl-C, 1 when the device went away, 2 for bad arguments
or a port that cannot be opened.

Exit status of send: 0 every request got a reply that passes the check; 1 a
request got no reply, or a reply that fails the check or is an exception.
scan: 0 a device was found, 1 none. Both: 2 bad arguments, or the port
cannot be opened (the cause on stderr, such as "此串口不支持 RS-485 模式" for
a driver without RS-485 mode).
)";

const TCommand* const kCommands[] = {&kCrcCommand,  &kSendCommand,   &kSlaveCommand,
                                     &kScanCommand,   &kDecodeCommand,  &kMonitorCommand};

const TCommand* FindCommand(const QString& Name)
{
    for (const TCommand* c : kCommands)
        if (Name == QLatin1String(c->Name))
            return c;
    return nullptr;
}

QString GeneralUsage()
{
    QStringList names;
    for (const TCommand* c : kCommands)
        names << QLatin1String(c->Name);
    return QStringLiteral("Usage: modbuscrc [%1] ... (see modbuscrc --help)").arg(names.join(QLatin1Char('|')));
}

int UsageError(const TCommand* Command, const QString& Message)
{
    const QString who = Command ? QStringLiteral("modbuscrc ") + QLatin1String(Command->Name) : QStringLiteral("modbuscrc");
    PrintLine(stderr, who + QStringLiteral(": ") + Message);
    PrintLine(stderr, Command ? QString::fromLatin1(Command->Usage) : GeneralUsage());
    PrintLine(stderr, QStringLiteral("Try 'modbuscrc --help' for more information."));
    return kExitUsage;
}

bool IsHelp(const QString& Arg)
{
    return Arg == QLatin1String("--help") || Arg == QLatin1String("-h");
}

} // namespace

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
    const TCommand* command = FindCommand(first);
    bool help = IsHelp(first);
    for (const QString& a : command ? rest : QStringList()) {
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
    try {
        if (command)
            return command->Run(rest);
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
