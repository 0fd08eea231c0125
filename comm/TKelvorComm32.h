#pragma once
// The serial library core: errors and their languages, the byte ring queue,
// the port list and the serial port with its reader and writer threads.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/rtl/Rtl.h"
#include "platform/win32/Win32.h"

namespace KelvorComm32 {

// Locale identifier that picks the language of the library's texts:
// 0x0804 simplified Chinese, 0x0404 traditional Chinese, anything else English.
class TComm32Language {
public:
    TComm32Language(); // from the calling thread's locale; 0 becomes 0x0409
    unsigned long LcId() const { return FLcId; }
    void fSetLcId(unsigned long Value) { FLcId = Value; }

private:
    unsigned long FLcId;
};

class EComm32Error : public Exception {
public:
    enum TErrorCode : std::int32_t {
        ecOutOfMemory = 1,
        ecInitReadBuf = 2,
        ecInitWriteBuf = 3,
        ecOpenPort = 4,
        ecSetCommMask = 5,
        ecSetupComm = 6,
        ecGetCommState = 7,
        ecSetCommState = 8,
        ecCreateReadEvent = 9,
        ecCreateWriteEvent = 10,
        ecCreateReadThread = 11,
        ecCreateWriteThread = 12,
        ecCloseReadThread = 13,
        ecCloseWriteThread = 14,
    };

    explicit EComm32Error(TErrorCode ErrorCode);
    EComm32Error(TErrorCode ErrorCode, UnicodeString PortName, DWORD SystemError = 0);

    TErrorCode ErrorCode;
    UnicodeString PortName;
    // GetLastError() of the system call that failed, 0 when none did.
    DWORD SystemError = 0;

    // Picks the table, prefix and fallback of the thread's language.
    class MessageStrings {
    public:
        explicit MessageStrings(UnicodeString PortName);
        UnicodeString Message(TErrorCode ErrorCode) const;

    private:
        struct TRow {
            std::int32_t Code;
            const char16_t* Text;
        };
        const TRow* FTable;
        const char16_t* FPrefixFormat;
        const char16_t* FFallback;
        UnicodeString FPortName;
        TComm32Language FLanguage;
    };
};

// Byte ring for one producer and one consumer; one byte always stays free.
class TCommQueue {
public:
    explicit TCommQueue(long BufSize);
    virtual ~TCommQueue();

    void Clear();
    bool fIsValid() const;
    long fGetCount() const;
    long fGetRemain() const;
    void fSetBufSize(long n);

    long BufSize() const;
    long Count() const { return fGetCount(); }
    long Remain() const { return fGetRemain(); }
    bool IsValid() const { return fIsValid(); }

    bool In(const char* c);
    long In(const char* src, long len);
    bool Out(char* c);
    long Out(char* dst, long len);

    TCommQueue(const TCommQueue&) = delete;
    TCommQueue& operator=(const TCommQueue&) = delete;

private:
    class TUse;
    class TReconfigure;

    std::atomic<long> FBufSize;
    std::atomic<long> FOut{0};
    std::atomic<long> FIn{0};
    std::atomic<char*> FBuf{nullptr};
    // Clear and resize may run on a third thread while a put and a take run;
    // the put and the take announce themselves here so that those two can wait.
    std::atomic<bool> FPutting{false};
    std::atomic<bool> FTaking{false};
    std::atomic<bool> FReconfiguring{false};
};

using TStringList = std::vector<UnicodeString>;

// The serial ports the system knows, and COM name <-> number.
class TCommSerialPortInfo {
public:
    TCommSerialPortInfo();
    virtual ~TCommSerialPortInfo();

    TStringList* PortList;

    void Refresh();
    void ListFromSystem();

    static int PortNo(const UnicodeString& Name);
    static UnicodeString PortName(int Number);
    static int PortListSortCompare(TStringList* List, int Index1, int Index2);

