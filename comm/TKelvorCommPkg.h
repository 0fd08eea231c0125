#pragma once
// The package layer: cuts a port's byte stream into packages (by head/tail
// marks or by a pause on the line) and sends packages, framed or raw.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "comm/TKelvorComm32.h"

namespace KelvorComm32 {

enum TCommPackageType : int { cptCompatiblePkg = 0, cptFrameHeadTail = 1, cptFrameTimeout = 2 };

// A package record: the byte count, then the bytes. A record is as large as
// the slot or buffer that holds it.
struct TCommPackageHead {
    std::uint32_t Length;
    std::uint8_t Data[];
};

// What an end-of-package test says of the bytes collected so far. A test
// that returns bool answers cpeNo or cpeYes.
enum TCommPackageEnd : int {
    cpeNo = 0,   // not one whole package: the pause ends it
    cpeYes = 1,  // one whole package: queue it now
    cpeWait = 2, // not whole yet, but it can still become whole: a pause does not
                 // cut it, only a silence of PackageHold does
};
// cpeWait from a test that also knows how many more bytes it needs at least
// before it can answer otherwise (cpeWaitFor): the port need not report
// them one by one. Values from cpeWaitMore up carry the count.
constexpr int cpeWaitMore = 0x10000;
constexpr int cpeWaitFor(unsigned long More)
{
    return More > 1 ? cpeWaitMore + static_cast<int>(More < 0xFFFF ? More : 0xFFFF) : cpeWait;
}
using TCommPackageEndEvent = std::function<int(TObject* Sender, const std::uint8_t* Data, unsigned long Length)>;

// Ring of fixed-size package slots; one slot always stays free.
class TCommPackageQueue {
public:
    TCommPackageQueue(unsigned long Count, unsigned long Size);
    virtual ~TCommPackageQueue();

    void SetQueue(long Count, long Size);
    void fSetQSize(unsigned long Count);
    void fSetPkgSz(unsigned long Size);
    void fRemoveQueue();
    void Clear();
    unsigned long fGetCount() const;
    unsigned long fGetRemain() const;
    bool fIsValid() const;
    unsigned long Count() const { return fGetCount(); }
    unsigned long Remain() const { return fGetRemain(); }
    bool IsValid() const { return fIsValid(); }
    unsigned long QueueSize() const { return FQSize; }
    unsigned long SlotSize() const { return FPkgSize; }
    // The slots that In fills and Out takes next.
    unsigned long InIndex() const { return FIn.load(std::memory_order_acquire); }
    unsigned long OutIndex() const { return FOut.load(std::memory_order_acquire); }

    bool In(const void* Src);
    bool Out(void* Dst);
    bool Read(void* Dst, unsigned long Index);

private:
    std::uint8_t* FQueue = nullptr;
    std::atomic<unsigned long> FOut{0};
    std::atomic<unsigned long> FIn{0};
    unsigned long FQSize = 2;
    unsigned long FPkgSize = 32;
};

class TCommPackage : public TObject {
public:
    static constexpr std::uint8_t DefaultFrameHead = 0xEB;
    static constexpr std::uint8_t DefaultFrameTail = 0xEE;
    static constexpr std::uint8_t DefaultFrameCtrl = 0xEC;
    // Largest PackageSize: keeps the framed length (2n + 4) inside the
    // record's 32-bit Length. Larger values fail like a failed allocation.
    static constexpr unsigned long MaxPackageSize = 0x7FFFFFF0ul;

    explicit TCommPackage(TComm32* Comm);
    // Puts the port's previous handler back once no port thread is inside
    // the layer's, and waits for the timer thread.
    ~TCommPackage() override;

    // Virtual slots, in order.
    virtual unsigned long ReadPackage(void* Buffer, unsigned long Size);
    virtual unsigned long WritePackage(const void* Buffer, unsigned long Size);
    virtual void PurgeRead();
    virtual void PurgeWrite();
    virtual void CallNotify(int NotifyType);

    void fNewCommNotify(TObject* Sender, int NotifyType);

    bool Active() const { return FActive.load(); }
    void fSetActive(bool Value);
    unsigned long QueueSize() const { return FQueueSize.load(); }
    void fSetQSize(unsigned long Value);
    unsigned long PackageSize() const { return FPackageSize.load(); }
    void fSetPkgSz(unsigned long Value);
    TCommPackageType PackageType() const { return FPackageType.load(); }
    void fSetPkgType(TCommPackageType Value);
    unsigned long PackageInterval() const { return FPackageInterval.load(); }
    void fSetPkgInterval(unsigned long Value);
    // The longest silence inside a package that the end test still waits
    // for (cpeWait), in ms; never shorter than PackageInterval.
    unsigned long PackageHold() const { return FPackageHold.load(); }
    void fSetPkgHold(unsigned long Value);
    bool DoubleFrameMark() const { return FDoubleFrameMark.load(); }
    void fSetDblFrameMark(bool Value);

