#pragma once
// The scan: for each line setting of a plan and each slave id, the probe
// goes out with the id and its CRC, and whatever comes back within the
// timeout tells whether a device is there. Drives the library core (no
// widgets); the command line runs it on its own thread, the scan dialog on
// a worker thread. Events are called on the thread that runs the scan.
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "app/OpenFailure.h"
#include "app/modbus/Reply.h"
#include "app/scan/ScanPlan.h"

struct TScanAnswer {
    int Id = 0;
    TLineSettings Line;
    TByteDynArray Bytes;            // what came back (an echo taken out)
    TReplyKind Kind = TReplyKind::Foreign;
    bool EchoMismatch = false;
    QString RxLine;                 // as the log shows it, marks included
};

struct TScanProgress {
    TLineSettings Line;
    int Id = 0;                     // the id being tried
    std::size_t Done = 0;           // probes finished
    std::size_t Total = 0;
    std::size_t Found = 0;
    std::int64_t LeftMs = 0;        // at most, if no other id answers
};

class TScanner {
public:
    enum TEnd { Finished, Stopped, CannotOpen };

    // A device: a reply from the id that passes the check, normal or
    // exception.
    std::function<void(const TScanAnswer&)> OnFound;
    // Bytes that came back but are no such reply: another id, a broken
    // frame, the line's echo.
    std::function<void(const TScanAnswer&)> OnHint;
    // Before each probe.
    std::function<void(const TScanProgress&)> OnProgress;
    // A setting the port refused, skipped (Why: the cause line).
    std::function<void(const TLineSettings&, const QString& Why)> OnSkipped;

    // Runs the plan on Device. CannotOpen: the port could not be opened for
    // a reason other than a refused setting, or refused them all; Failure
    // then holds the cause line.
    TEnd Run(const QString& Device, const TScanPlan& Plan, QString& Failure);
    // Ends a running scan at once; from any thread.
    void Stop();

    const std::vector<TScanAnswer>& Found() const { return FFound; }

private:
    struct TMailbox {
        std::mutex Lock;
        std::condition_variable Wake;
        bool PackageWaiting = false;
        bool Stop = false;
    };

    TMailbox FBox;
    std::vector<TScanAnswer> FFound;
};
