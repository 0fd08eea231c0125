// `modbuscrc send`: the window's manual and automatic sending, from a shell.
#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "app/cli/Commands.h"
#include "app/cli/Common.h"
#include "app/cli/DecodeOptions.h"
#include "app/cli/Interrupts.h"
#include "app/PortLink.h"
#include "app/demo/DemoSlave.h"
#include "app/log/LogLine.h"
#include "app/modbus/Crc16.h"
#include "app/modbus/Exchange.h"
#include "app/modbus/HexText.h"
#include "app/modbus/LineTiming.h"
#include "app/modbus/Reply.h"
#include "comm/TKelvorCommPkg.h"

namespace cli {

namespace {

using namespace std::chrono;
using KelvorComm32::TComm32;
using KelvorComm32::TCommPackage;

// Packages are at most this long, as in the window.
constexpr unsigned long kPackageSize = 8192;
constexpr unsigned long long kMaxMs = 2'147'483'647;

struct TSendOptions {
    QString Port;
    TLineSettings Line;
    unsigned long long Count = 1;
    unsigned long long IntervalMs = 100;
    unsigned long long Expect = 0;
    unsigned long long TimeoutMs = 1000;
    bool Times = false;
    bool RemoveEcho = false;
    bool Decode = false;
    TDecodeOptions Format;
    QStringList Hex;
};

TSendOptions ParseOptions(const QStringList& Args)
{
    TSendOptions o;
    bool formatGiven = false;
    TArgs args(Args);
    while (args.Next()) {
        if (TakeCommonOption(args, o.Line, o.Times, true) || TakeDecodeOption(args, o.Format, formatGiven))
            continue;
        if (args.Is("--port")) {
            o.Port = args.Value();
        } else if (args.Is("--count")) {
            o.Count = args.Number(0, ~0ull);
        } else if (args.Is("--interval")) {
            o.IntervalMs = args.Number(0, kMaxMs);
        } else if (args.Is("--expect")) {
            o.Expect = args.Number(0, kMaxMs);
        } else if (args.Is("--timeout")) {
            o.TimeoutMs = args.Number(1, kMaxMs);
        } else if (args.Flag("--echo")) {
            o.RemoveEcho = true;
        } else if (args.Flag("--decode")) {
            o.Decode = true;
        } else if (args.IsOption()) {
            args.Refuse();
        } else {
            o.Hex << args.Word();
        }
    }
    CheckCommonOptions(args);
    if (formatGiven && !o.Decode)
        throw TUsageError("--format and --order go with --decode");
    if (o.Port.isEmpty())
        throw TUsageError("--port NAME is required (demo for the built-in slave)");
    if (o.Hex.isEmpty())
        throw TUsageError("no HEX given");
    return o;
}

// What the port's threads and Ctrl-C hand to the main thread.
struct TMailbox {
    std::mutex Lock;
    std::condition_variable Wake;
    bool PackageWaiting = false;
    int Interrupts = 0;
};

class TSender {
public:
    TSender(const TSendOptions& Options, TPortLink& Link, const TByteDynArray& Frame)
        : FOptions(Options), FLink(Link), FFrame(Frame), FBuffer(kPackageSize)
    {
    }

    // Bytes of each package to take: --expect, or the function code's rule.
    void WorkOutTakeSize()
    {
        if (FOptions.Expect > 0) {
            FTake = static_cast<unsigned long>(std::min<unsigned long long>(FOptions.Expect, kPackageSize));
            return;
        }
        const int fromTable = ReplyLengthFor(FFrame);
        if (fromTable < 0)
            PrintLine(stderr, QStringLiteral("建议填写预计接收的字节数！（--expect N）"));
        FTake = fromTable > 0 ? static_cast<unsigned long>(fromTable) : kPackageSize;
    }

    // Returns how long to wait for the reply: the timeout, and on a slow
    // line what the request and its reply take on the wire.
    nanoseconds Send()
    {
        Print(TxLine(FFrame.data(), FFrame.size()), std::nullopt);
        if (FOptions.Decode)
            PrintLine(stdout, DecodeRequest(FFrame.data(), FFrame.size(), FOptions.Format));
        const TLineSettings& l = FOptions.Line;
        const double charMs = CharacterMs(l.Baud, l.DataBits, l.Parity, l.StopBits);
        const std::int64_t window =
            TExchange::WindowFor(FFrame, charMs, static_cast<std::int64_t>(FOptions.TimeoutMs) * 1'000'000);
        FExchange.Sent(FFrame, TComm32::RxTimeNow(), FOptions.RemoveEcho, window);
        FLink.Package.WritePackage(FFrame.data(), static_cast<unsigned long>(FFrame.size()));
        return nanoseconds(window);
    }

    // Reads and logs every package waiting; returns how many of them answer
    // the request sent last (an echo or another device's frame does not).
    int Drain()
    {
        int answers = 0;
        std::int64_t lastByte = 0;
        while (const unsigned long n = FLink.Take(FBuffer.data(), kPackageSize, lastByte)) {
            const TExchange::TReceipt r = FExchange.Received(FBuffer.data(), n, FTake, lastByte);
            if (r.Dropped || r.Length == 0)
                continue;
            const std::uint8_t* rx = FBuffer.data() + r.Offset;
            Print(RxLine(rx, r.Length, r.EchoMismatch), r.ResponseMs);
            if (FOptions.Decode)
                PrintLine(stdout, DecodeReceived(rx, r.Length, r.RequestFrame.data(), r.RequestFrame.size(),
                                                 FOptions.Format));
            if (r.Answers && r.Request == FExchange.LastRequest())
                ++answers;
        }
        return answers;
    }