    // End-of-package test for cptFrameTimeout. While it is set, received
    // bytes are taken from the port as they arrive (on its notification),
    // and a package is queued and announced as soon as the test says yes;
    // bytes that never meet it still end by the pause. Called on the port's
    // threads with the layer locked: it must be quick and must not call
    // back into the layer. Empty: packages end by the pause only. A test
    // that answers cpeWaitFor(n) spares the port a wake-up for each of
    // those n bytes (TComm32::ExpectRx).
    TCommPackageEndEvent OnPackageEnd() const;
    void fSetPkgEnd(TCommPackageEndEvent Value);
    // When the last byte of the package that ReadPackage took last was read
    // from the port (TComm32::RxTimeNow's scale), 0 before any.
    std::int64_t LastPackageTime() const;

    // Plain fields, read and written directly; read by the I/O threads.
    std::atomic<std::uint8_t> FrameHead{DefaultFrameHead};
    std::atomic<std::uint8_t> FrameTail{DefaultFrameTail};
    std::atomic<std::uint8_t> FrameCtrl{DefaultFrameCtrl};

    TCommNotifyEvent OnNotify;

    static void _fnTimerThread(void* Param);

private:
    // Three buffers and a scratch chunk, sized together so a resize can be
    // prepared outside the lock and swapped in whole.
    struct TBuffers {
        TCommPackageHead* Recv = nullptr;
        TCommPackageHead* Send = nullptr;
        TCommPackageHead* Stage = nullptr;
        std::uint8_t* Scratch = nullptr;
        void Free();
    };
    // Lets the destructor wait until the timer thread has let go of the object.
    struct TTimerJoin;

    static std::size_t _SlotBytes(unsigned long PackageSize);
    static TBuffers _MakeBuffers(unsigned long PackageSize);
    void _Rebuild(unsigned long QueueSize, unsigned long PackageSize);
    void _AllocBuffer();
    void _RemoveBuffer();
    void _ResetLocked();
    void _TimerThread();
    void _EncodePackage(TCommPackageHead* Dst, TCommPackageHead* Src);
    void _ReadHeadTailPackage();
    bool _ReadTimeoutPackage(unsigned long& Ended);
    void _QueueReceived();
    std::int64_t _SilenceEndLocked() const;
    void _WritePackage();
    void _SafeCallNotify(int NotifyType);

    std::atomic<bool> FActive{false};
    std::atomic<bool> FDoubleFrameMark{false};
    bool FInFrame = false;
    bool FCtrlPending = false;
    unsigned long FSendOffset = 0;
    TComm32* FComm;
    TCommNotifyEvent FPrevCommNotify;
    TCommPackageQueue* FReadQueue = nullptr;
    TCommPackageQueue* FWriteQueue = nullptr;
    TBuffers FBuf;
    TCommPackageEndEvent FPackageEnd;
    // Bytes were taken on a notification since the timer's last poll, so
    // that poll is no pause.
    bool FRxSincePoll = false;
    // The end test's last word on the receive buffer was cpeWait, and the
    // bytes it then said it needs at least (0: not said).
    bool FRecvWaits = false;
    unsigned long FRecvAwaits = 0;
    // Read time of the receive buffer's last byte, and of each queued package
    // by its read-queue slot.
    std::int64_t FRecvTime = 0;
    std::vector<std::int64_t> FReadTimes;
    std::int64_t FLastPackageTime = 0;
    std::atomic<unsigned long> FQueueSize{16};
    std::atomic<unsigned long> FPackageSize{4096};
    std::atomic<TCommPackageType> FPackageType{cptFrameTimeout};
    std::atomic<unsigned long> FPackageInterval{50};
    std::atomic<unsigned long> FPackageHold{1000};
    // With an end test the timer does not poll: it sleeps until the silence
    // that would end the bytes left in the receive buffer (FTimerDue,
    // RxTimeNow's scale; 0 with none left, then without a time limit).
    // Whoever leaves it bytes that end sooner moves the time and wakes it.
    // Guarded by FLock.
    std::int64_t FTimerDue = 0;
    std::atomic<bool> FKeepRunning{true};
    std::atomic<bool> FRunning{false};
    HANDLE FWakeEvent = nullptr;
    std::shared_ptr<TTimerJoin> FTimerJoin;
    bool FTimerStarted = false;

    // Held by everything that touches the queues, the buffers or the parser
    // and sender state: the parser and the sender (reader thread), the
    // timeout step (timer thread), Read/WritePackage and reconfiguration
    // (application). Never held while a user handler runs, except the
    // end-of-package test.
    mutable std::mutex FLock;
};

} // namespace KelvorComm32
