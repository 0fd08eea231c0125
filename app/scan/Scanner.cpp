#include "app/scan/Scanner.h"

#include <chrono>
#include <cmath>

#include "app/PortLink.h"
#include "app/log/LogLine.h"
#include "app/modbus/Crc16.h"
#include "app/modbus/Exchange.h"
#include "app/modbus/LineTiming.h"

namespace {

using namespace std::chrono;
using KelvorComm32::TComm32;

// Replies are short; a package may hold an echo and a reply.
constexpr unsigned long kPackageSize = 1024;

} // namespace

void TScanner::Stop()
{
    std::lock_guard guard(FBox.Lock);
    FBox.Stop = true;
    FBox.Wake.notify_all();
}

TScanner::TEnd TScanner::Run(const QString& Device, const TScanPlan& Plan, QString& Failure)
{
    FFound.clear();
    const std::vector<TLineSettings> settings = Plan.Settings();
    TScanProgress progress;
    progress.Total = settings.size() * Plan.Ids.size();
    bool opened = false;
    QString refused;

    TPortLink link;
    link.Package.OnNotify = [this](TObject*, int NotifyType) {
        if ((NotifyType & 1) == 0)
            return;
        std::lock_guard guard(FBox.Lock);
        FBox.PackageWaiting = true;
        FBox.Wake.notify_all();
    };
    std::vector<std::uint8_t> buffer(kPackageSize);

    for (const TLineSettings& line : settings) {
        {
            std::lock_guard guard(FBox.Lock);
            if (FBox.Stop)
                return Stopped;
        }
        link.Package.fSetActive(false);
        QString cause;
        TOpenCause kind = TOpenCause::Other;
        if (!OpenLine(link.Port, Device, line, cause, &kind)) {
            if (kind != TOpenCause::LineRefused) {
                Failure = cause;
                return CannotOpen;
            }
            refused = cause;
            if (OnSkipped)
                OnSkipped(line, cause);
            progress.Done += Plan.Ids.size();
            continue;
        }
        opened = true;
        link.Package.fSetPkgSz(kPackageSize);
        link.Package.fSetPkgType(KelvorComm32::cptFrameTimeout);
        link.Package.fSetPkgInterval(PackagePauseMs(line.Baud, line.DataBits, line.Parity, line.StopBits));
        link.Package.fSetActive(true);

        const double charMs = CharacterMs(line.Baud, line.DataBits, line.Parity, line.StopBits);
        const auto wait = milliseconds(Plan.TimeoutMs);
        TExchange exchange;
        std::vector<int> idOfRequest; // by request number - 1

        // Reads what came back; true when the id just probed answered.
        auto drain = [&](int Probed) {
            bool answered = false;
            std::int64_t lastByte = 0;
            while (const unsigned long n = link.Take(buffer.data(), kPackageSize, lastByte)) {
                const TExchange::TReceipt r = exchange.Received(buffer.data(), n, n, lastByte);
                if (r.Dropped || r.Length == 0)
                    continue;
                TScanAnswer a;
                a.Id = r.Request > 0 ? idOfRequest[r.Request - 1] : 0;
                a.Line = line;
                a.Bytes.assign(buffer.begin() + static_cast<long>(r.Offset),
                               buffer.begin() + static_cast<long>(r.Offset + r.Length));
                a.Kind = r.Kind;
                a.EchoMismatch = r.EchoMismatch;
                a.RxLine = RxLine(a.Bytes.data(), a.Bytes.size(), r.EchoMismatch);
                const bool device = r.Request > 0 && (r.Kind == TReplyKind::Good || r.Kind == TReplyKind::Exception);
                if (device) {
                    FFound.push_back(a);
                    ++progress.Found;
                    if (OnFound)
                        OnFound(a);
                    answered = answered || a.Id == Probed;
                } else if (OnHint) {
                    OnHint(a);
                }
            }
            return answered;
        };

        for (const int id : Plan.Ids) {
            TByteDynArray request{static_cast<std::uint8_t>(id)};
            request.insert(request.end(), Plan.Probe.begin(), Plan.Probe.end());
            const TByteDynArray frame = WithCrc(request);
            const auto onWire = nanoseconds(static_cast<std::int64_t>(std::ceil(static_cast<double>(frame.size()) * charMs * 1e6)));

            progress.Line = line;
            progress.Id = id;
            const std::size_t left = progress.Total - progress.Done;
            progress.LeftMs = static_cast<std::int64_t>(left) *
                              duration_cast<milliseconds>(onWire + wait + milliseconds(1)).count();
            if (OnProgress)
                OnProgress(progress);

            link.Package.fSetPkgEnd(PackageEndTest(frame));
            const auto sentAt = steady_clock::now();
            exchange.Sent(frame, TComm32::RxTimeNow(), Plan.RemoveEcho);
            idOfRequest.push_back(id);
            link.Package.WritePackage(frame.data(), static_cast<unsigned long>(frame.size()));

            // The timeout runs from the request's last byte on the wire;
            // an answer ends the wait at once.
            const auto deadline = sentAt + onWire + wait;
            bool answered = false;
            std::unique_lock lock(FBox.Lock);
            while (!answered && !FBox.Stop) {
                if (!FBox.Wake.wait_until(lock, deadline, [&] { return FBox.PackageWaiting || FBox.Stop; }))
                    break;
                if (FBox.Stop)
                    break;
                FBox.PackageWaiting = false;
                lock.unlock();
                answered = drain(id);
                lock.lock();
            }
            const bool stop = FBox.Stop;
            lock.unlock(); // the port's threads take it to notify
            if (stop)
                return Stopped;
            ++progress.Done;
            if (Plan.First && !FFound.empty())
                return Finished;
        }
        link.Package.fSetActive(false);
        link.Port.Close();
    }
    if (!opened && !settings.empty()) {
        Failure = refused;
        return CannotOpen;
    }
    return Finished;
}
