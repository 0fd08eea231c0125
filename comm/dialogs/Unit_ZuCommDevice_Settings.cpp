#include "comm/dialogs/Unit_ZuCommDevice_Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <climits>
#include <initializer_list>
#include <iterator>

#include "comm/dialogs/DialogLook.h"
#include "comm/dialogs/Unit_ZUComm32_About.h"
#include "platform/toolkit/Toolkit.h"
#include "ui_Unit_ZuCommDevice_Settings.h"

namespace KelvorComm32 {

namespace {

using Msgs = TForm_ZuCommDevice_Settings::TMsgStrings;

const char16_t* const MsgZhCN[Msgs::MsgCount] = {
    u"确定",
    u"取消",
    u"串行口设置",
    u"串行口",
    u"波特率",
    u"奇偶校验",
    u"数据位",
    u"停止位",
    u"数据流控",
    u"No parity (无)",
    u"Odd (奇)",
    u"Even (偶)",
    u"Mark (标记)",
    u"None (无)",
    u"RTS/CTS (硬件)",
    u"Xon/Xoff (软件)",
    u"RTS/CTS & Xon/Xoff (硬&软)",
    u"必须选择串行口",
    u"必须输入/选择波特率",
    u"无效的波特率",
    u"必须选择数据位",
    u"必须选择奇偶校验",
    u"必须选择停止位",
    u"必须选择数据流控制",
    u"关于",
    u"默认",
    u"串行口选项",
    u"调制解调器选项",
    u"缓存容量",
    u"自动应答",
    u"输入缓存",
    u"输出缓存",
    u"自动应答必须是 0 - 255 的整数",
    u"输入缓存容量错误",
    u"输出缓存容量错误",
    u"Space (空格)",
    u"RS-485 收发切换（由驱动控制 RTS）",
    u"RS-485 模式",
    u"发送时 RTS",
    u"高电平",
    u"低电平",
    u"发送前延时",
    u"发送后延时",
    u"发送前延时必须是 0 - 1000 的整数（毫秒）",
    u"发送后延时必须是 0 - 1000 的整数（毫秒）",
};

const char16_t* const MsgZhTW[Msgs::MsgCount] = {
    u"確定",
    u"取消",
    u"序列埠設定",
    u"序列埠",
    u"傳輸速率",
    u"奇偶校驗",
    u"資料位元",
    u"停止位元",
    u"資料流控",
    u"No parity (無)",
    u"Odd (奇)",
    u"Even (偶)",
    u"Mark (標記)",
    u"None (無)",
    u"RTS/CTS (硬體)",
    u"Xon/Xoff (軟體)",
    u"RTS/CTS & Xon/Xoff (硬&軟)",
    u"必須選擇序列埠",
    u"必須輸入/選擇序列傳輸速率",
    u"無效的序列傳輸速率",
    u"必須選擇資料位元",
    u"必須選擇奇偶校驗",
    u"必須選擇停止位元",
    u"必須選擇資料流程控制",
    u"關於",
    u"默認",
    u"埠選項",
    u"數據機選項",
    u"緩存容量",
    u"自動回應",
    u"輸入緩存",
    u"輸出緩存",
    u"自動回應必須是 0 - 255 的整數",
    u"輸入緩存容量錯誤",
    u"輸出緩存容量錯誤",
    u"Space (空白)",
    u"RS-485 收發切換（由驅動程式控制 RTS）",
    u"RS-485 模式",
    u"傳送時 RTS",
    u"高電位",
    u"低電位",
    u"傳送前延遲",
    u"傳送後延遲",
    u"傳送前延遲必須是 0 - 1000 的整數（毫秒）",
    u"傳送後延遲必須是 0 - 1000 的整數（毫秒）",
};

const char16_t* const MsgEn[Msgs::MsgCount] = {
    u"&OK",
    u"&Cancel",
    u"COM port Setup",
    u"COM port",
    u"Baud",
    u"Parity",
    u"Byte Size",
    u"Stop Bits",
    u"Flow Control",
    u"No parity",
    u"Odd",
    u"Even",
    u"Mark",
    u"None",
    u"RTS/CTS",
    u"Xon/Xoff",
    u"RTS/CTS & Xon/Xoff",
    u"Must select COM Port",
    u"Must select baud rate",
    u"Invalid baud rate",
    u"Must select byte size",
    u"Must select parity check",
    u"Must select stop bits",
    u"Must select flow control",
    u"&About",
    u"&Default",
    u"Port",
    u"Modem",
    u"Buffer",
    u"Auto Answer",
    u"Input Buf.",
    u"Output Buf.",
    u"Auto Answer: 0 - 255",
    u"Input Buffer size error",
    u"Output Buffer size error",
    u"Space Parity",
    u"RS-485 direction (RTS switched by the driver)",
    u"RS-485 mode",
    u"RTS on send",
    u"High",
    u"Low",
    u"Delay before",
    u"Delay after",
    u"Delay before: 0 - 1000 ms",
    u"Delay after: 0 - 1000 ms",
};

// Message ids.
enum : int {
    idOK = 0, idCancel = 1, idCaption = 2, idPort = 3, idBaud = 4, idCheck = 5, idBits = 6, idStops = 7,
    idFlow = 8, idNoParity = 9, idOdd = 10, idEven = 11, idMark = 12, idFlowNone = 13, idFlowRtsCts = 14,
    idFlowXonXoff = 15, idFlowBoth = 16, idNeedPort = 17, idNeedBaud = 18, idBadBaud = 19, idNeedBits = 20,
    idNeedParity = 21, idNeedStops = 22, idNeedFlow = 23, idAbout = 24, idDefault = 25, idGroupBase = 26,
    idGroupModem = 27, idGroupBuffer = 28, idAutoAnswer = 29, idInBuf = 30, idOutBuf = 31, idBadAutoAnswer = 32,
    idBadInBuf = 33, idBadOutBuf = 34, idSpace = 35, idGroupRs485 = 36, idRs485 = 37, idRtsOnSend = 38,
    idRtsHigh = 39, idRtsLow = 40, idRtsBefore = 41, idRtsAfter = 42, idBadRtsBefore = 43, idBadRtsAfter = 44
};

constexpr int kDefaultBaudIndex = 12; // "115200"
constexpr long kMinQueueSize = 4096;
// Longer RTS delays than a second are no use on a Modbus line (Linux drivers
// take up to 100 ms and cut longer ones).
constexpr int kMaxRtsDelay = 1000;

// The leading decimal integer of a text, read the way the C library's
// _wtoi reads it (blanks, optional sign, digits; 0 without digits), but
// saturated instead of wrapping so that an overlong number cannot come out
// as a small or negative rate.
long long LeadingInteger(const UnicodeString& Text)
{
    std::size_t i = 0;
    while (i < Text.size() && (Text[i] == u' ' || (Text[i] >= u'\t' && Text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < Text.size() && (Text[i] == u'+' || Text[i] == u'-')) {
        negative = Text[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < Text.size() && Text[i] >= u'0' && Text[i] <= u'9'; ++i) {
        value = value * 10 + (Text[i] - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    return negative ? -value : value;
}

UnicodeString Text16(const QString& s) { return s.toStdU16String(); }
QString QText(const UnicodeString& s) { return QString::fromStdU16String(s); }

} // namespace

TForm_ZuCommDevice_Settings::TMsgStrings::TMsgStrings()
{
    switch (FLanguage.LcId()) {
    case 1028: FTable = MsgZhTW; break;
    case 2052: FTable = MsgZhCN; break;
    default: FTable = MsgEn; break;
    }
}

QString TForm_ZuCommDevice_Settings::TMsgStrings::fGetMsg(int Id) const
{
    if (Id < 0 || Id >= MsgCount)
        return QString();
    return QString::fromUtf16(FTable[Id]);
}

TForm_ZuCommDevice_Settings::TForm_ZuCommDevice_Settings(TComponent* Owner, TZuCustomCommDevice* Device,
                                                         bool ActivateOnOK)
    : QDialog(dynamic_cast<QWidget*>(Owner)), FDevice(Device), FActivateOnOK(ActivateOnOK)
{
    Ui::TForm_ZuCommDevice_Settings ui;
    ui.setupUi(this);
    GBoxBuffer = ui.GBoxBuffer;
    lbInbs = ui.lbInbs;
    lbOutbs = ui.lbOutbs;
    EditInBufSize = ui.EditInBufSize;
    EditOutBufSize = ui.EditOutBufSize;
    BnAbout = ui.BnAbout;
    BnDefault = ui.BnDefault;
    BnOK = ui.BnOK;
    BnCancel = ui.BnCancel;
    GboxBase = ui.GboxBase;
    lbPort = ui.lbPort;
    lbBaud = ui.lbBaud;
    lbCheck = ui.lbCheck;
    lbBits = ui.lbBits;
    lbStops = ui.lbStops;
    CbStopBits = ui.CbStopBits;
    CbSelBaud = ui.CbSelBaud;
    CbParity = ui.CbParity;
    CbByteSize = ui.CbByteSize;
    CbPort = ui.CbPort;
    GBoxModem = ui.GBoxModem;
    lbFlow = ui.lbFlow;
    lbAAns = ui.lbAAns;
    CbFlow = ui.CbFlow;
    EditAutoAns = ui.EditAutoAns;
    GBoxRs485 = ui.GBoxRs485;
    CkRs485 = ui.CkRs485;
    lbRtsOnSend = ui.lbRtsOnSend;
    CbRtsOnSend = ui.CbRtsOnSend;
    lbRtsBefore = ui.lbRtsBefore;
    EditRtsBefore = ui.EditRtsBefore;
    lbRtsBeforeMs = ui.lbRtsBeforeMs;
    lbRtsAfter = ui.lbRtsAfter;
    EditRtsAfter = ui.EditRtsAfter;
    lbRtsAfterMs = ui.lbRtsAfterMs;

    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(Look::DialogFont());
    setFixedSize(393, 324);
    BnAbout->setIcon(Look::AboutGlyph());
    BnDefault->setIcon(Look::DefaultGlyph());
    BnOK->setIcon(Look::OkGlyph());
    BnCancel->setIcon(Look::CancelGlyph());

    // Nothing a handler throws may unwind through Qt's event loop.
    connect(BnAbout, &QPushButton::clicked, this, [this] { Toolkit::Guarded([this] { BnAboutClick(BnAbout); }); });
    connect(BnDefault, &QPushButton::clicked, this,
            [this] { Toolkit::Guarded([this] { BnDefaultClick(BnDefault); }); });
    connect(BnOK, &QPushButton::clicked, this, [this] { Toolkit::Guarded([this] { BnOKClick(BnOK); }); });
    connect(BnCancel, &QPushButton::clicked, this, [this] { Toolkit::Guarded([this] { BnCancelClick(BnCancel); }); });
    connect(CkRs485, &QCheckBox::toggled, this, [this](bool On) { ShowRs485Enabled(On); });

    TMsgStrings Msgs;
    setWindowTitle(Msgs.fGetMsg(idCaption));
    GboxBase->setTitle(Msgs.fGetMsg(idGroupBase));
    GBoxModem->setTitle(Msgs.fGetMsg(idGroupModem));
    GBoxBuffer->setTitle(Msgs.fGetMsg(idGroupBuffer));
    GBoxRs485->setTitle(Msgs.fGetMsg(idGroupRs485));
    CkRs485->setText(Msgs.fGetMsg(idRs485));
    lbRtsOnSend->setText(Msgs.fGetMsg(idRtsOnSend));
    lbRtsBefore->setText(Msgs.fGetMsg(idRtsBefore));
    lbRtsAfter->setText(Msgs.fGetMsg(idRtsAfter));
    BnAbout->setText(Msgs.fGetMsg(idAbout));
    BnDefault->setText(Msgs.fGetMsg(idDefault));
    BnOK->setText(Msgs.fGetMsg(idOK));
    BnCancel->setText(Msgs.fGetMsg(idCancel));
    lbPort->setText(Msgs.fGetMsg(idPort));
    lbBaud->setText(Msgs.fGetMsg(idBaud));
    lbCheck->setText(Msgs.fGetMsg(idCheck));
    lbBits->setText(Msgs.fGetMsg(idBits));
    lbStops->setText(Msgs.fGetMsg(idStops));
    lbFlow->setText(Msgs.fGetMsg(idFlow));
    lbAAns->setText(Msgs.fGetMsg(idAutoAnswer));
    lbInbs->setText(Msgs.fGetMsg(idInBuf));
    lbOutbs->setText(Msgs.fGetMsg(idOutBuf));
    // The fields start 64 pixels in, so a label has 54 pixels and a small gap.
    for (QLabel* l : {lbPort, lbBaud, lbCheck, lbBits, lbStops, lbFlow, lbAAns, lbInbs, lbOutbs, lbRtsOnSend,
                      lbRtsBefore, lbRtsAfter})
        Look::FitLabel(l, 54);

    {
        TCommSerialPortInfo Ports;
        CbPort->clear();
        for (const UnicodeString& Name : *Ports.PortList)
            CbPort->addItem(QText(Name));
    }

    CbParity->clear();
    for (int Id : {idNoParity, idOdd, idEven, idMark, idSpace})
        CbParity->addItem(Msgs.fGetMsg(Id));
    CbFlow->clear();
    for (int Id : {idFlowNone, idFlowRtsCts, idFlowXonXoff, idFlowBoth})
        CbFlow->addItem(Msgs.fGetMsg(Id));
    CbRtsOnSend->clear();
    for (int Id : {idRtsHigh, idRtsLow})
        CbRtsOnSend->addItem(Msgs.fGetMsg(Id));

    if (!FDevice->Designing()) {
        BnAbout->hide();
        BnDefault->hide();
        const int FormWidth = frameGeometry().width();
        BnOK->move((FormWidth - BnOK->width()) / 2 - 60, BnOK->y());
        BnCancel->move((FormWidth - BnCancel->width()) / 2 + 60, BnCancel->y());
    }

    FWasActive = FDevice->Active();
    FPortName = FDevice->PortName();
    FBaud = FDevice->Comm()->Baud();
    FByteSize = FDevice->ByteSize();
    FParity = FDevice->Parity();
    FStopBits = FDevice->StopBits();
    FFlowControl = FDevice->FlowControl();
    FAutoAnswer = FDevice->AutoAnswer();
    FInBufSize = FDevice->InBufSize();
    FOutBufSize = FDevice->OutBufSize();
    FRs485 = {FDevice->Rs485(), FDevice->RtsOnSend(), FDevice->RtsDelayBefore(), FDevice->RtsDelayAfter()};

    CbPort->setCurrentIndex(CbPort->findText(QText(FPortName), Qt::MatchFixedString));
    const QString BaudText = QText(Format(u"%lu", {FBaud}));
    CbSelBaud->setCurrentIndex(CbSelBaud->findText(BaudText, Qt::MatchExactly));
    CbSelBaud->setEditText(BaudText);
    CbByteSize->setCurrentIndex(FByteSize >= 5 && FByteSize <= 8 ? FByteSize - 5 : -1);
    CbParity->setCurrentIndex(FParity >= 0 && FParity <= 4 ? static_cast<int>(FParity) : -1);
    switch (FStopBits) {
    case TZuCustomCommDevice::sbOneStopBit: CbStopBits->setCurrentIndex(0); break;
    case TZuCustomCommDevice::sbOne_5_StopBits: CbStopBits->setCurrentIndex(1); break;
    case TZuCustomCommDevice::sbTwoStopBit: CbStopBits->setCurrentIndex(2); break;
    default: CbStopBits->setCurrentIndex(-1); break;
    }
    switch (FFlowControl) {
    case TZuCustomCommDevice::fcRtsCts: CbFlow->setCurrentIndex(1); break;
    // The list has no entry of its own for the transmit-only variant.
    case TZuCustomCommDevice::fcXonXoff:
    case TZuCustomCommDevice::fcTranXonXoff: CbFlow->setCurrentIndex(2); break;
    case TZuCustomCommDevice::fcRtsCtsXonXoff: CbFlow->setCurrentIndex(3); break;
    default: CbFlow->setCurrentIndex(0); break;
    }
    EditAutoAns->setText(QText(Format(u"%i", {FAutoAnswer})));
    EditInBufSize->setText(QText(Format(u"%ld", {FInBufSize})));
    EditOutBufSize->setText(QText(Format(u"%ld", {FOutBufSize})));
    CkRs485->setChecked(FRs485.On);
    CbRtsOnSend->setCurrentIndex(FRs485.RtsOnSend ? 0 : 1);
    EditRtsBefore->setText(QText(Format(u"%ld", {FRs485.DelayBefore})));
    EditRtsAfter->setText(QText(Format(u"%ld", {FRs485.DelayAfter})));
    ShowRs485Enabled(FRs485.On);
}

// The level and the delays count only in RS-485 mode.
void TForm_ZuCommDevice_Settings::ShowRs485Enabled(bool On)
{
    for (QWidget* w : std::initializer_list<QWidget*>{lbRtsOnSend, CbRtsOnSend, lbRtsBefore, EditRtsBefore,
                                                      lbRtsBeforeMs, lbRtsAfter, EditRtsAfter, lbRtsAfterMs})
        w->setEnabled(On);
}

TForm_ZuCommDevice_Settings::~TForm_ZuCommDevice_Settings() = default;

void TForm_ZuCommDevice_Settings::accept() { done(Toolkit::mrOK); }
void TForm_ZuCommDevice_Settings::reject() { done(Toolkit::mrCancel); }

void TForm_ZuCommDevice_Settings::BnAboutClick(QObject*)
{
    TForm_ZUComm32_About About(nullptr, QString::fromUtf8(FDevice->ClassName()));
    About.exec();
}

void TForm_ZuCommDevice_Settings::BnDefaultClick(QObject*)
{
    CbSelBaud->setCurrentIndex(kDefaultBaudIndex);
    CbParity->setCurrentIndex(0);
    CbByteSize->setCurrentIndex(3);
    CbStopBits->setCurrentIndex(0);
    CbFlow->setCurrentIndex(0);
    EditAutoAns->setText(QText(Format(u"%i", {0})));
    EditInBufSize->setText(QText(Format(u"%i", {8192})));
    EditOutBufSize->setText(QText(Format(u"%i", {8192})));
    CkRs485->setChecked(false);
    CbRtsOnSend->setCurrentIndex(0);
    EditRtsBefore->setText(QText(Format(u"%i", {0})));
    EditRtsAfter->setText(QText(Format(u"%i", {0})));
}

void TForm_ZuCommDevice_Settings::BnCancelClick(QObject*) { done(Toolkit::mrCancel); }

bool TForm_ZuCommDevice_Settings::MoveCtrlFocus()
{
    QWidget* const Chain[] = {CbPort,  CbSelBaud,   CbParity,      CbByteSize,    CbStopBits,
                              CbFlow,  EditAutoAns, EditInBufSize, EditOutBufSize};
    constexpr int Last = static_cast<int>(std::size(Chain)) - 1;
    // The focus may sit on a part of a field (the edit inside a combo box).
    for (QWidget* w = focusWidget(); w && w != this; w = w->parentWidget()) {
        for (int i = 0; i <= Last; ++i) {
            if (Chain[i] != w)
                continue;
            if (i == Last)
                return false;
            Chain[i + 1]->setFocus(Qt::TabFocusReason);
            return true;
        }
    }
    return false;
}

void TForm_ZuCommDevice_Settings::ShowMessageFor(QWidget* Field, const TMsgStrings& Msgs, int Id)
{
    Field->setFocus(Qt::OtherFocusReason);
    Toolkit::MessageBox(this, Msgs.fGetMsg(Id), Msgs.fGetMsg(idCaption), Toolkit::mbIconError);
}

void TForm_ZuCommDevice_Settings::ApplySettings(const UnicodeString& PortName, unsigned long Baud,
                                                TZuCustomCommDevice::TParity Parity, int ByteSize,
                                                TZuCustomCommDevice::TStopBits StopBits,
                                                TZuCustomCommDevice::TFlowControl FlowControl, const TRs485& Rs485,
                                                int AutoAnswer, long InBufSize, long OutBufSize, bool Active)
{
    // Each line setting closes an open port; the last write opens it again.
    FDevice->fSetPortName(PortName);
    FDevice->Comm()->fSetBaud(Baud);
    FDevice->fSetParity(Parity);
    FDevice->fSetByteSize(ByteSize);
    FDevice->fSetStopBits(StopBits);
    FDevice->fSetFlCtrl(FlowControl);
    FDevice->fSetRs485(Rs485.On);
    FDevice->fSetRtsOnSend(Rs485.RtsOnSend);
    FDevice->fSetRtsDelayBefore(Rs485.DelayBefore);
    FDevice->fSetRtsDelayAfter(Rs485.DelayAfter);
    FDevice->fSetAutAns(AutoAnswer);
    FDevice->fSetInBufSize(InBufSize);
    FDevice->fSetOutBufSize(OutBufSize);
    FDevice->fSetActive(Active);
}

void TForm_ZuCommDevice_Settings::BnOKClick(QObject*)
{
    if (MoveCtrlFocus())
        return;

    TMsgStrings Msgs;

    const int PortIndex = CbPort->currentIndex();
    if (PortIndex < 0)
        return ShowMessageFor(CbPort, Msgs, idNeedPort);
    const UnicodeString PortName = Text16(CbPort->itemText(PortIndex));

    const UnicodeString BaudText = Trim(Text16(CbSelBaud->currentText()));
    if (BaudText.empty())
        return ShowMessageFor(CbSelBaud, Msgs, idNeedBaud);
    // A text without a leading positive number (such as "abc") would set a
    // rate of 0 or a negative one; refuse it instead.
    const long long Baud = LeadingInteger(BaudText);
    if (Baud <= 0 || Baud > INT_MAX)
        return ShowMessageFor(CbSelBaud, Msgs, idBadBaud);

    if (CbByteSize->currentIndex() < 0)
        return ShowMessageFor(CbByteSize, Msgs, idNeedBits);
    const int ByteSize = CbByteSize->currentIndex() + 5;

    const int ParityIndex = CbParity->currentIndex();
    if (ParityIndex < 0 || ParityIndex > 4)
        return ShowMessageFor(CbParity, Msgs, idNeedParity);
    const auto Parity = static_cast<TZuCustomCommDevice::TParity>(ParityIndex);

    TZuCustomCommDevice::TStopBits StopBits;
    switch (CbStopBits->currentIndex()) {
    case 0: StopBits = TZuCustomCommDevice::sbOneStopBit; break;
    case 1: StopBits = TZuCustomCommDevice::sbOne_5_StopBits; break;
    case 2: StopBits = TZuCustomCommDevice::sbTwoStopBit; break;
    default: return ShowMessageFor(CbStopBits, Msgs, idNeedStops);
    }

    TZuCustomCommDevice::TFlowControl FlowControl;
    switch (CbFlow->currentIndex()) {
    case 0: FlowControl = TZuCustomCommDevice::fcNone; break;
    case 1: FlowControl = TZuCustomCommDevice::fcRtsCts; break;
    case 2: FlowControl = TZuCustomCommDevice::fcXonXoff; break;
    case 3: FlowControl = TZuCustomCommDevice::fcRtsCtsXonXoff; break;
    default: return ShowMessageFor(CbFlow, Msgs, idNeedFlow);
    }

    int AutoAnswer = 0;
    const UnicodeString AutoAnswerText = Trim(Text16(EditAutoAns->text()));
    if (AutoAnswerText.empty() || !TryStrToInt(AutoAnswerText, AutoAnswer) || AutoAnswer < 0 || AutoAnswer > 255)
        return ShowMessageFor(EditAutoAns, Msgs, idBadAutoAnswer);

    int InBufSize = 0;
    const UnicodeString InText = Trim(Text16(EditInBufSize->text()));
    if (InText.empty() || !TryStrToInt(InText, InBufSize) || InBufSize < kMinQueueSize)
        return ShowMessageFor(EditInBufSize, Msgs, idBadInBuf);

    int OutBufSize = 0;
    const UnicodeString OutText = Trim(Text16(EditOutBufSize->text()));
    if (OutText.empty() || !TryStrToInt(OutText, OutBufSize) || OutBufSize < kMinQueueSize)
        return ShowMessageFor(EditOutBufSize, Msgs, idBadOutBuf);

    // Off, the disabled fields do not count: the component keeps its own.
    TRs485 Rs485 = FRs485;
    Rs485.On = CkRs485->isChecked();
    if (Rs485.On) {
        Rs485.RtsOnSend = CbRtsOnSend->currentIndex() != 1;
        int Before = 0;
        const UnicodeString BeforeText = Trim(Text16(EditRtsBefore->text()));
        if (!TryStrToInt(BeforeText, Before) || Before < 0 || Before > kMaxRtsDelay)
            return ShowMessageFor(EditRtsBefore, Msgs, idBadRtsBefore);
        int After = 0;
        const UnicodeString AfterText = Trim(Text16(EditRtsAfter->text()));
        if (!TryStrToInt(AfterText, After) || After < 0 || After > kMaxRtsDelay)
            return ShowMessageFor(EditRtsAfter, Msgs, idBadRtsAfter);
        Rs485.DelayBefore = Before;
        Rs485.DelayAfter = After;
    }

    try {
        ApplySettings(PortName, static_cast<unsigned long>(Baud), Parity, ByteSize, StopBits, FlowControl, Rs485,
                      AutoAnswer, InBufSize, OutBufSize, FWasActive || FActivateOnOK);
    } catch (const Exception& E) {
        const QString Failure = QText(E.Message());
        // Put back what the component had when the dialog opened; a second
        // failure here only ends the restore, the first one is what we report.
        try {
            ApplySettings(FPortName, FBaud, FParity, FByteSize, FStopBits, FFlowControl, FRs485, FAutoAnswer,
                          FInBufSize, FOutBufSize, FWasActive);
        } catch (const std::exception&) {
        }
        CbPort->setFocus(Qt::OtherFocusReason);
        Toolkit::MessageBox(this, Failure, Msgs.fGetMsg(idCaption), Toolkit::mbIconError);
        return;
    }
    done(Toolkit::mrOK);
}

} // namespace KelvorComm32