    // The request in flight had its time.
    void GiveUp() { FExchange.CloseOpenRequests(); }

    int ExitStatus() const
    {
        // A broadcast (address 0) is answered by no one.
        const bool broadcast = !FFrame.empty() && FFrame[0] == 0;
        const TLogCounts& c = FExchange.Counts();
        if (c.Marked() > 0 || c.Exceptions() > 0 || (c.Unanswered() > 0 && !broadcast))
            return kExitNoGoodReply;
        return kExitOk;
    }

    QString Summary() const { return FExchange.Counts().Summary(); }

private:
    void Print(const QString& Line, std::optional<double> Ms)
    {
        PrintLine(stdout, FOptions.Times ? TimedLine(Line, QDateTime::currentDateTime(), Ms) : Line);
    }

    const TSendOptions& FOptions;
    TPortLink& FLink;
    const TByteDynArray& FFrame;
    std::vector<std::uint8_t> FBuffer;
    unsigned long FTake = kPackageSize;
    TExchange FExchange;
};

// Sends, waits for each reply or its timeout, keeps the interval, and
// stops at the count or at Ctrl-C: the first lets the request in flight
// have its reply, a second ends at once.
void Run(const TSendOptions& Options, TSender& Sender, TMailbox& Box)
{
    const auto interval = milliseconds(Options.IntervalMs);
    auto nextSend = steady_clock::now();
    std::unique_lock lock(Box.Lock);
    auto drain = [&] {
        Box.PackageWaiting = false;
        lock.unlock();
        const int n = Sender.Drain();
        lock.lock();
        return n;
    };
    for (unsigned long long sent = 0; Options.Count == 0 || sent < Options.Count; ++sent) {
        while (Box.Interrupts == 0 && steady_clock::now() < nextSend) {
            Box.Wake.wait_until(lock, nextSend, [&] { return Box.PackageWaiting || Box.Interrupts > 0; });
            if (Box.PackageWaiting)
                drain(); // nothing is in flight: logged all the same
        }
        if (Box.Interrupts > 0)
            break;
        const auto sentAt = steady_clock::now();
        lock.unlock();
        const auto timeout = Sender.Send();
        lock.lock();
        bool answered = false;
        while (!answered && Box.Interrupts < 2) {
            if (!Box.Wake.wait_until(lock, sentAt + timeout,
                                     [&] { return Box.PackageWaiting || Box.Interrupts >= 2; }))
                break;
            if (Box.PackageWaiting)
                answered = drain() > 0;
        }
        if (!answered)
            Sender.GiveUp();
        if (Box.Interrupts >= 2)
            break;
        nextSend = std::max(sentAt + interval, steady_clock::now());
    }
    lock.unlock();
    Sender.Drain();
}

int RunSend(const QStringList& Args)
{
    const TSendOptions options = ParseOptions(Args);
    const QString text = options.Hex.join(QLatin1Char(' '));
    if (!HasHexDigit(text)) {
        PrintLine(stderr, QString::fromUtf16(kNoHexDigitMessage));
        return kExitUsage;
    }
    const TByteDynArray data = HexBytes(text);
    const TByteDynArray frame = WithCrc(data.data(), data.size());
    if (frame.size() > kMaxRtuFrame) {
        PrintLine(stderr, QString::fromUtf16(kFrameTooLongMessage).arg(frame.size()));
        return kExitUsage;
    }

    TMailbox box;
    // Before any thread starts, so that they all leave Ctrl-C to it.
    TInterrupts interrupts([&box](int Count) {
        std::lock_guard guard(box.Lock);
        box.Interrupts = Count;
        box.Wake.notify_all();
    });

    std::unique_ptr<TDemoDevice> demo;
    QString device;
    if (!DeviceFor(options.Port, demo, device))
        return kExitUsage;

    TPortLink link;
    // The main thread is woken once the lock is let go, so that it does not
    // wake only to wait for it.
    link.Package.OnNotify = [&box](TObject*, int NotifyType) {
        if ((NotifyType & 1) == 0)
            return;
        {
            std::lock_guard guard(box.Lock);
            box.PackageWaiting = true;
        }
        box.Wake.notify_all();
    };
    if (!OpenPort(link.Port, options.Port, device, options.Line))
        return kExitUsage;
    link.Package.fSetPkgSz(kPackageSize);
    link.Package.fSetPkgType(KelvorComm32::cptFrameTimeout);
    link.Package.fSetPkgInterval(
        PackagePauseMs(options.Line.Baud, options.Line.DataBits, options.Line.Parity, options.Line.StopBits));
    // A reply ends at its last byte when its own fields tell its length,
    // else by the pause, as in the window.
    link.Package.fSetPkgEnd(PackageEndTest(frame));
    link.Package.fSetActive(true);

    TSender sender(options, link, frame);
    sender.WorkOutTakeSize();
    Run(options, sender, box);

    link.Package.fSetActive(false);
    try {
        link.Port.Close();
    } catch (const std::exception& e) {
        PrintLine(stderr, QString::fromUtf8(e.what()));
    }
    PrintLine(stderr, sender.Summary());
    return sender.ExitStatus();
}

} // namespace

const TCommand kSendCommand = {"send", "Usage: modbuscrc send --port NAME [OPTIONS] HEX...", RunSend};

} // namespace cli
