#include "comm/TKelvorCommPkg.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>

namespace KelvorComm32 {

namespace {

constexpr long kChunk = 2048; // bytes taken from the port per Read

[[noreturn]] void RaiseOutOfMemory()
{
    throw EComm32Error(EComm32Error::ecOutOfMemory);
}

void* AllocOrRaise(std::size_t bytes)
{
    void* p = std::malloc(bytes);
    if (!p)
        RaiseOutOfMemory();
    return p;
}

} // namespace

// ---------------------------------------------------------------- queue

TCommPackageQueue::TCommPackageQueue(unsigned long Count, unsigned long Size)
{
    SetQueue(static_cast<long>(Count), static_cast<long>(Size));
}

TCommPackageQueue::~TCommPackageQueue() { fRemoveQueue(); }

void TCommPackageQueue::SetQueue(long Count, long Size)
{
    if (Count <= 2)
        Count = 2;
    if (Size <= 32)
        Size = 32;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(Count), static_cast<std::size_t>(Size), &bytes))
        RaiseOutOfMemory();
    // Allocate before letting go of the old storage: a failed resize leaves
    // the queue as it was (emptied) instead of without storage.
    auto* storage = static_cast<std::uint8_t*>(AllocOrRaise(bytes));
    fRemoveQueue();
    FQueue = storage;
    FQSize = static_cast<unsigned long>(Count);
    FPkgSize = static_cast<unsigned long>(Size);
}

void TCommPackageQueue::fSetQSize(unsigned long Count) { SetQueue(static_cast<long>(Count), static_cast<long>(FPkgSize)); }

void TCommPackageQueue::fSetPkgSz(unsigned long Size) { SetQueue(static_cast<long>(FQSize), static_cast<long>(Size)); }

void TCommPackageQueue::fRemoveQueue()
{
    std::free(FQueue);
    FQueue = nullptr;
    Clear();
}

void TCommPackageQueue::Clear()
{
    FOut.store(0, std::memory_order_relaxed);
    FIn.store(0, std::memory_order_release);
}

unsigned long TCommPackageQueue::fGetCount() const
{
    unsigned long in = FIn.load(std::memory_order_acquire);
    unsigned long out = FOut.load(std::memory_order_acquire);
    return (in + FQSize - out) % FQSize;
}

unsigned long TCommPackageQueue::fGetRemain() const
{
    unsigned long in = FIn.load(std::memory_order_acquire);
    unsigned long out = FOut.load(std::memory_order_acquire);
    return (out + FQSize - in - 1) % FQSize;
}

bool TCommPackageQueue::fIsValid() const { return FQueue != nullptr; }

bool TCommPackageQueue::In(const void* Src)
{
    if (!FQueue || !Src || fGetRemain() == 0)
        return false;
    unsigned long in = FIn.load(std::memory_order_relaxed);
    std::memcpy(FQueue + in * FPkgSize, Src, FPkgSize);
    FIn.store((in + 1) % FQSize, std::memory_order_release);
    return true;
}

bool TCommPackageQueue::Out(void* Dst)
{
    if (!FQueue || !Dst || fGetCount() == 0)
        return false;
    unsigned long out = FOut.load(std::memory_order_relaxed);
    std::memcpy(Dst, FQueue + out * FPkgSize, FPkgSize);
    FOut.store((out + 1) % FQSize, std::memory_order_release);
    return true;
}

bool TCommPackageQueue::Read(void* Dst, unsigned long Index)
{
    if (!FQueue || !Dst || Index >= fGetCount())
        return false;
    unsigned long slot = (FOut.load(std::memory_order_relaxed) + Index) % FQSize;
    std::memcpy(Dst, FQueue + slot * FPkgSize, FPkgSize);
    return true;
}

// ---------------------------------------------------------------- layer

struct TCommPackage::TTimerJoin {
    std::mutex Lock;
    std::condition_variable Cond;
    bool Done = false;
};

void TCommPackage::TBuffers::Free()
{
    std::free(Recv);
    std::free(Send);
    std::free(Stage);
    std::free(Scratch);
    Recv = Send = Stage = nullptr;
    Scratch = nullptr;
}

