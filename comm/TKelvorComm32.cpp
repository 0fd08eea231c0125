#include "comm/TKelvorComm32.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#ifndef _WIN32
#include "platform/win32/posix/Rs485.h"
#endif

namespace KelvorComm32 {

// ---------------------------------------------------------------------------
// Languages and error messages

TComm32Language::TComm32Language() : FLcId(GetThreadLocale())
{
    if (FLcId == 0)
        FLcId = 0x0409;
}

EComm32Error::MessageStrings::MessageStrings(UnicodeString PortName) : FPortName(std::move(PortName))
{
    static const TRow kMessagesChs[] = {
        {1, u"内存不够"},
        {2, u"不能初始化读缓存"},
        {3, u"不能初始化写缓存"},
        {4, u"不能打开串行口"},
        {5, u"不能设置串行口事件MASK"},
        {6, u"不能设置串行口缓存"},
        {7, u"不能得到串行口参数"},
        {8, u"不能设置串行口参数"},
        {9, u"不能创建串行口异步读事件"},
        {10, u"不能创建串行口异步写事件"},
        {11, u"不能创建串行口读线程"},
        {12, u"不能创建串行口写线程"},
        {13, u"不能关闭串行口读线程"},
        {14, u"不能关闭串行口写线程"},
        {0, nullptr},
    };

    static const TRow kMessagesCht[] = {
        {1, u"記憶體不夠"},
        {2, u"不能初始化讀緩存"},
        {3, u"不能初始化寫緩存"},
        {4, u"不能打開序列埠"},
        {5, u"不能設置序列埠事件MASK"},
        {6, u"不能設置序列埠緩存"},
        {7, u"不能得到序列埠參數"},
        {8, u"不能設置序列埠參數"},
        {9, u"不能創建序列埠非同步讀事件"},
        {10, u"不能創建序列埠非同步寫事件"},
        {11, u"不能創建序列埠讀執行緒"},
        {12, u"不能創建序列埠寫執行緒"},
        {13, u"不能關閉序列埠讀執行緒"},
        {14, u"不能關閉序列埠寫執行緒"},
        {0, nullptr},
    };

    static const TRow kMessagesEng[] = {
        {1, u"Out of memory"},
        {2, u"Cannot initialize read buffer"},
        {3, u"Cannot initialize write buffer"},
        {4, u"Cannot open COM port"},
        {5, u"Cannot set comm-mask"},
        {6, u"Cannot set COM port buffer size"},
        {7, u"Cannot read COM port parameters"},
        {8, u"Cannot set COM port parameters"},
        {9, u"Cannot create COM port asynchronize read event"},
        {10, u"Cannot create COM port asynchronize write event"},
        {11, u"Cannot create COM port read thread"},
        {12, u"Cannot create COM port write thread"},
        {13, u"Cannot close COM port read thread"},
        {14, u"Cannot close COM port write thread"},
        {0, nullptr},
    };

    switch (FLanguage.LcId()) {
    case 0x0804:
        FTable = kMessagesChs;
        FPrefixFormat = u"串行口:“%s”- ";
        FFallback = u"未知错误";
        break;
    case 0x0404:
        FTable = kMessagesCht;
        FPrefixFormat = u"序列埠:『%s』- ";
        FFallback = u"未知錯誤";
        break;
    default:
        FTable = kMessagesEng;
        FPrefixFormat = u"Serial port: \"%s\" - ";
        FFallback = u"Unknown error";
        break;
    }
}

UnicodeString EComm32Error::MessageStrings::Message(TErrorCode ErrorCode) const
{
    UnicodeString msg = FPortName.empty() ? UnicodeString() : Format(FPrefixFormat, {FPortName});
    for (const TRow* row = FTable; row->Text != nullptr; ++row)
        if (row->Code == ErrorCode)
            return msg + row->Text;
    return msg + FFallback;
}

EComm32Error::EComm32Error(TErrorCode ErrorCode) : EComm32Error(ErrorCode, UnicodeString()) {}

EComm32Error::EComm32Error(TErrorCode ErrorCode, UnicodeString PortName, DWORD SystemError)
    : Exception(MessageStrings(PortName).Message(ErrorCode)), ErrorCode(ErrorCode), PortName(std::move(PortName)),
      SystemError(SystemError)
{
}

// ---------------------------------------------------------------------------
// Byte ring queue
//
// Puts and takes stay lock-free against each other: each side owns one index,
// publishes it with a release store and reads the other with an acquire load.
// Clear and resize write both indices and the buffer, so they raise a flag and
// wait until neither side is inside; a put or take that sees the flag steps
// back and waits for the (short) reconfiguration to end. The side's flag and
// the reconfiguration flag are stored and then read sequentially consistent,
// so of two that meet, at least one sees the other. A put or take costs one
// extra atomic store, never a wait unless a clear or resize is under way.

class TCommQueue::TUse {
public:
    TUse(const TCommQueue& q, std::atomic<bool>& side) : FQ(q), FSide(side)
    {
        for (;;) {
            FSide.store(true, std::memory_order_seq_cst);
            if (!FQ.FReconfiguring.load(std::memory_order_seq_cst))
                return;
            FSide.store(false, std::memory_order_release);
            while (FQ.FReconfiguring.load(std::memory_order_acquire))
                std::this_thread::yield();
        }
    }
    ~TUse() { FSide.store(false, std::memory_order_release); }
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;

private:
    const TCommQueue& FQ;
    std::atomic<bool>& FSide;
};

class TCommQueue::TReconfigure {
public:
    explicit TReconfigure(TCommQueue& q) : FQ(q)
    {
        while (FQ.FReconfiguring.exchange(true, std::memory_order_seq_cst))
            std::this_thread::yield();
        while (FQ.FPutting.load(std::memory_order_seq_cst) || FQ.FTaking.load(std::memory_order_seq_cst))
            std::this_thread::yield();
    }
    ~TReconfigure() { FQ.FReconfiguring.store(false, std::memory_order_release); }
    TReconfigure(const TReconfigure&) = delete;
    TReconfigure& operator=(const TReconfigure&) = delete;

private:
    TCommQueue& FQ;
};

TCommQueue::TCommQueue(long BufSize) : FBufSize(BufSize > 0 ? BufSize : 1)
{
    // A size of 0 or less has no usable modulus: the queue stays without a
    // buffer and keeps a modulus of 1 so Count and Remain stay defined.
    try {
        fSetBufSize(BufSize);
    } catch (...) {
        fSetBufSize(0);
    }
}

TCommQueue::~TCommQueue() { fSetBufSize(0); }

void TCommQueue::Clear()
{
    TReconfigure guard(*this);
    FIn.store(0, std::memory_order_relaxed);
    FOut.store(0, std::memory_order_relaxed);
}

bool TCommQueue::fIsValid() const { return FBuf.load(std::memory_order_acquire) != nullptr; }

long TCommQueue::BufSize() const { return FBufSize.load(std::memory_order_acquire); }

long TCommQueue::fGetCount() const
{
    const long size = FBufSize.load(std::memory_order_acquire);
    const long out = FOut.load(std::memory_order_acquire);
    const long in = FIn.load(std::memory_order_acquire);
    return ((in - out) % size + size) % size;
}

long TCommQueue::fGetRemain() const
{
    const long size = FBufSize.load(std::memory_order_acquire);
    const long in = FIn.load(std::memory_order_acquire);
    const long out = FOut.load(std::memory_order_acquire);
    return ((out - in + size - 1) % size + size) % size;
}

void TCommQueue::fSetBufSize(long n)
{
    TReconfigure guard(*this);
    FIn.store(0, std::memory_order_relaxed);
    FOut.store(0, std::memory_order_relaxed);
    char* buf = FBuf.load(std::memory_order_relaxed);
    if (n > 0) {
        void* p = std::realloc(buf, static_cast<std::size_t>(n));
        if (p == nullptr)
            throw EComm32Error(EComm32Error::ecOutOfMemory);
        FBuf.store(static_cast<char*>(p), std::memory_order_relaxed);
        FBufSize.store(n, std::memory_order_relaxed);
    } else {
        std::free(buf);
        FBuf.store(nullptr, std::memory_order_relaxed);
    }
}

bool TCommQueue::In(const char* c)
{
    if (c == nullptr)
        return false;
    return In(c, 1) == 1;
}

long TCommQueue::In(const char* src, long len)
{
    if (src == nullptr || len <= 0)
        return 0;
    TUse use(*this, FPutting);
    char* buf = FBuf.load(std::memory_order_relaxed);
    if (buf == nullptr)
        return 0;
    const long size = FBufSize.load(std::memory_order_relaxed);
    const long in = FIn.load(std::memory_order_relaxed);
    const long out = FOut.load(std::memory_order_acquire);
    const long remain = (out - in + size - 1) % size;
    const long n = std::min(remain, len);
    if (n <= 0)
        return 0;
    const long over = std::max(0L, in + n - size);
    std::memcpy(buf + in, src, static_cast<std::size_t>(n - over));
    if (over > 0)
        std::memcpy(buf, src + (n - over), static_cast<std::size_t>(over));
    FIn.store((in + n) % size, std::memory_order_release);
    return n;
}

bool TCommQueue::Out(char* c)
{
    if (c == nullptr)
        return false;
    return Out(c, 1) == 1;
}

long TCommQueue::Out(char* dst, long len)
{
    if (dst == nullptr || len <= 0)
        return 0;
    TUse use(*this, FTaking);
    const char* buf = FBuf.load(std::memory_order_relaxed);
    if (buf == nullptr)
        return 0;
    const long size = FBufSize.load(std::memory_order_relaxed);
    const long out = FOut.load(std::memory_order_relaxed);
    const long in = FIn.load(std::memory_order_acquire);
    const long count = (in - out + size) % size;
    const long n = std::min(count, len);
    if (n <= 0)
        return 0;
    const long over = std::max(0L, out + n - size);
    std::memcpy(dst, buf + out, static_cast<std::size_t>(n - over));
    if (over > 0)
        std::memcpy(dst + (n - over), buf, static_cast<std::size_t>(over));
    FOut.store((out + n) % size, std::memory_order_release);
    return n;
}

// ---------------------------------------------------------------------------
// Serial port list

TCommSerialPortInfo::TCommSerialPortInfo() : PortList(new TStringList())
{
    Refresh();
}

TCommSerialPortInfo::~TCommSerialPortInfo() { delete PortList; }

void TCommSerialPortInfo::Refresh()
{
    PortList->clear();
    ListFromSystem();
    if (PortList->empty())
        for (int i = 1; i <= 4; ++i)
            PortList->push_back(PortName(i));
}

void TCommSerialPortInfo::ListFromSystem()
{
    HKEY key = nullptr;
    static const char16_t kKeyName[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(kKeyName), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    struct TKeyCloser {
        HKEY Key;
        ~TKeyCloser() { RegCloseKey(Key); }
    } closer{key};

    PortList->clear();
    for (DWORD index = 0; index < 0x7FFF; ++index) {
        WCHAR name[256];
        // One spare character so that data filling all 512 bytes still ends.
        WCHAR data[256 + 1] = {};
        DWORD nameLen = 256;
        DWORD dataLen = 512;
        if (RegEnumValueW(key, index, name, &nameLen, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &dataLen) !=
            ERROR_SUCCESS)
            break;
        data[256] = 0;
        if (data[0] != 0)
            PortList->push_back(UnicodeString(reinterpret_cast<const char16_t*>(data)));
    }

    std::vector<int> order(PortList->size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(),
                     [this](int a, int b) { return PortListSortCompare(PortList, a, b) < 0; });
    TStringList sorted;
    sorted.reserve(order.size());
    for (int i : order)
        sorted.push_back(std::move((*PortList)[static_cast<std::size_t>(i)]));
    PortList->swap(sorted);
}

int TCommSerialPortInfo::PortNo(const UnicodeString& Name)
{
    if (Name.empty())
        return 0;
    UnicodeString prefix = Name.substr(0, 3);
    for (auto& c : prefix)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - (u'a' - u'A'));
    if (prefix != u"COM")
        return 0;
    const UnicodeString rest = Name.size() > 3 ? Name.substr(3) : UnicodeString();

    // Integer rules of wcstol: blanks, one sign, decimal digits, saturation.
    std::size_t i = 0;
    while (i < rest.size() && (rest[i] == u' ' || (rest[i] >= u'\t' && rest[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < rest.size() && (rest[i] == u'+' || rest[i] == u'-')) {
        negative = rest[i] == u'-';
        ++i;
    }
    const std::size_t digitsStart = i;
    long long value = 0;
    constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
    for (; i < rest.size() && rest[i] >= u'0' && rest[i] <= u'9'; ++i)
        if (value <= kMax)
            value = value * 10 + (rest[i] - u'0');
    if (i == digitsStart || i != rest.size())
        return 0;
    if (negative)
        return 0;
    return static_cast<int>(std::min(value, kMax));
}

UnicodeString TCommSerialPortInfo::PortName(int Number)
{
    if (Number <= 0)
        return UnicodeString();
    return u"COM" + IntToStr(Number);
}

int TCommSerialPortInfo::PortListSortCompare(TStringList* List, int Index1, int Index2)
{
    const UnicodeString& s1 = (*List)[static_cast<std::size_t>(Index1)];
    const UnicodeString& s2 = (*List)[static_cast<std::size_t>(Index2)];
    const int n1 = PortNo(s1);
    const int n2 = PortNo(s2);
    if (n1 > 0 && n2 > 0)
        return n1 - n2;
    if (n1 != n2)
        return n2 - n1;
    const int c = s1.compare(s2);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Serial port: one open session

namespace {

constexpr unsigned kHolderPort = 1;
constexpr unsigned kHolderReader = 2;
constexpr unsigned kHolderWriter = 4;

constexpr DWORD kMaskFull = 0x05BF;
constexpr DWORD kMaskDataOnly = 0x0085;
constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kReadChunk = 2048;
constexpr long kWriteChunk = 512;
// A read that keeps failing is given up for this pass instead of spinning.
constexpr int kMaxReadFailures = 8;
// The longest the reader lets awaited bytes gather without looking, and the
// shortest rest worth a wake-up of its own.
constexpr std::int64_t kMaxRestMs = 20;
constexpr std::int64_t kMinRestMs = 2;
// How often a rest looks at the driver's count.
constexpr std::int64_t kRestLookMs = 10;
// Rests in a row that found more bytes than the line could carry in the
// time: the port is faster than its settings say (a virtual port that
// ignores the rate), and resting would only delay what it delivers. One
// alone may be a line that caught up after a stall.
constexpr int kFastRestsToStop = 2;

bool IsValidHandle(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }

// Pause after a pass that achieved nothing: 1 ms as usual, growing to 100 ms
// when a broken device makes every pass fail at once, so it costs no CPU.
DWORD IdleDelay(int idlePasses)
{
    if (idlePasses <= 10)
        return 1;
    const int shift = std::min(idlePasses - 10, 7);
    return std::min<DWORD>(DWORD(1) << shift, 100);
}

// The least time a character takes on the line, in ns: start bit, data,
// parity and one stop bit; 0 when the rate is unknown.
std::int64_t ShortestCharNs(const DCB& Dcb)
{
    if (Dcb.BaudRate == 0)
        return 0;
    const int data = std::clamp<int>(Dcb.ByteSize, 5, 8);
    const int bits = 1 + data + (Dcb.Parity != NOPARITY ? 1 : 0) + 1;
    return static_cast<std::int64_t>(bits) * 1'000'000'000 / static_cast<std::int64_t>(Dcb.BaudRate);
}

} // namespace

struct TComm32::TIoSession {
    TComm32* Port = nullptr;
    std::atomic<unsigned> Holders{kHolderPort};

    HANDLE Device = INVALID_HANDLE_VALUE;
    bool OwnsDevice = false;
    bool Attached = false;
    bool CtsFlow = false;
    bool DataOnly = false;
    std::int64_t CharNs = 0; // ShortestCharNs of the line as opened
    // Rests in a row that found more bytes than the line could carry in
    // their time, and whether there were kFastRestsToStop of them.
    int FastRests = 0;
    bool NoRests = false;

    std::atomic<bool> ReadKeepRunning{false};
    std::atomic<bool> WriteKeepRunning{false};
    HANDLE ReadStopEvent = nullptr;
    HANDLE WriteStopEvent = nullptr;
    HANDLE WriteRequestEvent = nullptr;
    OVERLAPPED ReadOs{};
    OVERLAPPED WriteOs{};

    // Reader: its WaitCommEvent record and mask, and its receive buffer. They
    // live here, not on the thread's stack, so a wait that completes late
    // never writes into a finished stack.
    OVERLAPPED WaitOs{};
    DWORD EvtMask = 0;
    char RecvBuf[kReadChunk];
    // Set by the writer when it has handed over the last chunk while a
    // transmit-empty is owed: the reader then looks again.
    std::atomic<HANDLE> TxKick{nullptr};

    // Writer: the chunk under way stays here until its write has ended.
    char Chunk[kWriteChunk];

    // Transmit state, guarded by TxLock; one small machine shared by the
    // writer, the reader and PurgeWrite.
    //   Idle     (ChunkLength 0) the writer holds no chunk.
    //   Sending  (ChunkLength > 0) a chunk taken from the output queue is
    //            being handed to the driver; Dropped marks one a purge
    //            threw away.
    //   Owed     a transmit-empty came (from the driver, or CTS rising) while
    //            the port still had bytes to hand over or the driver still
    //            held some; it is reported once everything has left.
    // Transitions:
    //   TakeChunk     writer  Idle -> Sending with up to 512 queued bytes.
    //   StartWrite    writer  issues the write of the rest of the chunk, or
    //                         tells that a purge dropped it.
    //   ChunkHanded   writer  Sending -> Idle once written or dropped; when
    //                         Owed and nothing is queued, the reader is asked
    //                         to look again.
    //   PurgeChunk    caller  Dropped, driver purged, queue cleared, all under
    //                         the lock: a chunk taken before the purge is
    //                         dropped, one taken after it never is.
    //   TxEmptyNow    reader  Idle, nothing queued and the driver's queue
    //                         empty: report and clear Owed; else set Owed.
    // The lock is never held while waiting for I/O to end.
    std::mutex TxLock;
    long ChunkLength = 0;
    bool ChunkDropped = false;
    bool TxOwed = false;

    ~TIoSession()
    {
        // The device goes first, which also ends anything still pending on it.
        if (OwnsDevice && IsValidHandle(Device))
            CloseHandle(Device);
        for (HANDLE h : {ReadOs.hEvent, ReadStopEvent, WriteRequestEvent, WriteOs.hEvent, WriteStopEvent,
                         TxKick.load()})
            if (h != nullptr)
                CloseHandle(h);
    }

    void Release(unsigned holder)
    {
        if (Holders.fetch_and(~holder, std::memory_order_acq_rel) == holder)
            delete this;
    }
    bool Holds(unsigned holder) const { return (Holders.load(std::memory_order_acquire) & holder) != 0; }

    void RunReader();
    void RunWriter();
    void ReadWaiting();
    bool RestForAwaitedBytes();
    void FinishPending(OVERLAPPED& os);

    enum class TStart { Done, Pending, Failed, Dropped };
    long TakeChunk();
    TStart StartWrite(long From, DWORD& Count);
    bool ChunkHanded();
    void PurgeChunk(DWORD Flags);
    bool TxEmptyNow();
    bool DriverDrained();
};

long TComm32::TIoSession::TakeChunk()
{
    std::lock_guard<std::mutex> g(TxLock);
    ChunkDropped = false;
    ChunkLength = Port->FOutQueue->Out(Chunk, kWriteChunk);
    return ChunkLength;
}

TComm32::TIoSession::TStart TComm32::TIoSession::StartWrite(long From, DWORD& Count)
{
    std::lock_guard<std::mutex> g(TxLock);
    if (ChunkDropped)
        return TStart::Dropped;
    if (WriteFile(Device, Chunk + From, static_cast<DWORD>(ChunkLength - From), &Count, &WriteOs))
        return TStart::Done;
    return GetLastError() == ERROR_IO_PENDING ? TStart::Pending : TStart::Failed;
}

bool TComm32::TIoSession::ChunkHanded()
{
    std::lock_guard<std::mutex> g(TxLock);
    ChunkLength = 0;
    ChunkDropped = false;
    return TxOwed && Port->FOutQueue->Count() == 0;
}

void TComm32::TIoSession::PurgeChunk(DWORD Flags)
{
    std::lock_guard<std::mutex> g(TxLock);
    ChunkDropped = ChunkLength > 0;
    PurgeComm(Device, Flags);
    Port->FOutQueue->Clear();
}

bool TComm32::TIoSession::TxEmptyNow()
{
    std::lock_guard<std::mutex> g(TxLock);
    // The driver is asked last, and only when nothing is left on our side.
    TxOwed = ChunkLength > 0 || Port->FOutQueue->Count() != 0 || !DriverDrained();
    return !TxOwed;
}

// A device that cannot tell counts as drained: its own event said so.
bool TComm32::TIoSession::DriverDrained()
{
    DWORD errors = 0;
    COMSTAT stat{};
    return !ClearCommError(Device, &errors, &stat) || stat.cbOutQue == 0;
}

// Waits for an overlapped operation of this thread that may still be pending,
// so that its record and buffer can go.
void TComm32::TIoSession::FinishPending(OVERLAPPED& os)
{
    DWORD n = 0;
    if (GetOverlappedResult(Device, &os, &n, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE)
        return;
    if (CancelIo(Device))
        GetOverlappedResult(Device, &os, &n, TRUE);
}

// Moves what the driver holds into the input queue. Only bytes the driver
// reported are asked for, so a read completes at once; one that goes pending
// asks for bytes that have gone since the count (a purge came in between).
// It is cancelled and ends the pass with what it got: waiting would hold the
// reader until that many new bytes came.
void TComm32::TIoSession::ReadWaiting()
{
    TComm32* port = Port;
    DWORD errors = 0;
    COMSTAT stat{};
    DWORD left = ClearCommError(Device, &errors, &stat) ? stat.cbInQue : 0;
    int failures = 0;
    while (left > 0 && failures < kMaxReadFailures) {
        DWORD got = 0;
        BOOL ok = ReadFile(Device, RecvBuf, std::min(left, kReadChunk), &got, &ReadOs);
        bool cut = false;
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            CancelIo(Device);
            ok = GetOverlappedResult(Device, &ReadOs, &got, TRUE) || GetLastError() == ERROR_OPERATION_ABORTED;
            cut = true;
        }
        if (ok && got > 0) {
            got = std::min(got, left);
            port->FInQueue->In(RecvBuf, static_cast<long>(got));
            port->FRxTime.store(RxTimeNow(), std::memory_order_release);
            left -= got;
            failures = 0;
        } else {
            ++failures;
        }
        if (cut) // what came after the count is read on its own notification
            left = 0;
    }
}

// After a receive notification whose handler said how many bytes it still
// awaits (ExpectRx): those cannot all be on the line before (n - 1)
// characters' time, less what the driver already holds, so the reader
// sleeps that long instead of waking for each byte. The last of them
// still wakes it as it comes. It looks at the driver's count every few
// milliseconds: more bytes than the line could have carried since the rest
// began end it. A transmit-empty owed meanwhile is still reported (the
// writer's kick ends the rest). False: the port is closing.
bool TComm32::TIoSession::RestForAwaitedBytes()
{
    const unsigned long awaited = Port->FRxExpected.exchange(0, std::memory_order_relaxed);
    if (awaited < 2 || CharNs <= 0 || NoRests)
        return true;
    DWORD errors = 0;
    COMSTAT stat{};
    const unsigned long held = ClearCommError(Device, &errors, &stat) ? stat.cbInQue : 0;
    if (held + 1 >= awaited)
        return true;
    const std::int64_t restMs = std::min<std::int64_t>(
        static_cast<std::int64_t>(awaited - held - 1) * CharNs / 1'000'000, kMaxRestMs);
    if (restMs < kMinRestMs)
        return true;
    const HANDLE kick = TxKick.load(std::memory_order_acquire);
    const HANDLE set[2] = {ReadStopEvent, kick};
    const std::int64_t start = RxTimeNow();
    for (std::int64_t slept = 0; slept < restMs;) {
        const std::int64_t look = std::min(restMs - slept, kRestLookMs);
        const DWORD r = WaitForMultipleObjects(kick ? 2 : 1, set, FALSE, static_cast<DWORD>(look));
        if (r == WAIT_OBJECT_0)
            return false;
        if (r == WAIT_OBJECT_0 + 1) {
            if (TxEmptyNow())
                Port->CommNotify(EV_TXEMPTY);
            return true;
        }
        if (r != WAIT_TIMEOUT || !ClearCommError(Device, &errors, &stat))
            return true;
        slept += look;
        // Against the time really slept, which a busy machine stretches: a
        // byte under way at each end, and one of slack.
        const auto carried = static_cast<unsigned long>((RxTimeNow() - start) / CharNs) + 3;
        if (stat.cbInQue > held + carried) {
            NoRests = ++FastRests >= kFastRestsToStop;
            return true;
        }
        if (stat.cbInQue >= awaited)
            break;
    }
    FastRests = 0;
    return true;
}

void TComm32::TIoSession::RunReader()
{
    TComm32* port = Port;
    WaitOs = OVERLAPPED{};
    WaitOs.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (WaitOs.hEvent == nullptr)
        return;
    TxKick.store(CreateEventW(nullptr, FALSE, FALSE, nullptr), std::memory_order_release);
    if (!SetCommMask(Device, DataOnly ? kMaskDataOnly : kMaskFull)) {
        CloseHandle(WaitOs.hEvent);
        WaitOs.hEvent = nullptr;
        return;
    }

    bool waitPending = false;
    int idlePasses = 0;
    while (ReadKeepRunning.load(std::memory_order_acquire)) {
        DWORD mask = 0;
        bool kicked = false;
        if (!waitPending) {
            EvtMask = 0;
            if (WaitCommEvent(Device, &EvtMask, &WaitOs))
                mask = EvtMask;
            else if (GetLastError() == ERROR_IO_PENDING)
                waitPending = true;
        }
        if (waitPending) {
            const HANDLE kick = TxKick.load(std::memory_order_acquire);
            const HANDLE set[3] = {ReadStopEvent, WaitOs.hEvent, kick};
            const DWORD r = WaitForMultipleObjects(kick ? 3 : 2, set, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0)
                break;
            if (r == WAIT_OBJECT_0 + 1) {
                waitPending = false;
                mask = EvtMask;
            } else if (r == WAIT_OBJECT_0 + 2) {
                kicked = true;
            }
        }
        if (!ReadKeepRunning.load(std::memory_order_acquire))
            break;

        bool progress = false;
        if (mask & EV_RXCHAR) {
            ReadWaiting();
            progress = true;
        }
        if (mask & kLineEvents) {
            DWORD status = 0;
            if (GetCommModemStatus(Device, &status))
                port->FModemStatus.store(status, std::memory_order_release);
            if ((mask & EV_CTS) && !Attached && CtsFlow && (port->FModemStatus.load() & MS_CTS_ON))
                mask |= EV_TXEMPTY;
            progress = true;
        }
        // Decided before the writer is woken for the next chunk, so that the
        // two do not meet on the transmit lock.
        const bool lineFree = (mask & EV_TXEMPTY) && ((port->FModemStatus.load() & MS_CTS_ON) || !CtsFlow || Attached);
        if ((mask & EV_TXEMPTY) || kicked) {
            if (TxEmptyNow())
                mask |= EV_TXEMPTY;
            else
                mask &= ~static_cast<DWORD>(EV_TXEMPTY);
        }
        // The writer takes its next chunk on this wake-up; with nothing
        // queued it would wake for nothing, and a Write wakes it anyway.
        if (lineFree) {
            if (port->FOutQueue->Count() != 0)
                SetEvent(WriteRequestEvent);
            progress = true;
        }
        if (mask & EV_ERR) {
            DWORD errors = 0;
            COMSTAT stat{};
            ClearCommError(Device, &errors, &stat);
        }
        if ((mask & ~static_cast<DWORD>(EV_ERR | EV_RXCHAR)) != 0)
            progress = true;

        if (mask != 0)
            port->CommNotify(static_cast<int>(mask));
        if ((mask & EV_RXCHAR) && !RestForAwaitedBytes())
            break;
        idlePasses = progress ? 0 : idlePasses + 1;
        if (mask == 0 || idlePasses > 10)
            WaitForSingleObject(ReadStopEvent, IdleDelay(idlePasses));
    }

    // A mask change ends a pending wait at once, as Windows documents;
    // CancelIo alone does not end it everywhere (Wine's waits ignore it).
    if (waitPending) {
        SetCommMask(Device, EV_RXFLAG);
        FinishPending(WaitOs);
    }
    CloseHandle(WaitOs.hEvent);
    WaitOs.hEvent = nullptr;
}

// Pacing: a chunk is taken when the writer is woken with none under way;
// once it is handed over the writer waits for the next wake (a Write, or the
// reader on transmit-empty), so a long block leaves chunk by chunk as the
// line drains.
void TComm32::TIoSession::RunWriter()
{
    long length = 0;
    long written = 0;
    bool writePending = false;
    int failures = 0;
    const HANDLE requestSet[2] = {WriteStopEvent, WriteRequestEvent};
    const HANDLE completionSet[2] = {WriteStopEvent, WriteOs.hEvent};

    while (WriteKeepRunning.load(std::memory_order_acquire)) {
        const DWORD r = WaitForMultipleObjects(2, requestSet, FALSE, INFINITE);
        if (!WriteKeepRunning.load(std::memory_order_acquire) || r == WAIT_OBJECT_0)
            break;
        if (r == WAIT_FAILED) {
            WaitForSingleObject(WriteStopEvent, IdleDelay(++failures));
            continue;
        }
        ResetEvent(WriteRequestEvent);

        if (length == 0) {
            written = 0;
            length = TakeChunk();
            if (length > 0)
                SetEvent(WriteRequestEvent);
            continue;
        }
        DWORD n = 0;
        bool ok = false;
        const TStart start = StartWrite(written, n);
        if (start == TStart::Done) {
            ok = true;
        } else if (start == TStart::Pending) {
            writePending = true;
            const DWORD w = WaitForMultipleObjects(2, completionSet, FALSE, INFINITE);
            if (!WriteKeepRunning.load(std::memory_order_acquire) || w == WAIT_OBJECT_0)
                break;
            writePending = false;
            ok = GetOverlappedResult(Device, &WriteOs, &n, FALSE);
        }
        // What a failed (say, aborted) write did transfer has gone too;
        // offering it again would send it twice.
        written += std::min<long>(static_cast<long>(n), length - written);
        failures = ok || start == TStart::Dropped ? 0 : failures + 1;
        if (start == TStart::Dropped || written >= length) {
            length = 0;
            if (ChunkHanded())
                if (HANDLE kick = TxKick.load(std::memory_order_acquire))
                    SetEvent(kick);
        }
        // A dropped chunk sent nothing, so no transmit-empty will pace the
        // next one: take it on the next pass.
        if (length > 0 || start == TStart::Dropped)
            SetEvent(WriteRequestEvent);
        // A device that refuses every write is retried ever more slowly; the
        // rest of a chunk after a short pause. A chunk handed over whole
        // waits for the next wake-up: a pause would only cost one more.
        if (failures > 0)
            WaitForSingleObject(WriteStopEvent, IdleDelay(failures + 5));
        else if (length > 0)
            WaitForSingleObject(WriteStopEvent, 1);
    }

    if (writePending)
        FinishPending(WriteOs);
}

void TComm32::_ReadThread(void* Port)
{
    auto* session = static_cast<TIoSession*>(Port);
    TComm32* port = session->Port;
    session->RunReader();
    session->Release(kHolderReader);
    // Last touch of the port: its destructor waits for this.
    port->FLiveThreads.fetch_sub(1, std::memory_order_release);
}

void TComm32::_WriteThread(void* Port)
{
    auto* session = static_cast<TIoSession*>(Port);
    TComm32* port = session->Port;
    session->RunWriter();
    session->Release(kHolderWriter);
    port->FLiveThreads.fetch_sub(1, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Serial port

TComm32::TComm32() : FPortName(TCommSerialPortInfo::PortName(2))
{
    FDcb.DCBlength = sizeof(DCB);
    FDcb.BaudRate = 115200;
    FDcb.fBinary = 1;
    FDcb.fDtrControl = DTR_CONTROL_ENABLE;
    FDcb.fRtsControl = RTS_CONTROL_ENABLE;
    FDcb.XonLim = 2048;
    FDcb.XoffLim = 512;
    FDcb.ByteSize = 8;
    FDcb.Parity = NOPARITY;
    FDcb.StopBits = ONESTOPBIT;
    FDcb.XonChar = 0x11;
    FDcb.XoffChar = 0x13;
    FInQueue = new TCommQueue(8192);
    FOutQueue = new TCommQueue(8192);
}

TComm32::~TComm32()
{
    try {
        TComm32::Close();
    } catch (...) {
    }
    // A thread stuck in a handler must not come back to a freed port.
    while (FLiveThreads.load(std::memory_order_acquire) > 0)
        ::Sleep(5);
    delete FOutQueue;
    delete FInQueue;
}

bool TComm32::DeviceLost() const
{
    if (!FActive.load() || FHandle == INVALID_HANDLE_VALUE)
        return false;
    // Never refused on a port that is still there.
    DWORD errors = 0;
    COMSTAT stat{};
    return !ClearCommError(FHandle, &errors, &stat);
}

std::int64_t TComm32::RxTimeNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long TComm32::Read(void* Buffer, long Size) { return FInQueue->Out(static_cast<char*>(Buffer), Size); }

// The output queue takes one producer at a time: the package sender writes
// from the reader thread while the application writes or sends commands.
long TComm32::Write(const void* Buffer, long Size)
{
    if (DisableWrite.load())
        return 0;
    long n;
    {
        std::lock_guard<std::mutex> g(FOutLock);
        n = FOutQueue->In(static_cast<const char*>(Buffer), Size);
    }
    _SignalWriter();
    return n;
}

long TComm32::Command(const char* Text)
{
    long n = 0;
    if (Text) {
        std::lock_guard<std::mutex> g(FOutLock);
        n = FOutQueue->In(Text, static_cast<long>(std::strlen(Text)));
    }
    _SignalWriter();
    return n;
}

// Write and Command may run on another thread (the package sender runs on the
// reader) while Close lets the session go; Close waits for this count to drop.
void TComm32::_SignalWriter()
{
    FSignallers.fetch_add(1, std::memory_order_seq_cst);
    if (TIoSession* s = FSession.load(std::memory_order_seq_cst))
        if (s->WriteRequestEvent != nullptr)
            SetEvent(s->WriteRequestEvent);
    FSignallers.fetch_sub(1, std::memory_order_release);
}

void TComm32::PurgeRead(bool Abort)
{
    if (!Active())
        return;
    PurgeComm(FHandle, PURGE_RXCLEAR | (Abort ? PURGE_RXABORT : 0));
    FInQueue->Clear();
}

void TComm32::PurgeWrite(bool Abort)
{
    if (!Active())
        return;
    // The chunk in the writer's hands is part of what is purged.
    const DWORD flags = PURGE_TXCLEAR | (Abort ? PURGE_TXABORT : 0);
    if (TIoSession* s = FSession.load()) {
        s->PurgeChunk(flags);
        return;
    }
    PurgeComm(FHandle, flags);
    FOutQueue->Clear();
}

void TComm32::ResetModem() { Command(Str_ResetModem); }

void TComm32::InitModem()
{
    char text[64];
    std::snprintf(text, sizeof text, Fmt_InitModem, static_cast<int>(fGetFCtrl()), static_cast<int>(FAutoAnswer));
    Command(text);
}

bool TComm32::EscapeCommFunction(unsigned long Func)
{
    if (!Active())
        return false;
    if (!::EscapeCommFunction(FHandle, static_cast<DWORD>(Func)))
        return false;
    switch (Func) {
    case SETRTS: FRtsState = true; break;
    case CLRRTS: FRtsState = false; break;
    case SETDTR: FDtrState = true; break;
    case CLRDTR: FDtrState = false; break;
    default: break;
    }
    return true;
}

void TComm32::Open()
{
    if (Active())
        return;
    auto code = static_cast<EComm32Error::TErrorCode>(0);
    auto* session = new TIoSession();
    session->Port = this;
    session->Attached = FHandleAttached;

    if (!FInQueue->IsValid())
        code = EComm32Error::ecInitReadBuf;
    else if (!FOutQueue->IsValid())
        code = EComm32Error::ecInitWriteBuf;

    if (code == 0 && !FHandleAttached) {
        const UnicodeString device = u"\\\\.\\" + FPortName;
        FHandle = CreateFileW(reinterpret_cast<LPCWSTR>(device.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE)
            code = EComm32Error::ecOpenPort;
        else
            session->OwnsDevice = true;
    }
    session->Device = FHandle;

    if (code == 0 && !SetCommMask(FHandle, EV_RXFLAG))
        code = EComm32Error::ecSetCommMask;
    if (code == 0 && !FHandleAttached && !SetupComm(FHandle, static_cast<DWORD>(FHwInSize), static_cast<DWORD>(FHwOutSize)))
        code = EComm32Error::ecSetupComm;

    if (code == 0) {
        if (FHandleAttached) {
            DCB dcb{};
            dcb.DCBlength = sizeof(DCB);
            if (!GetCommState(FHandle, &dcb)) {
                code = EComm32Error::ecGetCommState;
            } else {
                dcb.fAbortOnError = 0;
                if (!SetCommState(FHandle, &dcb))
                    code = EComm32Error::ecSetCommState;
            }
            session->CtsFlow = dcb.fOutxCtsFlow != 0;
            session->CharNs = ShortestCharNs(dcb);
        } else {
            if (FDcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
                FDcb.fDtrControl = FDtrState ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            if (FDcb.fRtsControl != RTS_CONTROL_HANDSHAKE && FDcb.fRtsControl != RTS_CONTROL_TOGGLE)
                FDcb.fRtsControl = FRtsState ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            DCB dcb = FDcb;
            if (FRs485) {
                // RTS is the driver's, for the direction; a two-wire bus has
                // no CTS to wait for either.
                dcb.fRtsControl = RTS_CONTROL_TOGGLE;
                dcb.fOutxCtsFlow = 0;
#ifndef _WIN32
                const win32posix::Rs485Options options{FRtsOnSend, static_cast<DWORD>(FRtsDelayBefore),
                                                       static_cast<DWORD>(FRtsDelayAfter)};
                if (!win32posix::SetRs485Options(FHandle, options))
                    code = EComm32Error::ecSetCommState;
#endif
            }
            if (code == 0 && !SetCommState(FHandle, &dcb))
                code = EComm32Error::ecSetCommState;
            session->CtsFlow = dcb.fOutxCtsFlow != 0;
            session->CharNs = ShortestCharNs(dcb);
        }
    }
    session->DataOnly = FDataOnly.load();

    if (code == 0) {
        session->ReadOs = OVERLAPPED{};
        session->ReadOs.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        session->ReadStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (session->ReadOs.hEvent == nullptr || session->ReadStopEvent == nullptr)
            code = EComm32Error::ecCreateReadEvent;
    }
    if (code == 0) {
        session->WriteOs = OVERLAPPED{};
        session->WriteOs.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        session->WriteRequestEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        session->WriteStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (session->WriteOs.hEvent == nullptr || session->WriteRequestEvent == nullptr ||
            session->WriteStopEvent == nullptr)
            code = EComm32Error::ecCreateWriteEvent;
    }
    // Published only now that its events exist (or never will).
    FSession.store(session, std::memory_order_seq_cst);

    if (code == 0) {
        session->ReadKeepRunning.store(true);
        session->Holders.fetch_or(kHolderReader);
        FLiveThreads.fetch_add(1);
        FReadThread = _beginthread(_ReadThread, 4096, session);
        if (FReadThread == static_cast<std::uintptr_t>(-1)) {
            session->ReadKeepRunning.store(false);
            session->Holders.fetch_and(~kHolderReader);
            FLiveThreads.fetch_sub(1);
            code = EComm32Error::ecCreateReadThread;
        }
    }
    if (code == 0) {
        session->WriteKeepRunning.store(true);
        session->Holders.fetch_or(kHolderWriter);
        FLiveThreads.fetch_add(1);
        FWriteThread = _beginthread(_WriteThread, 4096, session);
        if (FWriteThread == static_cast<std::uintptr_t>(-1)) {
            session->WriteKeepRunning.store(false);
            session->Holders.fetch_and(~kHolderWriter);
            FLiveThreads.fetch_sub(1);
            code = EComm32Error::ecCreateWriteThread;
        }
    }

    if (code != 0) {
        // The failing call is the last one made before here (of an event
        // pair, one of the last two), so this is its cause: why the device
        // could not be opened or set up.
        const DWORD systemError = GetLastError();
        Close();
        throw EComm32Error(code, FPortName, systemError);
    }

    if (session->Holds(kHolderReader))
        SetThreadPriority(reinterpret_cast<HANDLE>(FReadThread), THREAD_PRIORITY_HIGHEST);
    FActive.store(true);
    DisableWrite.store(false);
    DWORD status = 0;
    if (GetCommModemStatus(FHandle, &status))
        FModemStatus.store(status);
    FDtrState = FDcb.fDtrControl != 0;
    FRtsState = FDcb.fRtsControl != 0;
    CommNotify(EV_CTS | EV_DSR | EV_RLSD);
    CommAfterOpen();
}

void TComm32::Close()
{
    const bool wasActive = Active();
    if (wasActive)
        CommBeforeClose();

    TIoSession* session = FSession.load();
    if (session) {
        session->ReadKeepRunning.store(false);
        session->WriteKeepRunning.store(false);
    }
    if (IsValidHandle(FHandle))
        SetCommMask(FHandle, EV_RXFLAG);
    auto code = static_cast<EComm32Error::TErrorCode>(0);
    if (session) {
        if (session->ReadStopEvent)
            SetEvent(session->ReadStopEvent);
        if (session->WriteStopEvent)
            SetEvent(session->WriteStopEvent);
        for (int i = 0; i < 100 && session->Holds(kHolderReader | kHolderWriter); ++i)
            ::Sleep(5);
        if (session->Holds(kHolderWriter))
            code = EComm32Error::ecCloseWriteThread;
        else if (session->Holds(kHolderReader))
            code = EComm32Error::ecCloseReadThread;
        // A late thread may have missed its stop signal; give it another one
        // so it ends once it returns to its wait, rather than never.
        if (code != 0) {
            if (session->ReadStopEvent)
                SetEvent(session->ReadStopEvent);
            if (session->WriteStopEvent)
                SetEvent(session->WriteStopEvent);
        }
    }
    FReadThread = static_cast<std::uintptr_t>(-1);
    FWriteThread = static_cast<std::uintptr_t>(-1);

    if (session) {
        FSession.store(nullptr, std::memory_order_seq_cst);
        while (FSignallers.load(std::memory_order_seq_cst) != 0)
            std::this_thread::yield();
        // Frees the events and closes the device now, or, when a thread is
        // late, as soon as that thread lets go.
        session->Release(kHolderPort);
    }
    if (!FHandleAttached)
        FHandle = INVALID_HANDLE_VALUE;

    FDtrState = FDcb.fDtrControl != 0;
    FRtsState = FDcb.fRtsControl != 0;
    if (wasActive) {
        FActive.store(false);
        FModemStatus.store(0);
        CommNotify(EV_CTS | EV_DSR | EV_RLSD);
    }
    if (code != 0)
        throw EComm32Error(code, FPortName);
}

namespace {

// The notifications under way on this thread, innermost first: a handler
// that replaces its own port's handler must not wait for itself.
struct TNotifyFrame {
    const TComm32* Port;
    const TNotifyFrame* Outer;
};
thread_local const TNotifyFrame* tNotifyFrames = nullptr;

int NotifyFramesOf(const TComm32* Port)
{
    int n = 0;
    for (const TNotifyFrame* f = tNotifyFrames; f != nullptr; f = f->Outer)
        n += f->Port == Port;
    return n;
}

} // namespace

// Threads inside the handler are counted, so that SwapCommNotify can wait
// for them; a swap keeps the handler from being entered while it runs.
void TComm32::CommNotify(int NotifyType)
{
    {
        std::lock_guard<std::mutex> g(FNotifyLock);
        ++FNotifyInside;
    }
    TNotifyFrame frame{this, tNotifyFrames};
    tNotifyFrames = &frame;
    try {
        if (OnCommNotify)
            OnCommNotify(this, NotifyType);
    } catch (...) {
    }
    tNotifyFrames = frame.Outer;
    std::lock_guard<std::mutex> g(FNotifyLock);
    --FNotifyInside;
    // A swap from inside a handler waits for the others only, so every
    // departure may be the one it waits for, not just the last.
    if (FNotifySwapping > 0)
        FNotifyIdle.notify_all();
}

void TComm32::SwapCommNotify(TCommNotifyEvent& Handler)
{
    std::unique_lock<std::mutex> g(FNotifyLock);
    const int own = NotifyFramesOf(this);
    ++FNotifySwapping;
    FNotifyIdle.wait(g, [&] { return FNotifyInside <= own; });
    --FNotifySwapping;
    std::swap(OnCommNotify, Handler);
}

void TComm32::CommAfterOpen()
{
    if (!OnAfterOpen)
        return;
    try {
        OnAfterOpen(this);
    } catch (...) {
    }
}

void TComm32::CommBeforeClose()
{
    if (!OnBeforeClose)
        return;
    try {
        OnBeforeClose(this);
    } catch (...) {
    }
}

// An attached handle belongs to whoever attached it: once the port stops
// using it, it must not keep it, or a later Close would close it.
void TComm32::_DetachHandle()
{
    if (FHandleAttached)
        FHandle = INVALID_HANDLE_VALUE;
    FHandleAttached = false;
}

void TComm32::fSetPort(int n)
{
    Close();
    FPortNo = n;
    if (n > 0)
        FPortName = TCommSerialPortInfo::PortName(n);
    _DetachHandle();
}

void TComm32::fSetPortName(UnicodeString s)
{
    if (s.empty())
        return;
    const int n = TCommSerialPortInfo::PortNo(s);
    Close();
    FPortNo = n;
    FPortName = n > 0 ? TCommSerialPortInfo::PortName(n) : s;
    _DetachHandle();
}

void TComm32::fSetHandle(void* h)
{
    Close();
    FPortNo = 0;
    FPortName.clear();
    FHandle = h;
    FHandleAttached = true;
}

void TComm32::fSetActive(bool Value)
{
    if (Value)
        Open();
    else
        Close();
}

unsigned long TComm32::fGetBaud() const { return FDcb.BaudRate; }

void TComm32::fSetBaud(unsigned long Value)
{
    Close();
    FDcb.BaudRate = static_cast<DWORD>(Value);
}

unsigned char TComm32::fGetParity() const { return FDcb.Parity; }

void TComm32::fSetParity(unsigned char Value)
{
    Close();
    FDcb.Parity = Value;
}

unsigned char TComm32::fGetByteSize() const { return FDcb.ByteSize; }

void TComm32::fSetByteSize(unsigned char Value)
{
    Close();
    FDcb.ByteSize = Value;
}

unsigned char TComm32::fGetStopBits() const { return FDcb.StopBits; }

void TComm32::fSetStopBits(unsigned char Value)
{
    Close();
    FDcb.StopBits = Value;
}

TComm32::TFlowControl TComm32::fGetFCtrl() const
{
    const bool cts = FDcb.fOutxCtsFlow != 0;
    const bool xon = FDcb.fOutX != 0;
    if (cts && xon)
        return fcRtsCtsXonXoff;
    if (cts)
        return fcRtsCts;
    if (xon)
        return fcXonXoff;
    return fcNone;
}

void TComm32::fSetFCtrl(TFlowControl Value)
{
    Close();
    FDcb.fDtrControl = DTR_CONTROL_ENABLE;
    FDcb.fOutxDsrFlow = 0;
    switch (static_cast<int>(Value)) {
    case fcRtsCts:
        FDcb.fOutxCtsFlow = 1;
        FDcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        FDcb.fOutX = 0;
        FDcb.fInX = 0;
        break;
    case fcXonXoff:
    case fcTranXonXoff:
        FDcb.fOutxCtsFlow = 0;
        FDcb.fRtsControl = RTS_CONTROL_ENABLE;
        FDcb.fOutX = 1;
        FDcb.fInX = 1;
        break;
    case fcRtsCtsXonXoff:
        FDcb.fOutxCtsFlow = 1;
        FDcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        FDcb.fOutX = 1;
        FDcb.fInX = 1;
        break;
    default:
        FDcb.fOutxCtsFlow = 0;
        FDcb.fRtsControl = RTS_CONTROL_ENABLE;
        FDcb.fOutX = 0;
        FDcb.fInX = 0;
        break;
    }
}

bool TComm32::fGetDTR() const { return Active() && FDtrState; }

void TComm32::fSetDTR(bool Value)
{
    if (Active())
        EscapeCommFunction(Value ? SETDTR : CLRDTR);
    else
        FDtrState = Value;
}

bool TComm32::fGetRTS() const { return Active() && FRtsState; }

void TComm32::fSetRTS(bool Value)
{
    if (Active())
        EscapeCommFunction(Value ? SETRTS : CLRRTS);
    else
        FRtsState = Value;
}

bool TComm32::fGetCTS() const { return (FModemStatus.load() & MS_CTS_ON) != 0; }
bool TComm32::fGetDSR() const { return (FModemStatus.load() & MS_DSR_ON) != 0; }
bool TComm32::fGetRING() const { return (FModemStatus.load() & MS_RING_ON) != 0; }
bool TComm32::fGetRLSD() const { return (FModemStatus.load() & MS_RLSD_ON) != 0; }

void TComm32::fSetDataOnly(bool Value)
{
    Close();
    FDataOnly.store(Value);
}

void TComm32::fSetAAns(unsigned char Value) { FAutoAnswer = Value; }

void TComm32::fSetRs485(bool Value)
{
    Close();
    FRs485 = Value;
}

void TComm32::fSetRtsOnSend(bool Value)
{
    Close();
    FRtsOnSend = Value;
}

void TComm32::fSetRtsDelayBefore(unsigned long Value)
{
    Close();
    FRtsDelayBefore = Value;
}

void TComm32::fSetRtsDelayAfter(unsigned long Value)
{
    Close();
    FRtsDelayAfter = Value;
}

long TComm32::fGetInBufSize() const { return FInQueue->BufSize(); }
void TComm32::fSetInBufSize(long n) { FInQueue->fSetBufSize(n); }
long TComm32::fGetOutBufSize() const { return FOutQueue->BufSize(); }
void TComm32::fSetOutBufSize(long n) { FOutQueue->fSetBufSize(n); }

void TComm32::fSetHwInSize(long n) { fSetHwBufSize(n, FHwOutSize); }
void TComm32::fSetHwOutSize(long n) { fSetHwBufSize(FHwInSize, n); }

void TComm32::fSetHwBufSize(long in, long out)
{
    Close();
    FHwInSize = in;
    FHwOutSize = out;
}

} // namespace KelvorComm32