    TCommSerialPortInfo(const TCommSerialPortInfo&) = delete;
    TCommSerialPortInfo& operator=(const TCommSerialPortInfo&) = delete;
};

// One serial port: settings, open/close, queues, I/O threads, modem lines.
class TComm32 : public TObject {
public:
    enum TFlowControl : int { fcNone = 0, fcRtsCts = 3, fcXonXoff = 4, fcTranXonXoff = 5, fcRtsCtsXonXoff = 6 };

    static constexpr const char* Str_ResetModem = "ATZ\r";
    static constexpr const char* Fmt_InitModem = "ATE0&K%dS0=%d\r";

    TComm32();
    ~TComm32() override;

    // Virtual slots, in order.
    virtual long Read(void* Buffer, long Size);
    virtual long Write(const void* Buffer, long Size);
    virtual long Command(const char* Text);
    virtual void PurgeRead(bool Abort);
    virtual void PurgeWrite(bool Abort);
    virtual void ResetModem();
    virtual void InitModem();
    virtual bool EscapeCommFunction(unsigned long Func);
    virtual void Open();
    virtual void Close();
    virtual void CommNotify(int NotifyType);
    virtual void CommAfterOpen();
    virtual void CommBeforeClose();

    // Properties.
    int PortNo() const { return FPortNo; }
    void fSetPort(int n);
    UnicodeString PortName() const { return FPortName; }
    void fSetPortName(UnicodeString s);
    HANDLE Handle() const { return FHandle; }
    void fSetHandle(void* h);
    bool Active() const { return FActive.load(); }
    void fSetActive(bool Value);
    unsigned long fGetBaud() const;
    void fSetBaud(unsigned long Value);
    unsigned long Baud() const { return fGetBaud(); }
    unsigned char fGetParity() const;
    void fSetParity(unsigned char Value);
    unsigned char Parity() const { return fGetParity(); }
    unsigned char fGetByteSize() const;
    void fSetByteSize(unsigned char Value);
    unsigned char ByteSize() const { return fGetByteSize(); }
    unsigned char fGetStopBits() const;
    void fSetStopBits(unsigned char Value);
    unsigned char StopBits() const { return fGetStopBits(); }
    TFlowControl fGetFCtrl() const;
    void fSetFCtrl(TFlowControl Value);
    TFlowControl FlowControl() const { return fGetFCtrl(); }
    bool fGetDTR() const;
    void fSetDTR(bool Value);
    bool DTR() const { return fGetDTR(); }
    bool fGetRTS() const;
    void fSetRTS(bool Value);
    bool RTS() const { return fGetRTS(); }
    bool fGetCTS() const;
    bool fGetDSR() const;
    bool fGetRING() const;
    bool fGetRLSD() const;
    bool CTS() const { return fGetCTS(); }
    bool DSR() const { return fGetDSR(); }
    bool RING() const { return fGetRING(); }
    bool RLSD() const { return fGetRLSD(); }
    unsigned long ModemStatus() const { return FModemStatus.load(); }
    bool DataOnly() const { return FDataOnly.load(); }
    void fSetDataOnly(bool Value);
    unsigned char AutoAnswer() const { return FAutoAnswer; }
    void fSetAAns(unsigned char Value);
    long fGetInBufSize() const;
    void fSetInBufSize(long n);
    long InBufSize() const { return fGetInBufSize(); }
    long fGetOutBufSize() const;
    void fSetOutBufSize(long n);
    long OutBufSize() const { return fGetOutBufSize(); }
    // RS-485 direction control by the driver: RTS switches the line's
    // transmitter on while bytes go out (RTS_CONTROL_TOGGLE), whatever the
    // flow control says of RTS. RtsOnSend: RTS high while sending and low
    // after (true), or the reverse; the delays, in ms, from RTS switching on
    // to the first bit and from the last bit to RTS switching back. Windows
    // takes only the mode and leaves level and delays to the adapter's
    // driver. Each setter closes the port first, like the other line
    // settings.
    bool Rs485() const { return FRs485; }
    void fSetRs485(bool Value);
    bool RtsOnSend() const { return FRtsOnSend; }
    void fSetRtsOnSend(bool Value);
    unsigned long RtsDelayBefore() const { return FRtsDelayBefore; }
    void fSetRtsDelayBefore(unsigned long Value);
    unsigned long RtsDelayAfter() const { return FRtsDelayAfter; }
    void fSetRtsDelayAfter(unsigned long Value);
    long HwInSize() const { return FHwInSize; }
    long HwOutSize() const { return FHwOutSize; }
    void fSetHwInSize(long n);
    void fSetHwOutSize(long n);
    void fSetHwBufSize(long in, long out);
    TCommQueue* InQueue() const { return FInQueue; }
    TCommQueue* OutQueue() const { return FOutQueue; }
    // True while the port is open but its device has gone (an adapter
    // unplugged, the far end of a pseudo-terminal closed): the system no
    // longer reports even the line's state. Call from the thread that opens
    // and closes the port.
    bool DeviceLost() const;
    // When the reader last put bytes into the input queue: steady-clock
    // nanoseconds (RxTimeNow's scale), 0 before the first byte.
    std::int64_t LastRxTime() const { return FRxTime.load(std::memory_order_acquire); }
    static std::int64_t RxTimeNow();
    // Called from within OnCommNotify by a handler that cannot use what it
    // has until at least Count more bytes have come: the reader thread then
    // lets them gather in the driver for the least time they take on the
    // line, instead of waking for each, and the last of them still wakes it
    // as it comes. Holds for the notification it is called in.
    void ExpectRx(unsigned long Count) { FRxExpected.store(Count, std::memory_order_relaxed); }

