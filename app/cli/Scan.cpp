// `modbuscrc scan`: finds a silent device's address, rate and parity by
// probing each id at each line setting.
#include <QElapsedTimer>
#include <memory>
#include <unistd.h>

#include "app/cli/Commands.h"
#include "app/cli/Common.h"
#include "app/cli/Interrupts.h"
#include "app/demo/DemoSlave.h"
#include "app/modbus/HexText.h"
#include "app/modbus/Reply.h"
#include "app/scan/Scanner.h"

namespace cli {

namespace {

constexpr unsigned long long kMaxTimeoutMs = 60'000;

struct TScanOptions {
    QString Port;
    TScanPlan Plan;
};

TScanOptions ParseOptions(const QStringList& Args)
{
    TScanOptions o;
    for (int id = 1; id <= 247; ++id)
        o.Plan.Ids.push_back(id);
    TArgs args(Args);
    QString error;
    auto need = [&error](bool ok) {
        if (!ok)
            throw TUsageError(error.toStdString());
    };
    while (args.Next()) {
        if (args.Is("--port")) {
            o.Port = args.Value();
        } else if (args.Is("--baud")) {
            need(ParseBauds(args.Value(), o.Plan.Bauds, error));
        } else if (args.Is("--parity")) {
            need(ParseParities(args.Value(), o.Plan.Parities, error));
        } else if (args.Is("--stop-bits")) {
            need(ParseStopBits(args.Value(), o.Plan.StopBits, error));
        } else if (args.Is("--ids")) {
            need(ParseIds(args.Value(), o.Plan.Ids, error));
        } else if (args.Is("--timeout")) {
            o.Plan.TimeoutMs = static_cast<unsigned long>(args.Number(1, kMaxTimeoutMs));
        } else if (args.Is("--probe")) {
            const QString hex = args.Value();
            o.Plan.Probe = HexBytes(hex);
            // An address byte and the CRC go around it.
            if (o.Plan.Probe.empty() || o.Plan.Probe.size() + 3 > kMaxRtuFrame)
                throw TUsageError(("--probe takes the request without address and CRC, 1 to 253 bytes as hex, not '" +
                                   hex + "'")
                                      .toStdString());
        } else if (args.Flag("--first")) {
            o.Plan.First = true;
        } else if (args.Flag("--echo")) {
            o.Plan.RemoveEcho = true;
        } else if (TakeRs485Option(args, o.Plan.Base)) {
        } else if (args.IsOption()) {
            args.Refuse();
        } else {
            throw TUsageError(("unexpected '" + args.Word() + "' (the port is given with --port)").toStdString());
        }
    }
    CheckCommonOptions(args);
    if (o.Port.isEmpty())
        throw TUsageError("--port NAME is required (demo for the built-in slave)");
    return o;
}

QString Seconds(std::int64_t Ms)
{
    return Ms >= 60'000 ? QStringLiteral("%1 分 %2 秒").arg(Ms / 60'000).arg((Ms / 1000) % 60)
                        : QStringLiteral("%1 秒").arg((Ms + 999) / 1000);
}

QString Where(const TScanAnswer& A)
{
    return QStringLiteral("%1 %2 %3 ").arg(A.Id).arg(A.Line.Baud).arg(SettingText(A.Line));
}

QString HintNote(const TScanAnswer& A)
{
    switch (A.Kind) {
    case TReplyKind::Echo:
        return QStringLiteral("（收到的是发出的帧本身：RS-485 适配器的回显？可加 --echo）");
    case TReplyKind::Foreign:
        return QStringLiteral("（不是站 %1 对探测请求的回复）").arg(A.Id);
    default:
        return {};
    }
}

// The progress line, rewritten in place while stderr is a terminal.
class TProgressLine {
public:
    TProgressLine() : FShown(isatty(STDERR_FILENO) != 0) {}
    void Show(const TScanProgress& P)
    {
        if (!FShown)
            return;
        const QString text = QStringLiteral("扫描 %1 %2，站 %3（%4/%5），已找到 %6 个，剩余至多 %7")
                                 .arg(P.Line.Baud)
                                 .arg(SettingText(P.Line))
                                 .arg(P.Id)
                                 .arg(P.Done + 1)
                                 .arg(P.Total)
                                 .arg(P.Found)
                                 .arg(Seconds(P.LeftMs));
        const QByteArray bytes = "\r\x1b[K" + text.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
        std::fflush(stderr);
    }
    // Before any other output, so it starts on a clean line.
    void Clear()
    {
        if (!FShown)
            return;
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }

private:
    bool FShown;
};

int RunScan(const QStringList& Args)
{
    const TScanOptions options = ParseOptions(Args);
    TScanner scanner;
    // Before any thread starts, so that they all leave Ctrl-C to it.
    TInterrupts interrupts([&scanner](int) { scanner.Stop(); });

    std::unique_ptr<TDemoDevice> demo;
    QString device;
    if (!DeviceFor(options.Port, demo, device))
        return kExitUsage;

    TProgressLine progress;
    scanner.OnProgress = [&](const TScanProgress& P) { progress.Show(P); };
    scanner.OnFound = [&](const TScanAnswer& A) {
        progress.Clear();
        PrintLine(stdout, Where(A) + A.RxLine);
    };
    scanner.OnHint = [&](const TScanAnswer& A) {
        progress.Clear();
        PrintLine(stderr, QStringLiteral("提示：") + Where(A) + A.RxLine + HintNote(A));
    };
    scanner.OnSkipped = [&](const TLineSettings& Line, const QString& Why) {
        progress.Clear();
        PrintLine(stderr, QStringLiteral("跳过 %1 %2：%3").arg(Line.Baud).arg(SettingText(Line), Why));
    };

    QString failure;
    const TScanner::TEnd end = scanner.Run(device, options.Plan, failure);
    progress.Clear();
    if (end == TScanner::CannotOpen) {
        PrintLine(stderr, OpenFailedLine(options.Port));
        PrintLine(stderr, failure);
        return kExitUsage;
    }
    const std::size_t found = scanner.Found().size();
    const QString stopped = end == TScanner::Stopped ? QStringLiteral("（扫描被中断）") : QString();
    // One device answers at every setting a pseudo-terminal line gives it:
    // what is counted is answers, by address and setting.
    PrintLine(stderr, found > 0 ? QStringLiteral("找到 %1 处应答%2").arg(found).arg(stopped)
                                : QStringLiteral("没有找到设备%1").arg(stopped));
    return found > 0 ? kExitOk : kExitNoGoodReply;
}

} // namespace

const TCommand kScanCommand = {"scan",
                               "Usage: modbuscrc scan --port NAME [--baud LIST|all] [--parity LIST|all] "
                               "[--stop-bits LIST] [--ids RANGE] [--timeout MS] [--probe HEX] [--first] [--echo] [--rs485 ...]",
                               RunScan};

} // namespace cli
