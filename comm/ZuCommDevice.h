#pragma once
// The device component: owns a port and its package layer, publishes their
// settings as properties and delivers their events on the UI thread.
#include <atomic>
#include <cstdint>
#include <utility>

#include "comm/TKelvorComm32.h"
#include "comm/TKelvorCommPkg.h"
#include "platform/toolkit/Component.h"

class TNotifyWindow;
struct TMessage;

namespace KelvorComm32 {

// Shows the package layer's frame marks as properties.
class TZuCommFrameSettings : public TObject {
public:
    explicit TZuCommFrameSettings(TCommPackage* Package);

    std::uint8_t FrameHead() const;
    void fSetFrameHead(std::uint8_t Value);
    std::uint8_t FrameTail() const;
    void fSetFrameTail(std::uint8_t Value);
    std::uint8_t FrameCtrl() const;
    void fSetFrameCtrl(std::uint8_t Value);
    bool DoubleFrameMark() const;
    void fSetDoubleFrameMark(bool Value);

    void SetValues(TZuCommFrameSettings* Src);

private:
    TCommPackage* FPackage;
};

// A handler field that other threads may ask whether it is set, without
// touching the handler itself (assigned on the UI thread).
class TCommNotifySlot {
public:
    template <class F>
    TCommNotifySlot& operator=(F&& Handler)
    {
        FHandler = std::forward<F>(Handler);
        FAssigned.store(static_cast<bool>(FHandler));
        return *this;
    }
    explicit operator bool() const { return static_cast<bool>(FHandler); }
    void operator()(TObject* Sender, int NotifyType) const { FHandler(Sender, NotifyType); }
    bool Assigned() const { return FAssigned.load(); }

private:
    TCommNotifyEvent FHandler;
    std::atomic<bool> FAssigned{false};
};

class TZuCustomCommDevice : public TComponent {
public:
    enum TBaudRate : int {
        br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200,
        br38400, br56000, br57600, br115200, br128000, br256000
    };
    enum TParity : int { ptNoParity, ptOddParity, ptEvenParity, ptMarkParity, ptSpaceParity };
    enum TStopBits : int { sbOneStopBit, sbOne_5_StopBits, sbTwoStopBit };
    enum TFlowControl : int { fcNone, fcRtsCts, fcXonXoff, fcTranXonXoff, fcRtsCtsXonXoff };
    // ModemStatus flags: bit 0 CTS, bit 1 DSR, bit 2 RING, bit 3 RLSD.
    enum TModemStatusFlag : std::uint8_t { msCTS = 1, msDSR = 2, msRING = 4, msRLSD = 8 };

    explicit TZuCustomCommDevice(TComponent* AOwner = nullptr);
    ~TZuCustomCommDevice() override;
    const char* ClassName() const override { return "TZuCustomCommDevice"; }

    // Virtual slots, in order.
    virtual long Read(void* Buffer, long Size);
    virtual long Write(const void* Buffer, long Size);
    virtual long Command(const char* Text);
    virtual bool ReadPackage(void* Package);
    virtual bool WritePackage(const void* Package);
    virtual unsigned long ReadPackage(void* Buffer, unsigned long Size);
    virtual unsigned long WritePackage(const void* Buffer, unsigned long Size);
    virtual void PurgeRead(bool Abort);
    virtual void PurgeWrite(bool Abort);
    virtual bool SettingsDialog(TComponent* AOwner, bool ActivateOnOK);
    virtual void ResetModem();
    virtual void InitModem();
    virtual bool EscapeCommFunction(unsigned long Func);
    virtual void EvCommNotify(TObject* Sender, int NotifyType);
    virtual void EvPackageNotify(TObject* Sender, int NotifyType);
    virtual void EvAfterOpen(TObject* Sender);
    virtual void EvBeforeClose(TObject* Sender);