// A queue slot is PackageSize + 4 bytes but never below 32; every buffer
// that is copied into or out of a slot is at least that large.
std::size_t TCommPackage::_SlotBytes(unsigned long PackageSize)
{
    return std::max<std::size_t>(static_cast<std::size_t>(PackageSize) + 4, 32);
}

TCommPackage::TBuffers TCommPackage::_MakeBuffers(unsigned long PackageSize)
{
    if (PackageSize > MaxPackageSize)
        RaiseOutOfMemory();
    std::size_t slot = _SlotBytes(PackageSize);
    std::size_t send = std::max<std::size_t>(2 * static_cast<std::size_t>(PackageSize) + 8, slot);
    TBuffers b;
    try {
        b.Recv = static_cast<TCommPackageHead*>(AllocOrRaise(slot));
        b.Send = static_cast<TCommPackageHead*>(AllocOrRaise(send));
        b.Stage = static_cast<TCommPackageHead*>(AllocOrRaise(slot));
        b.Scratch = static_cast<std::uint8_t*>(AllocOrRaise(std::max<std::size_t>(slot, kChunk)));
    } catch (...) {
        b.Free();
        throw;
    }
    b.Recv->Length = 0;
    b.Send->Length = 0;
    b.Stage->Length = 0;
    return b;
}

void TCommPackage::_AllocBuffer()
{
    TBuffers fresh = _MakeBuffers(FPackageSize.load());
    _RemoveBuffer();
    FBuf = fresh;
}

void TCommPackage::_RemoveBuffer() { FBuf.Free(); }

TCommPackage::TCommPackage(TComm32* Comm) : FComm(Comm)
{
    _AllocBuffer();
    try {
        FReadQueue = new TCommPackageQueue(FQueueSize.load(), FPackageSize.load() + 4);
        FWriteQueue = new TCommPackageQueue(FQueueSize.load(), FPackageSize.load() + 4);
        FReadTimes.assign(FReadQueue->QueueSize(), 0);
    } catch (...) {
        delete FReadQueue;
        _RemoveBuffer();
        throw;
    }
    FWakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    FTimerJoin = std::make_shared<TTimerJoin>();
    FTimerStarted = _beginthread(_fnTimerThread, 4096, this) != static_cast<std::uintptr_t>(-1);
    if (FComm) {
        // After the swap FPrevCommNotify holds the port's old handler.
        FPrevCommNotify = [this](TObject* Sender, int NotifyType) { fNewCommNotify(Sender, NotifyType); };
        FComm->SwapCommNotify(FPrevCommNotify);
    }
}

TCommPackage::~TCommPackage()
{
    // Waits until no port thread is inside our handler (a reader late past
    // a failed close included), and keeps it out from then on.
    if (FComm)
        FComm->SwapCommNotify(FPrevCommNotify);
    FKeepRunning.store(false);
    if (FWakeEvent)
        SetEvent(FWakeEvent);
    if (FTimerStarted) {
        // Wait without a time limit: the thread works on our storage until
        // it reports that it is done.
        std::unique_lock<std::mutex> lk(FTimerJoin->Lock);
        FTimerJoin->Cond.wait(lk, [this] { return FTimerJoin->Done; });
    }
    if (FWakeEvent)
        CloseHandle(FWakeEvent);
    delete FWriteQueue;
    delete FReadQueue;
    _RemoveBuffer();
}

void TCommPackage::_ResetLocked()
{
    FInFrame = false;
    FCtrlPending = false;
    FSendOffset = 0;
    FBuf.Recv->Length = 0;
    FBuf.Send->Length = 0;
    FReadQueue->Clear();
    FWriteQueue->Clear();
    FRxSincePoll = false;
    FRecvWaits = false;
    FRecvAwaits = 0;
    FRecvTime = 0;
}

void TCommPackage::fSetActive(bool Value)
{
    {
        std::lock_guard<std::mutex> g(FLock);
        FActive.store(Value);
        _ResetLocked();
    }
    if (FWakeEvent)
        SetEvent(FWakeEvent);
}

void TCommPackage::fSetQSize(unsigned long Value)
{
    _Rebuild(Value, FPackageSize.load());
}

void TCommPackage::fSetPkgSz(unsigned long Value)
{
    _Rebuild(FQueueSize.load(), Value);
}

