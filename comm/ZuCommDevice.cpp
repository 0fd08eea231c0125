#include "comm/ZuCommDevice.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <thread>
#include <typeinfo>

#include "comm/dialogs/Unit_ZuCommDevice_Settings.h"
#include "platform/toolkit/NotifyWindow.h"

namespace KelvorComm32 {

namespace {

constexpr unsigned kMsgComm = WM_USER + 2;    // 0x402
constexpr unsigned kMsgPackage = WM_USER + 3; // 0x403

constexpr unsigned long kBaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr int kBaudCount = static_cast<int>(sizeof(kBaudRates) / sizeof(kBaudRates[0]));

// Component flow-control enumerator -> the port's code.
constexpr TComm32::TFlowControl kFlowCodes[] = {TComm32::fcNone, TComm32::fcRtsCts, TComm32::fcXonXoff,
                                                TComm32::fcTranXonXoff, TComm32::fcRtsCtsXonXoff};

} // namespace

// ---------------------------------------------------------------- frame settings

TZuCommFrameSettings::TZuCommFrameSettings(TCommPackage* Package) : FPackage(Package) {}

std::uint8_t TZuCommFrameSettings::FrameHead() const { return FPackage->FrameHead.load(); }
void TZuCommFrameSettings::fSetFrameHead(std::uint8_t Value) { FPackage->FrameHead.store(Value); }
std::uint8_t TZuCommFrameSettings::FrameTail() const { return FPackage->FrameTail.load(); }
void TZuCommFrameSettings::fSetFrameTail(std::uint8_t Value) { FPackage->FrameTail.store(Value); }
std::uint8_t TZuCommFrameSettings::FrameCtrl() const { return FPackage->FrameCtrl.load(); }
void TZuCommFrameSettings::fSetFrameCtrl(std::uint8_t Value) { FPackage->FrameCtrl.store(Value); }
bool TZuCommFrameSettings::DoubleFrameMark() const { return FPackage->DoubleFrameMark(); }
void TZuCommFrameSettings::fSetDoubleFrameMark(bool Value) { FPackage->fSetDblFrameMark(Value); }

void TZuCommFrameSettings::SetValues(TZuCommFrameSettings* Src)
{
    if (!Src || Src == this)
        return;
    fSetFrameHead(Src->FrameHead());
    fSetFrameTail(Src->FrameTail());
    fSetFrameCtrl(Src->FrameCtrl());
}

// ---------------------------------------------------------------- component

TZuCustomCommDevice::TZuCustomCommDevice(TComponent* AOwner) : TComponent(AOwner)
{
    FNotifyWindow = AllocateHWnd([this](TMessage& Message) { _EvNotifyProc(Message); });
    FComm = new TComm32();
    FComm->OnCommNotify = [this](TObject* Sender, int NotifyType) { _EvComm(Sender, NotifyType); };
    FComm->OnAfterOpen = [this](TObject* Sender) { _EvAfterOpen(Sender); };
    FComm->OnBeforeClose = [this](TObject* Sender) { _EvBeforeClose(Sender); };
    FPackage = new TCommPackage(FComm);
    FPackage->OnNotify = [this](TObject* Sender, int NotifyType) { _EvPackage(Sender, NotifyType); };
    FFrameSettings = new TZuCommFrameSettings(FPackage);
}

void TZuCustomCommDevice::_StopEvents()
{
    FDestroying.store(true);
    // Pairs with the increment-then-check in _EvComm/_EvPackage: a thread
    // either sees the flag or is counted here.
    while (FInFlight.load() != 0)
        std::this_thread::yield();
}

// The library's threads may still be inside a notification while we tear
// down, so nothing they call is rewritten before they have stopped: events
// are silenced, the port is closed (its threads end), and the package
// layer's destructor waits for its timer thread.
TZuCustomCommDevice::~TZuCustomCommDevice()
{
    _StopEvents();
    FPackage->fSetActive(false);
    FComm->OnBeforeClose = nullptr;
    FComm->OnAfterOpen = nullptr;
    try {
        FComm->Close();
    } catch (...) {
    }
    delete FFrameSettings;
    FFrameSettings = nullptr;
    delete FPackage;
    FPackage = nullptr;
    delete FComm;
    FComm = nullptr;
    DeallocateHWnd(FNotifyWindow);
    FNotifyWindow = nullptr;
}

// ---- event routing

namespace {

// Counts a library thread in while it hands an event over.
class TInFlight {
public:
    explicit TInFlight(std::atomic<int>& Count) : FCount(Count) { FCount.fetch_add(1); }
    ~TInFlight() { FCount.fetch_sub(1); }
    TInFlight(const TInFlight&) = delete;
    TInFlight& operator=(const TInFlight&) = delete;

private:
    std::atomic<int>& FCount;
};

} // namespace

void TZuCustomCommDevice::_EvComm(TObject* Sender, int NotifyType)
{
    TInFlight guard(FInFlight);
    if (FDestroying.load())
        return;
    // A port event comes for every byte; with no handler, delivering it to
    // the library's own dispatcher would do nothing but wake the UI thread.
    // A subclass may do something with it in its own EvCommNotify.
    if (!OnCommNotify.Assigned() &&
        (typeid(*this) == typeid(TZuCommDevice) || typeid(*this) == typeid(TZuCustomCommDevice)))
        return;
    if (FSyncEvents.load())
        FNotifyWindow->Post(kMsgComm, reinterpret_cast<std::uintptr_t>(Sender), NotifyType);
    else
        EvCommNotify(Sender, NotifyType);
}

void TZuCustomCommDevice::_EvPackage(TObject* Sender, int NotifyType)
{
    TInFlight guard(FInFlight);
    if (FDestroying.load())
        return;
    if (FSyncEvents.load())
        FNotifyWindow->Post(kMsgPackage, reinterpret_cast<std::uintptr_t>(Sender), NotifyType);
    else
        EvPackageNotify(Sender, NotifyType);
}

void TZuCustomCommDevice::_EvAfterOpen(TObject* Sender) { EvAfterOpen(Sender); }

void TZuCustomCommDevice::_EvBeforeClose(TObject* Sender) { EvBeforeClose(Sender); }

void TZuCustomCommDevice::_EvNotifyProc(TMessage& Message)
{
    if (Message.Msg == kMsgComm)
        EvCommNotify(reinterpret_cast<TObject*>(Message.WParam), static_cast<int>(Message.LParam));
    else if (Message.Msg == kMsgPackage)
        EvPackageNotify(reinterpret_cast<TObject*>(Message.WParam), static_cast<int>(Message.LParam));
    Message.Result = TNotifyWindow::DefaultProc(FNotifyWindow, Message.Msg, Message.WParam, Message.LParam);
}

void TZuCustomCommDevice::EvCommNotify(TObject*, int NotifyType)
{
    if (OnCommNotify)
        OnCommNotify(this, NotifyType);
}

void TZuCustomCommDevice::EvPackageNotify(TObject*, int NotifyType)
{
    if (OnPackage)
        OnPackage(this, NotifyType);
}

void TZuCustomCommDevice::EvAfterOpen(TObject*)
{
    if (AfterOpen)
        AfterOpen(this);
}

void TZuCustomCommDevice::EvBeforeClose(TObject*)
{
    if (BeforeClose)
        BeforeClose(this);
}

// ---- I/O

long TZuCustomCommDevice::Read(void* Buffer, long Size)
{
    // A negative size takes nothing, as the port's queue does.
    if (FUsePackage)
        return Size < 0 ? 0 : static_cast<long>(FPackage->ReadPackage(Buffer, static_cast<unsigned long>(Size)));
    return FComm->Read(Buffer, Size);
}

long TZuCustomCommDevice::Write(const void* Buffer, long Size)
{
    if (FUsePackage)
        return Size < 0 ? 0 : static_cast<long>(FPackage->WritePackage(Buffer, static_cast<unsigned long>(Size)));
    return FComm->Write(Buffer, Size);
}

long TZuCustomCommDevice::Command(const char* Text) { return FComm->Command(Text); }

bool TZuCustomCommDevice::ReadPackage(void* Package) { return FPackage->ReadPackage(Package, 0) != 0; }

bool TZuCustomCommDevice::WritePackage(const void* Package) { return FPackage->WritePackage(Package, 0) != 0; }

unsigned long TZuCustomCommDevice::ReadPackage(void* Buffer, unsigned long Size)
{
    return FPackage->ReadPackage(Buffer, Size);
}

unsigned long TZuCustomCommDevice::WritePackage(const void* Buffer, unsigned long Size)
{
    return FPackage->WritePackage(Buffer, Size);
}

void TZuCustomCommDevice::PurgeRead(bool Abort)
{
    if (FUsePackage)
        FPackage->PurgeRead();
    else
        FComm->PurgeRead(Abort);
}

void TZuCustomCommDevice::PurgeWrite(bool Abort)
{
    if (FUsePackage)
        FPackage->PurgeWrite();
    else
        FComm->PurgeWrite(Abort);
}

bool TZuCustomCommDevice::SettingsDialog(TComponent* AOwner, bool ActivateOnOK)
{
    auto dlg = std::make_unique<TForm_ZuCommDevice_Settings>(AOwner, this, ActivateOnOK);
    return dlg->exec() == 1;
}

void TZuCustomCommDevice::ResetModem() { FComm->ResetModem(); }

void TZuCustomCommDevice::InitModem() { FComm->InitModem(); }

bool TZuCustomCommDevice::EscapeCommFunction(unsigned long Func) { return FComm->EscapeCommFunction(Func); }

// ---- properties

int TZuCustomCommDevice::fGetPort() const { return FComm->PortNo(); }
void TZuCustomCommDevice::fSetPort(int Value) { FComm->fSetPort(Value); }
UnicodeString TZuCustomCommDevice::PortName() const { return FComm->PortName(); }
void TZuCustomCommDevice::fSetPortName(const UnicodeString& Value) { FComm->fSetPortName(Value); }

TZuCustomCommDevice::TBaudRate TZuCustomCommDevice::Baud() const
{
    const unsigned long rate = FComm->Baud();
    for (int i = 0; i < kBaudCount; ++i)
        if (kBaudRates[i] == rate)
            return static_cast<TBaudRate>(i);
    return br115200;
}

void TZuCustomCommDevice::fSetBaud(TBaudRate Value)
{
    const int i = static_cast<int>(Value);
    FComm->fSetBaud(i >= 0 && i < kBaudCount ? kBaudRates[i] : 115200);
}

TZuCustomCommDevice::TParity TZuCustomCommDevice::Parity() const
{
    const unsigned char p = FComm->Parity();
    return p <= ptSpaceParity ? static_cast<TParity>(p) : ptNoParity;
}

void TZuCustomCommDevice::fSetParity(TParity Value)
{
    const int v = static_cast<int>(Value);
    FComm->fSetParity(static_cast<unsigned char>(v >= ptNoParity && v <= ptSpaceParity ? v : NOPARITY));
}

int TZuCustomCommDevice::ByteSize() const { return FComm->ByteSize(); }

void TZuCustomCommDevice::fSetByteSize(int Value)
{
    FComm->fSetByteSize(static_cast<unsigned char>(std::clamp(Value, 0, 255)));
}

TZuCustomCommDevice::TStopBits TZuCustomCommDevice::StopBits() const
{
    const unsigned char s = FComm->StopBits();
    return s <= sbTwoStopBit ? static_cast<TStopBits>(s) : sbOneStopBit;
}

void TZuCustomCommDevice::fSetStopBits(TStopBits Value)
{
    const int v = static_cast<int>(Value);
    FComm->fSetStopBits(static_cast<unsigned char>(v >= sbOneStopBit && v <= sbTwoStopBit ? v : ONESTOPBIT));
}

TZuCustomCommDevice::TFlowControl TZuCustomCommDevice::fGetFlCtrl() const
{
    switch (FComm->FlowControl()) {
    case TComm32::fcRtsCts:
        return fcRtsCts;
    case TComm32::fcXonXoff:
        return fcXonXoff;
    case TComm32::fcTranXonXoff:
        return fcTranXonXoff;
    case TComm32::fcRtsCtsXonXoff:
        return fcRtsCtsXonXoff;
    default:
        return fcNone;
    }
}

void TZuCustomCommDevice::fSetFlCtrl(TFlowControl Value)
{
    const int v = static_cast<int>(Value);
    FComm->fSetFCtrl(v >= fcNone && v <= fcRtsCtsXonXoff ? kFlowCodes[v] : TComm32::fcNone);
}

bool TZuCustomCommDevice::Rs485() const { return FComm->Rs485(); }
void TZuCustomCommDevice::fSetRs485(bool Value) { FComm->fSetRs485(Value); }
bool TZuCustomCommDevice::RtsOnSend() const { return FComm->RtsOnSend(); }
void TZuCustomCommDevice::fSetRtsOnSend(bool Value) { FComm->fSetRtsOnSend(Value); }

long TZuCustomCommDevice::RtsDelayBefore() const
{
    return static_cast<long>(std::min<unsigned long>(FComm->RtsDelayBefore(), LONG_MAX));
}

void TZuCustomCommDevice::fSetRtsDelayBefore(long Value)
{
    FComm->fSetRtsDelayBefore(static_cast<unsigned long>(std::max(Value, 0L)));
}

long TZuCustomCommDevice::RtsDelayAfter() const
{
    return static_cast<long>(std::min<unsigned long>(FComm->RtsDelayAfter(), LONG_MAX));
}

void TZuCustomCommDevice::fSetRtsDelayAfter(long Value)
{
    FComm->fSetRtsDelayAfter(static_cast<unsigned long>(std::max(Value, 0L)));
}

int TZuCustomCommDevice::fGetAutAns() const { return FComm->AutoAnswer(); }

void TZuCustomCommDevice::fSetAutAns(int Value)
{
    FComm->fSetAAns(static_cast<unsigned char>(std::clamp(Value, 0, 255)));
}

bool TZuCustomCommDevice::DataOnly() const { return FComm->DataOnly(); }
void TZuCustomCommDevice::fSetDataOnly(bool Value) { FComm->fSetDataOnly(Value); }
long TZuCustomCommDevice::InBufSize() const { return FComm->InBufSize(); }
void TZuCustomCommDevice::fSetInBufSize(long Value) { FComm->fSetInBufSize(Value); }
long TZuCustomCommDevice::OutBufSize() const { return FComm->OutBufSize(); }
void TZuCustomCommDevice::fSetOutBufSize(long Value) { FComm->fSetOutBufSize(Value); }
long TZuCustomCommDevice::HwInSize() const { return FComm->HwInSize(); }
void TZuCustomCommDevice::fSetHwInSize(long Value) { FComm->fSetHwInSize(Value); }
long TZuCustomCommDevice::HwOutSize() const { return FComm->HwOutSize(); }
void TZuCustomCommDevice::fSetHwOutSize(long Value) { FComm->fSetHwOutSize(Value); }

long TZuCustomCommDevice::fGetQSize() const { return static_cast<long>(FPackage->QueueSize()); }
void TZuCustomCommDevice::fSetQSize(long Value) { FPackage->fSetQSize(static_cast<unsigned long>(Value)); }
long TZuCustomCommDevice::fGetPkgSz() const { return static_cast<long>(FPackage->PackageSize()); }
void TZuCustomCommDevice::fSetPkgSz(long Value) { FPackage->fSetPkgSz(static_cast<unsigned long>(Value)); }
TCommPackageType TZuCustomCommDevice::fGetPkgType() const { return FPackage->PackageType(); }
void TZuCustomCommDevice::fSetPkgType(TCommPackageType Value) { FPackage->fSetPkgType(Value); }
long TZuCustomCommDevice::fGetPkgInterval() const { return static_cast<long>(FPackage->PackageInterval()); }

void TZuCustomCommDevice::fSetPkgInterval(long Value)
{
    FPackage->fSetPkgInterval(static_cast<unsigned long>(Value));
}

void TZuCustomCommDevice::fSetUsePackage(bool Value)
{
    const bool active = Active();
    FUsePackage = Value;
    fSetActive(active);
}

void TZuCustomCommDevice::fSetFrameSettings(TZuCommFrameSettings* Src) { FFrameSettings->SetValues(Src); }

bool TZuCustomCommDevice::Active() const
{
    if (FUsePackage)
        return FPackage->Active() && FComm->Active();
    return FComm->Active();
}

void TZuCustomCommDevice::fSetActive(bool Value)
{
    const bool layerTarget = FUsePackage && Value;
    if (Value != FComm->Active())
        FComm->fSetActive(Value); // a failed open leaves the layer untouched
    if (layerTarget != FPackage->Active())
        FPackage->fSetActive(layerTarget);
}

HANDLE TZuCustomCommDevice::Handle() const { return FComm->Handle(); }
TCommQueue* TZuCustomCommDevice::InQueue() const { return FComm->InQueue(); }
TCommQueue* TZuCustomCommDevice::OutQueue() const { return FComm->OutQueue(); }

std::uint8_t TZuCustomCommDevice::ModemStatus() const
{
    return static_cast<std::uint8_t>((FComm->ModemStatus() >> 4) & 0x0F);
}

bool TZuCustomCommDevice::DisableWrite() const { return FComm->DisableWrite.load(); }
void TZuCustomCommDevice::fSetDisableWrite(bool Value) { FComm->DisableWrite.store(Value); }
bool TZuCustomCommDevice::DTR() const { return FComm->DTR(); }
void TZuCustomCommDevice::fSetDTR(bool Value) { FComm->fSetDTR(Value); }
bool TZuCustomCommDevice::RTS() const { return FComm->RTS(); }
void TZuCustomCommDevice::fSetRTS(bool Value) { FComm->fSetRTS(Value); }
bool TZuCustomCommDevice::CTS() const { return FComm->CTS(); }
bool TZuCustomCommDevice::DSR() const { return FComm->DSR(); }
bool TZuCustomCommDevice::RING() const { return FComm->RING(); }
bool TZuCustomCommDevice::RLSD() const { return FComm->RLSD(); }

// ---------------------------------------------------------------- published class

TZuCommDevice::TZuCommDevice(TComponent* AOwner) : TZuCustomCommDevice(AOwner) {}

TZuCommDevice::~TZuCommDevice() { _StopEvents(); }

} // namespace KelvorComm32
