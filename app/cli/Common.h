#pragma once
// What the commands of the command line share: exit statuses, reading the
// arguments, the line options, opening a port and printing a line. Commands
// include this; the dispatcher includes it and Commands.h, never a command.
#include <QString>
#include <QStringList>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "app/OpenFailure.h"
#include "platform/rtl/Rtl.h"

#include <memory>

namespace KelvorComm32 {
class TComm32;
}
class TDemoDevice;

namespace cli {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitNoGoodReply = 1;
constexpr int kExitUsage = 2; // bad arguments, or the port cannot be opened

// A fault in the arguments: the message is printed with the usage.
class TUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Walks the arguments of one command. "--name value" and "--name=value"
// both give an option its value; "--" ends the options. Any other word that
// starts with "-" is an option too, so a mistyped "-c" is refused instead of
// being read as hex.
class TArgs {
public:
    explicit TArgs(QStringList Args);
    // Steps to the next argument; false at the end.
    bool Next();
    bool IsOption() const { return FIsOption; }
    // For an option: whether it is this one.
    bool Is(const char* Name) const { return FIsOption && FName == QLatin1String(Name); }
    const QString& Name() const { return FName; }
    // A plain argument.
    const QString& Word() const { return FName; }
    // The option's value; a missing one, or another option in its place
    // ("--port --count"), is a usage error.
    QString Value();
    // A decimal whole number from Min to Max.
    unsigned long long Number(unsigned long long Min, unsigned long long Max);
    // Whether it is this option, which takes no value ("--times=yes" is
    // refused).
    bool Flag(const char* Name) const;
    // An option the command does not know.
    [[noreturn]] void Refuse() const;
    // Whether this option has come up so far.
    bool Seen(const char* Name) const { return FSeen.contains(QLatin1String(Name)); }

private:
    QStringList FArgs;
    int FIndex = -1;
    bool FOptionsEnded = false;
    bool FIsOption = false;
    QString FName;
    std::optional<QString> FInlineValue;
    QStringList FSeen;
};

// Options shared by the commands that open a port: --baud, --parity,
// --data-bits (when DataBits is allowed), --stop-bits, --times and RS-485
// mode (--rs485, --rts-on-send high|low, --rts-delay-before MS,
// --rts-delay-after MS). True when the current argument was one of them.
bool TakeCommonOption(TArgs& Args, TLineSettings& Line, bool& Times, bool DataBits);
// RS-485 mode alone (for a command whose rates and parities are lists).
bool TakeRs485Option(TArgs& Args, TLineSettings& Line);
// After the last argument: the shared options that need one another
// (--rts-* without --rs485 is a usage error).
void CheckCommonOptions(const TArgs& Args);

// The one PORT word of a command that takes it as a plain argument.
void TakePortWord(const TArgs& Args, QString& Port);

// The bytes of HEX words, read as the window reads its target box. No word
// is a usage error; words without a hex digit print the window's message
// and give false (the command exits 2).
bool ReadHexWords(const QStringList& Words, TByteDynArray& Bytes);

// One line of UTF-8 text, flushed, so a pipe sees it at once.
void PrintLine(std::FILE* To, const QString& Line);

// Opens Port under the name the user gave. On failure prints the window's
// two lines ("COM03开启失败！" and the cause) to stderr and returns false.
bool OpenPort(KelvorComm32::TComm32& Port, const QString& UserName, const QString& DeviceName,
              const TLineSettings& Line);

// The device a --port name opens: the name itself, or for "demo" a demo
// slave started now (kept in Demo). False, with the two lines printed, when
// the demo cannot start.
bool DeviceFor(const QString& Port, std::unique_ptr<TDemoDevice>& Demo, QString& Device);

// The byte timeout inside one request at a rate: a few character times,
// never under 100 ms (USB adapters deliver in bursts).
int ByteTimeoutMs(unsigned long Baud);

} // namespace cli