void TCommPackage::_Rebuild(unsigned long QueueSize, unsigned long PackageSize)
{
    // Build the new storage first so a failed allocation changes nothing,
    // then swap it in under the lock, with the layer reset.
    TBuffers fresh = _MakeBuffers(PackageSize);
    std::size_t slot = _SlotBytes(PackageSize);
    TCommPackageQueue* rq = nullptr;
    TCommPackageQueue* wq = nullptr;
    std::vector<std::int64_t> times;
    try {
        rq = new TCommPackageQueue(QueueSize, slot);
        wq = new TCommPackageQueue(QueueSize, slot);
        times.assign(rq->QueueSize(), 0);
    } catch (...) {
        delete rq;
        delete wq;
        fresh.Free();
        throw;
    }
    {
        std::lock_guard<std::mutex> g(FLock);
        FReadTimes.swap(times);
        std::swap(rq, FReadQueue);
        std::swap(wq, FWriteQueue);
        std::swap(fresh, FBuf);
        FQueueSize.store(QueueSize);
        FPackageSize.store(PackageSize);
        _ResetLocked();
    }
    delete rq;
    delete wq;
    fresh.Free();
    if (FWakeEvent && FActive.load())
        SetEvent(FWakeEvent);
}

void TCommPackage::fSetPkgType(TCommPackageType Value)
{
    {
        std::lock_guard<std::mutex> g(FLock);
        FPackageType.store(Value);
        if (FActive.load())
            _ResetLocked();
    }
    if (FWakeEvent && FActive.load())
        SetEvent(FWakeEvent);
}

void TCommPackage::fSetPkgInterval(unsigned long Value)
{
    FPackageInterval.store(Value);
    if (FWakeEvent)
        SetEvent(FWakeEvent);
}

void TCommPackage::fSetPkgHold(unsigned long Value)
{
    FPackageHold.store(Value);
    if (FWakeEvent)
        SetEvent(FWakeEvent);
}

void TCommPackage::fSetDblFrameMark(bool Value) { FDoubleFrameMark.store(Value); }

TCommPackageEndEvent TCommPackage::OnPackageEnd() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FPackageEnd;
}

void TCommPackage::fSetPkgEnd(TCommPackageEndEvent Value)
{
    // Swapped under the lock so the old test is destroyed outside it.
    {
        std::lock_guard<std::mutex> g(FLock);
        std::swap(FPackageEnd, Value);
    }
    // Without a test the timer polls, with one it sleeps to a deadline:
    // either way it must look again now.
    if (FWakeEvent)
        SetEvent(FWakeEvent);
}

std::int64_t TCommPackage::LastPackageTime() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FLastPackageTime;
}

void TCommPackage::CallNotify(int NotifyType)
{
    if (OnNotify)
        OnNotify(this, NotifyType);
}

// A throwing handler must not take down the thread that raised the event,
// nor cut the chain to the port's previous handler.
void TCommPackage::_SafeCallNotify(int NotifyType)
{
    try {
        CallNotify(NotifyType);
    } catch (...) {
    }
}

void TCommPackage::fNewCommNotify(TObject* Sender, int NotifyType)
{
    if (FActive.load()) {
        int mask = NotifyType & ~(EV_RXCHAR | EV_TXEMPTY);
        unsigned long ended = 0; // packages the end test closed just now
        bool wakeTimer = false;  // bytes left that end sooner than it sleeps
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FActive.load()) {
                if ((NotifyType & EV_RXCHAR) && FPackageType.load() != cptFrameTimeout) {
                    _ReadHeadTailPackage();
                    if (FReadQueue->Count() > 0)
                        mask |= EV_RXCHAR;
                } else if ((NotifyType & EV_RXCHAR) && FPackageEnd) {
                    if (_ReadTimeoutPackage(ended))
                        FRxSincePoll = true;
                    if (FRecvAwaits > 1) // set only with bytes waiting (cpeWaitFor)
                        FComm->ExpectRx(FRecvAwaits);
                    // Only an earlier deadline is news to the timer: later
                    // bytes of the same kind only push the silence back,
                    // which it finds when it wakes.
                    const std::int64_t due = _SilenceEndLocked();
                    wakeTimer = due != 0 && (FTimerDue == 0 || due < FTimerDue);
                    if (wakeTimer)
                        FTimerDue = due;
                }
                if (NotifyType & EV_TXEMPTY) {
                    _WritePackage();
                    if (FWriteQueue->Count() == 0)
                        mask |= EV_TXEMPTY;
                }
            }
        }
        if (wakeTimer && FWakeEvent)
            SetEvent(FWakeEvent);
        // Each package the end test closed is announced on its own, with 1
        // alone, as the timer announces the packages it closes.
        for (unsigned long i = 0; i < ended; ++i)
            _SafeCallNotify(EV_RXCHAR);
        if (mask != 0)
            _SafeCallNotify(mask);
    }
    if (FPrevCommNotify)
        FPrevCommNotify(Sender, NotifyType);
}

