// `modbuscrc monitor`: listens to a bus that others talk on and prints every
// frame it sees. It never writes to the port.
#include <QDateTime>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "app/cli/Commands.h"
#include "app/cli/Common.h"
#include "app/cli/DecodeOptions.h"
#include "app/cli/Interrupts.h"
#include "app/monitor/BusCounts.h"
#include "app/monitor/BusLine.h"
#include "app/monitor/FrameSplitter.h"
#include "comm/TKelvorComm32.h"

namespace cli {

namespace {

using KelvorComm32::TComm32;
using namespace std::chrono;

// How often the loop looks whether the device is still there.
constexpr std::int64_t kLookNs = 500'000'000;
// Bytes the reader stamped but has not handed over yet are waited for this
// long at most before a silence is taken as one.
constexpr std::int64_t kHandOverNs = 100'000'000;
constexpr std::int64_t kHandOverPollNs = 1'000'000;

struct TMonitorOptions {
    TLineSettings Line;
    bool Times = false;
    bool Decode = false;
    TDecodeOptions Format;
    QString Port;
};

TMonitorOptions ParseOptions(const QStringList& Args)
{
    TMonitorOptions o;
    bool formatGiven = false;
    TArgs args(Args);
    while (args.Next()) {
        if (TakeCommonOption(args, o.Line, o.Times, true) || TakeDecodeOption(args, o.Format, formatGiven))
            continue;
        if (args.Flag("--decode")) {
            o.Decode = true;
        } else if (args.IsOption()) {
            args.Refuse();
        } else {
            TakePortWord(args, o.Port);
        }
    }
    if (o.Port.isEmpty())
        throw TUsageError("no PORT given");
    if (formatGiven && !o.Decode)
        throw TUsageError("--format and --order go with --decode");
    return o;
}

// What the port's reader and Ctrl-C hand to the main thread.
struct TMailbox {
    struct TChunk {
        std::vector<std::uint8_t> Bytes;
        std::int64_t When;
    };
    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<TChunk> Chunks;
    bool Interrupted = false;
};

class TPrinter {
public:
    explicit TPrinter(const TMonitorOptions& Options) : FOptions(Options) {}

    void Print(const TBusFrame& Frame)
    {
        FCounts.Add(Frame);
        if (FOptions.Times) {
            // The frame's steady-clock time as local time.
            const std::int64_t ago = TComm32::RxTimeNow() - Frame.End;
            PrintLine(stdout, TimedBusLine(Frame, QDateTime::currentDateTime().addMSecs(-ago / 1'000'000)));
        } else {
            PrintLine(stdout, BusLine(Frame));
        }
        if (FOptions.Decode) {
            const QString decoded = DecodedBusLine(Frame, FOptions.Format);
            if (!decoded.isEmpty())
                PrintLine(stdout, decoded);
        }
    }

    TBusCounts& Counts() { return FCounts; }

private:
    const TMonitorOptions& FOptions;
    TBusCounts FCounts;
};

// Feeds the splitter until Ctrl-C or until the device goes; false for the latter.
bool Listen(TComm32& Port, TMailbox& Box, TFrameSplitter& Splitter)
{
    std::int64_t fed = 0;         // the stamp of the last chunk fed
    std::int64_t handOverFrom = 0; // since when the reader holds stamped bytes back
    std::int64_t looked = TComm32::RxTimeNow();
    std::unique_lock lock(Box.Lock);
    for (;;) {
        const std::int64_t now = TComm32::RxTimeNow();
        std::int64_t wake = now + kLookNs;
        if (const auto deadline = Splitter.Deadline())
            wake = std::min(wake, *deadline + 1);
        if (handOverFrom != 0)
            wake = std::max(wake, now + kHandOverPollNs);
        const auto until = steady_clock::time_point(nanoseconds(std::max(wake, now)));
        Box.Wake.wait_until(lock, until, [&] { return !Box.Chunks.empty() || Box.Interrupted; });
        if (Box.Interrupted)
            return true;
        std::deque<TMailbox::TChunk> chunks;
        chunks.swap(Box.Chunks);
        lock.unlock();
        for (const TMailbox::TChunk& c : chunks) {
            Splitter.Feed(c.Bytes.data(), c.Bytes.size(), c.When);
            fed = std::max(fed, c.When);
        }
        if (chunks.empty()) {
            // A silence is only one when the reader has nothing stamped
            // that it has yet to hand over.
            const std::int64_t at = TComm32::RxTimeNow();
            if (Port.LastRxTime() <= fed || (handOverFrom != 0 && at - handOverFrom > kHandOverNs)) {
                handOverFrom = 0;
                Splitter.Poll(at);
            } else if (handOverFrom == 0) {
                handOverFrom = at;
            }
        } else {
            handOverFrom = 0;
        }
        bool lost = false;
        if (const std::int64_t at = TComm32::RxTimeNow(); at - looked >= kLookNs) {
            looked = at;
            lost = Port.DeviceLost();
        }
        lock.lock();
        if (lost)
            return false;
    }
}

int RunMonitor(const QStringList& Args)
{
    const TMonitorOptions options = ParseOptions(Args);

    TMailbox box;
    // Before the port's threads start, so that they leave Ctrl-C to it.
    TInterrupts interrupts([&box](int) {
        std::lock_guard guard(box.Lock);
        box.Interrupted = true;
        box.Wake.notify_all();
    });

    TComm32 port;
    port.OnCommNotify = [&port, &box](TObject*, int NotifyType) {
        if ((NotifyType & EV_RXCHAR) == 0)
            return;
        std::uint8_t buf[4096];
        long n = 0;
        while ((n = port.Read(buf, sizeof buf)) > 0) {
            const std::int64_t when = port.LastRxTime();
            std::lock_guard guard(box.Lock);
            box.Chunks.push_back({std::vector<std::uint8_t>(buf, buf + n), when});
            box.Wake.notify_all();
        }
    };
    port.DisableWrite = true; // a listener never talks on the bus
    if (!OpenPort(port, options.Port, options.Port, options.Line))
        return kExitUsage;
    const QString device = DeviceForPortName(QString::fromStdU16String(port.PortName()));
    PrintLine(stderr, QStringLiteral("监听 %1，%2；只收不发，按 Ctrl-C 结束").arg(device, LineText(options.Line)));

    TPrinter printer(options);
    TFrameSplitter splitter(TBusTiming::ForLine(options.Line), TComm32::RxTimeNow(),
                            [&printer](const TBusFrame& Frame) { printer.Print(Frame); });
    const bool interrupted = Listen(port, box, splitter);
    try {
        port.Close();
    } catch (const std::exception& e) {
        PrintLine(stderr, QString::fromUtf8(e.what()));
    }
    // What the reader handed over last, and what was still pending.
    for (const TMailbox::TChunk& c : box.Chunks)
        splitter.Feed(c.Bytes.data(), c.Bytes.size(), c.When);
    splitter.Finish();
    printer.Counts().Finish();
    if (!interrupted)
        PrintLine(stderr, QStringLiteral("[%1已断开]").arg(options.Port));
    PrintLine(stderr, printer.Counts().Summary());
    return interrupted ? kExitOk : kExitNoGoodReply;
}

} // namespace

const TCommand kMonitorCommand = {
    "monitor",
    "Usage: modbuscrc monitor [--baud N] [--parity P] [--data-bits N] [--stop-bits N] [--decode [--format F] "
    "[--order O]] [--times] PORT",
    RunMonitor};

} // namespace cli