    // Published properties.
    int fGetPort() const;
    void fSetPort(int Value);
    int PortNo() const { return fGetPort(); }
    UnicodeString PortName() const;
    void fSetPortName(const UnicodeString& Value);
    TBaudRate Baud() const;
    void fSetBaud(TBaudRate Value);
    TParity Parity() const;
    void fSetParity(TParity Value);
    int ByteSize() const;
    void fSetByteSize(int Value);
    TStopBits StopBits() const;
    void fSetStopBits(TStopBits Value);
    TFlowControl fGetFlCtrl() const;
    void fSetFlCtrl(TFlowControl Value);
    TFlowControl FlowControl() const { return fGetFlCtrl(); }
    // RS-485 direction control by the driver, as the port has it
    // (TComm32::Rs485); delays in ms, a negative one taken as 0.
    bool Rs485() const;
    void fSetRs485(bool Value);
    bool RtsOnSend() const;
    void fSetRtsOnSend(bool Value);
    long RtsDelayBefore() const;
    void fSetRtsDelayBefore(long Value);
    long RtsDelayAfter() const;
    void fSetRtsDelayAfter(long Value);
    int fGetAutAns() const;
    void fSetAutAns(int Value);
    int AutoAnswer() const { return fGetAutAns(); }
    bool SyncEvents() const { return FSyncEvents.load(); }
    void fSetSyncEvents(bool Value) { FSyncEvents.store(Value); }
    bool DataOnly() const;
    void fSetDataOnly(bool Value);
    long InBufSize() const;
    void fSetInBufSize(long Value);
    long OutBufSize() const;
    void fSetOutBufSize(long Value);
    long HwInSize() const;
    void fSetHwInSize(long Value);
    long HwOutSize() const;
    void fSetHwOutSize(long Value);
    long fGetQSize() const;
    void fSetQSize(long Value);
    long QueueSize() const { return fGetQSize(); }
    long fGetPkgSz() const;
    void fSetPkgSz(long Value);
    long PackageSize() const { return fGetPkgSz(); }
    TCommPackageType fGetPkgType() const;
    void fSetPkgType(TCommPackageType Value);
    TCommPackageType PackageType() const { return fGetPkgType(); }
    long fGetPkgInterval() const;
    void fSetPkgInterval(long Value);
    long PackageInterval() const { return fGetPkgInterval(); }
    bool UsePackage() const { return FUsePackage; }
    void fSetUsePackage(bool Value);
    TZuCommFrameSettings* FrameSettings() const { return FFrameSettings; }
    void fSetFrameSettings(TZuCommFrameSettings* Src);

    // Public, not published.
    bool Active() const;
    void fSetActive(bool Value);
    HANDLE Handle() const;
    TCommQueue* InQueue() const;
    TCommQueue* OutQueue() const;
    std::uint8_t ModemStatus() const;
    bool DisableWrite() const;
    void fSetDisableWrite(bool Value);
    bool DTR() const;
    void fSetDTR(bool Value);
    bool RTS() const;
    void fSetRTS(bool Value);
    bool CTS() const;
    bool DSR() const;
    bool RING() const;
    bool RLSD() const;

    // The owned port and package layer (the settings dialog sets the baud
    // rate on the port as a number).
    TComm32* Comm() const { return FComm; }
    TCommPackage* Package() const { return FPackage; }

    // The port's events. While none is set, the component's own classes
    // leave the UI thread asleep for them.
    TCommNotifySlot OnCommNotify;
    TCommNotifyEvent OnPackage;
    TNotifyEvent AfterOpen;
    TNotifyEvent BeforeClose;

    void _EvComm(TObject* Sender, int NotifyType);
    void _EvPackage(TObject* Sender, int NotifyType);
    void _EvAfterOpen(TObject* Sender);
    void _EvBeforeClose(TObject* Sender);
    void _EvNotifyProc(TMessage& Message);

protected:
    // Stops handing events to the Ev... dispatchers and waits until no
    // library thread is inside one. The most derived destructor calls it
    // first, so no thread makes a virtual call into a half-destroyed object
    // (a subclass that overrides the dispatchers does the same).
    void _StopEvents();

private:
    TComm32* FComm = nullptr;
    TCommPackage* FPackage = nullptr;
    TZuCommFrameSettings* FFrameSettings = nullptr;
    bool FUsePackage = false;
    std::atomic<bool> FSyncEvents{true};
    TNotifyWindow* FNotifyWindow = nullptr;
    // Set by _StopEvents: from then on the library's threads hand no more
    // events to the component. FInFlight counts threads inside _EvComm or
    // _EvPackage.
    std::atomic<bool> FDestroying{false};
    std::atomic<int> FInFlight{0};
};

class TZuCommDevice : public TZuCustomCommDevice {
public:
    // Declared default of PortNo: the port's initial number, so that like
    // every other property a new component's value equals its default.
    static constexpr int DefaultPortNo = 2;

    explicit TZuCommDevice(TComponent* AOwner = nullptr);
    ~TZuCommDevice() override;
    const char* ClassName() const override { return "TZuCommDevice"; }
};

} // namespace KelvorComm32