// Wire form: [head] head {ctrl? byte} [tail] tail.
void TCommPackage::_EncodePackage(TCommPackageHead* Dst, TCommPackageHead* Src)
{
    const std::uint8_t head = FrameHead.load(std::memory_order_relaxed);
    const std::uint8_t tail = FrameTail.load(std::memory_order_relaxed);
    const std::uint8_t ctrl = FrameCtrl.load(std::memory_order_relaxed);
    const bool twice = FDoubleFrameMark.load(std::memory_order_relaxed);
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<unsigned long>(Src->Length, FPackageSize.load()));
    std::uint8_t* d = Dst->Data;
    if (twice)
        *d++ = head;
    *d++ = head;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint8_t b = Src->Data[i];
        if (b == head || b == tail || b == ctrl)
            *d++ = ctrl;
        *d++ = b;
    }
    if (twice)
        *d++ = tail;
    *d++ = tail;
    Dst->Length = static_cast<std::uint32_t>(d - Dst->Data);
}

void TCommPackage::_ReadHeadTailPackage()
{
    if (!FComm)
        return;
    const unsigned long limit = FPackageSize.load();
    TCommPackageHead* recv = FBuf.Recv;
    for (;;) {
        long got = FComm->Read(FBuf.Scratch, kChunk);
        if (got <= 0)
            break;
        for (long i = 0; i < got; ++i) {
            const std::uint8_t b = FBuf.Scratch[i];
            // Marks are read per byte: a change applies from the next byte.
            const std::uint8_t head = FrameHead.load(std::memory_order_relaxed);
            const std::uint8_t tail = FrameTail.load(std::memory_order_relaxed);
            const std::uint8_t ctrl = FrameCtrl.load(std::memory_order_relaxed);
            if (!FCtrlPending && b == head) {
                recv->Length = 0;
                FInFrame = true;
            } else if (FInFrame && FCtrlPending) {
                if (recv->Length < limit)
                    recv->Data[recv->Length++] = b;
                FCtrlPending = false;
            } else if (FInFrame) {
                if (b == ctrl) {
                    FCtrlPending = true;
                } else if (b == tail) {
                    FReadQueue->In(recv); // a full queue loses the package
                    recv->Length = 0;
                    FInFrame = false;
                } else if (recv->Length < limit) {
                    recv->Data[recv->Length++] = b;
                }
            } else if (FCtrlPending) {
                FCtrlPending = false;
            } else if (b == ctrl) {
                FCtrlPending = true;
            }
        }
    }
}

// Drains the port into the receive buffer, cut to the room left below
// PackageSize. With an end test, every byte appended is a chance for the
// package to be whole; each whole one is queued at once and the bytes after
// it start the next. Ended counts the packages queued; the result tells
// whether the port had bytes at all.
bool TCommPackage::_ReadTimeoutPackage(unsigned long& Ended)
{
    Ended = 0;
    if (!FComm)
        return false;
    bool any = false;
    const unsigned long limit = FPackageSize.load();
    TCommPackageHead* recv = FBuf.Recv;
    for (;;) {
        long got = FComm->Read(FBuf.Scratch, kChunk);
        if (got <= 0)
            break;
        any = true;
        // Bytes are stamped when the reader queued them, not when a poll
        // got round to them; a port that keeps no time is read as now.
        const std::int64_t when = FComm->LastRxTime();
        FRecvTime = when != 0 ? when : TComm32::RxTimeNow();
        if (!FPackageEnd) {
            unsigned long room = limit > recv->Length ? limit - recv->Length : 0;
            unsigned long take = std::min<unsigned long>(room, static_cast<unsigned long>(got));
            if (take > 0) {
                std::memcpy(recv->Data + recv->Length, FBuf.Scratch, take);
                recv->Length += static_cast<std::uint32_t>(take);
            }
            continue;
        }
        for (long i = 0; i < got; ++i) {
            if (recv->Length >= limit)
                continue; // dropped, as without a test
            recv->Data[recv->Length++] = FBuf.Scratch[i];
            int end = FPackageEnd(this, recv->Data, recv->Length);
            FRecvAwaits = 0;
            if (end >= cpeWaitMore) {
                FRecvAwaits = static_cast<unsigned long>(end - cpeWaitMore);
                end = cpeWait;
            }
            FRecvWaits = end == cpeWait;
            if (end == cpeYes) {
                _QueueReceived();
                ++Ended;
            }
        }
    }
    return any;
}