    // Read and written directly; the writer consults it on every Write.
    std::atomic<bool> DisableWrite{false};

    // Assigned directly while the port is closed. To change it while the
    // port's threads may call it, use SwapCommNotify.
    TCommNotifyEvent OnCommNotify;
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnBeforeClose;

    // Exchanges Handler with OnCommNotify once no other thread is inside
    // the handler, and keeps it from being entered meanwhile: a layer that
    // takes over the port's notifications, or gives them back, does it this
    // way while the port runs.
    void SwapCommNotify(TCommNotifyEvent& Handler);

    static void _ReadThread(void* Port);
    static void _WriteThread(void* Port);

    TComm32(const TComm32&) = delete;
    TComm32& operator=(const TComm32&) = delete;

private:
    // Everything one open session shares with its two threads: events,
    // overlapped records, buffers, flags. Released by its last holder, so a
    // thread that outlives Close never touches freed handles or memory.
    struct TIoSession;

    void _DetachHandle();
    void _SignalWriter();

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    DCB FDcb{};
    bool FHandleAttached = false;
    std::atomic<bool> FActive{false};
    bool FDtrState = true;
    bool FRtsState = true;
    std::atomic<bool> FDataOnly{false};
    bool FRs485 = false;
    bool FRtsOnSend = true;
    unsigned long FRtsDelayBefore = 0;
    unsigned long FRtsDelayAfter = 0;
    int FPortNo = 2;
    UnicodeString FPortName;
    long FHwInSize = 1200;
    long FHwOutSize = 1200;
    unsigned char FAutoAnswer = 0;
    TCommQueue* FInQueue = nullptr;
    TCommQueue* FOutQueue = nullptr;

    std::uintptr_t FReadThread = static_cast<std::uintptr_t>(-1);
    std::uintptr_t FWriteThread = static_cast<std::uintptr_t>(-1);
    std::atomic<TIoSession*> FSession{nullptr};
    // Threads started and not yet finished with this object (late ones included).
    std::atomic<int> FLiveThreads{0};
    // Callers of Write/Command inside their wake-up of the writer.
    std::atomic<int> FSignallers{0};
    // One producer at a time in the output queue (Write, Command).
    std::mutex FOutLock;
    // Threads inside OnCommNotify, for SwapCommNotify.
    std::mutex FNotifyLock;
    std::condition_variable FNotifyIdle;
    int FNotifyInside = 0;
    int FNotifySwapping = 0; // callers of SwapCommNotify waiting on FNotifyIdle
    std::atomic<unsigned long> FModemStatus{0};
    std::atomic<std::int64_t> FRxTime{0};
    std::atomic<unsigned long> FRxExpected{0};
};

} // namespace KelvorComm32
