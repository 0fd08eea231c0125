// `modbuscrc slave`: the demo slave's data served on a real port, so a
// Modbus master can be tried against it.
#include <QDateTime>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/cli/Commands.h"
#include "app/cli/Common.h"
#include "app/cli/Interrupts.h"
#include "app/demo/DemoSlave.h"
#include "app/log/LogLine.h"
#include "comm/TKelvorComm32.h"

namespace cli {

namespace {

using KelvorComm32::TComm32;

struct TSlaveOptions {
    int Id = TDemoSlave::DefaultSlaveId;
    TLineSettings Line;
    bool Times = false;
    QString Port;
};

TSlaveOptions ParseOptions(const QStringList& Args)
{
    TSlaveOptions o;
    TArgs args(Args);
    while (args.Next()) {
        if (TakeCommonOption(args, o.Line, o.Times, false))
            continue;
        if (args.Is("--id")) {
            o.Id = static_cast<int>(args.Number(1, 247));
        } else if (args.IsOption()) {
            args.Refuse();
        } else {
            TakePortWord(args, o.Port);
        }
    }
    CheckCommonOptions(args);
    if (o.Port.isEmpty())
        throw TUsageError("no PORT given");
    return o;
}

int RunSlave(const QStringList& Args)
{
    const TSlaveOptions options = ParseOptions(Args);

    std::mutex lock;
    std::condition_variable wake;
    bool interrupted = false;
    TInterrupts interrupts([&](int) {
        std::lock_guard guard(lock);
        interrupted = true;
        wake.notify_all();
    });

    std::atomic<unsigned long long> requests{0};
    std::atomic<unsigned long long> replies{0};
    TComm32 port;
    auto print = [&options](const QString& Line) {
        PrintLine(stdout, options.Times ? TimedLine(Line, QDateTime::currentDateTime()) : Line);
    };
    TDemoSlave slave(
        options.Id,
        [&port](const std::uint8_t* Data, std::size_t Count) { port.Write(Data, static_cast<long>(Count)); },
        [&](const TDemoExchange& Exchange) {
            ++requests;
            print(RxLine(Exchange.Request.data(), Exchange.Request.size()));
            if (!Exchange.Reply.empty()) {
                ++replies;
                print(TxLine(Exchange.Reply.data(), Exchange.Reply.size()));
            }
        },
        ByteTimeoutMs(options.Line.Baud));
    port.OnCommNotify = [&port, &slave](TObject*, int NotifyType) {
        if ((NotifyType & EV_RXCHAR) == 0)
            return;
        std::uint8_t buf[1024];
        long n = 0;
        while ((n = port.Read(buf, sizeof buf)) > 0)
            slave.Feed(buf, static_cast<std::size_t>(n));
    };
    if (!OpenPort(port, options.Port, options.Port, options.Line))
        return kExitUsage;
    PrintLine(stderr, QStringLiteral("模拟从站（站号 %1）在 %2 上应答，%3；按 Ctrl-C 结束")
                          .arg(options.Id)
                          .arg(DeviceForPortName(QString::fromStdU16String(port.PortName())), LineText(options.Line)));

    {
        std::unique_lock guard(lock);
        wake.wait(guard, [&] { return interrupted; });
    }
    // No reply goes out from here on, then the port's threads stop feeding.
    slave.Stop();
    try {
        port.Close();
    } catch (const std::exception& e) {
        PrintLine(stderr, QString::fromUtf8(e.what()));
    }
    PrintLine(stderr, QStringLiteral("收到请求 %1 帧，回复 %2 帧").arg(requests.load()).arg(replies.load()));
    return kExitOk;
}

} // namespace

const TCommand kSlaveCommand = {"slave", "Usage: modbuscrc slave [--id N] [--baud N] [--parity P] [--stop-bits N] [--rs485 ...] [--times] PORT", RunSlave};

} // namespace cli