// When the silence after the receive buffer's last byte ends it, with an
// end test: the pause, or the hold while the test waits for the rest; 0 for
// an empty buffer.
std::int64_t TCommPackage::_SilenceEndLocked() const
{
    if (FBuf.Recv->Length == 0)
        return 0;
    const unsigned long interval = FPackageInterval.load();
    const unsigned long ms = FRecvWaits ? std::max(FPackageHold.load(), interval) : interval;
    return FRecvTime + static_cast<std::int64_t>(ms) * 1'000'000;
}

// Moves the receive buffer into the read queue (a full queue loses it) with
// its read time, and starts an empty one.
void TCommPackage::_QueueReceived()
{
    const unsigned long slot = FReadQueue->InIndex();
    if (FReadQueue->In(FBuf.Recv) && slot < FReadTimes.size())
        FReadTimes[slot] = FRecvTime;
    FBuf.Recv->Length = 0;
    FRecvWaits = false;
    FRecvAwaits = 0;
}

void TCommPackage::_WritePackage()
{
    if (!FComm)
        return;
    TCommPackageHead* send = FBuf.Send;
    if (FSendOffset < send->Length) {
        long n = FComm->Write(send->Data + FSendOffset, static_cast<long>(send->Length - FSendOffset));
        if (n > 0)
            FSendOffset += static_cast<unsigned long>(n);
        return;
    }
    if (FWriteQueue->Count() == 0)
        return;
    if (FPackageType.load() == cptFrameTimeout) {
        FWriteQueue->Out(send);
        send->Length = static_cast<std::uint32_t>(std::min<unsigned long>(send->Length, FPackageSize.load()));
    } else {
        FWriteQueue->Out(FBuf.Stage);
        _EncodePackage(send, FBuf.Stage);
    }
    long n = send->Length > 0 ? FComm->Write(send->Data, static_cast<long>(send->Length)) : 0;
    FSendOffset = n > 0 ? static_cast<unsigned long>(n) : 0;
}

unsigned long TCommPackage::ReadPackage(void* Buffer, unsigned long Size)
{
    if (!FActive.load())
        return 0;
    std::lock_guard<std::mutex> g(FLock);
    if (!FActive.load())
        return 0;
    const unsigned long slot = FReadQueue->OutIndex();
    const std::int64_t when = slot < FReadTimes.size() ? FReadTimes[slot] : 0;
    if (FPackageType.load() == cptCompatiblePkg) {
        if (!Buffer || !FReadQueue->Out(Buffer))
            return 0;
        FLastPackageTime = when;
        return 1;
    }
    // The stage buffer is only used under the lock, so it serves as the
    // temporary record here as well.
    TCommPackageHead* tmp = FBuf.Stage;
    if (Size == 0 || !Buffer)
        return FReadQueue->Read(tmp, 0) ? tmp->Length : 0;
    if (!FReadQueue->Out(tmp))
        return 0;
    FLastPackageTime = when;
    unsigned long n = std::min<unsigned long>(Size, tmp->Length);
    std::memcpy(Buffer, tmp->Data, n);
    return n;
}

unsigned long TCommPackage::WritePackage(const void* Buffer, unsigned long Size)
{
    if (!FActive.load())
        return 0;
    std::lock_guard<std::mutex> g(FLock);
    if (!FActive.load())
        return 0;
    if (FPackageType.load() == cptCompatiblePkg) {
        if (!Buffer || !FWriteQueue->In(Buffer))
            return 0;
        _WritePackage();
        return 1;
    }
    if (Size == 0 || !Buffer)
        return 0;
    // The scratch chunk holds the record: the sender below needs the stage
    // buffer for itself.
    unsigned long n = std::min<unsigned long>(Size, FPackageSize.load());
    TCommPackageHead* tmp = reinterpret_cast<TCommPackageHead*>(FBuf.Scratch);
    tmp->Length = static_cast<std::uint32_t>(n);
    std::memcpy(tmp->Data, Buffer, n);
    if (!FWriteQueue->In(tmp))
        return 0;
    _WritePackage();
    return n;
}

void TCommPackage::PurgeRead()
{
    if (!FActive.load() || !FComm)
        return;
    FComm->PurgeRead(false);
    std::lock_guard<std::mutex> g(FLock);
    FReadQueue->Clear();
}

void TCommPackage::PurgeWrite()
{
    if (!FActive.load() || !FComm)
        return;
    {
        std::lock_guard<std::mutex> g(FLock);
        FWriteQueue->Clear();
    }
    FComm->PurgeWrite(false);
}

void TCommPackage::_fnTimerThread(void* Param)
{
    if (!Param)
        return;
    auto* self = static_cast<TCommPackage*>(Param);
    // Keep the join state alive past the object: once Done is set the
    // destructor may free everything else.
    std::shared_ptr<TTimerJoin> join = self->FTimerJoin;
    self->_TimerThread();
    {
        std::lock_guard<std::mutex> g(join->Lock);
        join->Done = true;
    }
    join->Cond.notify_all();
}

void TCommPackage::_TimerThread()
{
    FRunning.store(true);
    DWORD wait = INFINITE;
    bool toDeadline = false;
    while (FKeepRunning.load()) {
        DWORD r = FWakeEvent ? WaitForSingleObject(FWakeEvent, wait) : WAIT_FAILED;
        if (r == WAIT_FAILED) {
            // No event to be woken by: look again after a while. A deadline
            // may move closer meanwhile, so it is not slept to in one go.
            Sleep(wait == INFINITE || toDeadline ? std::min<DWORD>(wait, 20) : wait);
        }
        if (!FKeepRunning.load())
            break;
        wait = INFINITE;
        toDeadline = false;
        unsigned long notify = 0;
        {
            std::lock_guard<std::mutex> g(FLock);
            FTimerDue = 0;
            if (FActive.load() && FPackageType.load() == cptFrameTimeout) {
                // Bytes taken on a notification since the last poll are new
                // bytes too: the pause has not come yet.
                const bool any = _ReadTimeoutPackage(notify) || FRxSincePoll;
                FRxSincePoll = false;
                if (FPackageEnd) {
                    // The test closes whole packages as their bytes come, on
                    // the notification; what it leaves ends by a silence
                    // after the last byte: the pause, or the hold while the
                    // test still waits for the rest (a slow line, an adapter
                    // that delivers in bursts). Nothing to poll for until then.
                    toDeadline = true;
                    std::int64_t due = _SilenceEndLocked();
                    const std::int64_t now = TComm32::RxTimeNow();
                    if (due != 0 && now >= due) {
                        _QueueReceived();
                        ++notify;
                        due = 0;
                    }
                    FTimerDue = due;
                    if (due != 0) {
                        const std::int64_t ms = (due - now + 999'999) / 1'000'000;
                        wait = static_cast<DWORD>(std::clamp<std::int64_t>(ms, 1, INFINITE - 1));
                    }
                } else {
                    // Without a test the bytes are the timer's own: a poll
                    // that finds none new since the last one is the pause.
                    if (!any && FBuf.Recv->Length > 0) {
                        _QueueReceived();
                        ++notify;
                    }
                    // An interval of 0 would spin; poll at most once a millisecond.
                    wait = static_cast<DWORD>(std::clamp<unsigned long>(FPackageInterval.load(), 1, INFINITE - 1));
                }
            }
        }
        for (unsigned long i = 0; i < notify; ++i)
            _SafeCallNotify(1);
    }
    FRunning.store(false);
}

} // namespace KelvorComm32
