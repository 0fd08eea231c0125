#include "app/ModbusCommand.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QDateTime>
#include <QMenu>
#include <QFocusEvent>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <array>
#include <exception>
#include <vector>

#include "app/LogView.h"
#include "app/OpenFailure.h"
#include "app/PopupComboBox.h"
#include "app/PortList.h"
#include "app/demo/DemoSlave.h"
#include "app/dialogs/RequestDialog.h"
#include "app/dialogs/ScanDialog.h"
#include "app/monitor/BusCounts.h"
#include "app/monitor/BusLine.h"
#include "app/monitor/FrameSplitter.h"
#include "app/modbus/LineTiming.h"
#include "comm/ZuCommDevice.h"
#include "platform/toolkit/Shape.h"
#include "platform/toolkit/Toolkit.h"
#include "ui_ModbusCommand.h"

TForm1* Form1 = nullptr;
TByteDynArray FrameBytes;
QString LogLine;
int SendInterval = 0;
std::int32_t ExpectedLength = 0;

namespace {

constexpr int kDefaultInterval = 100;
constexpr int kMaxInterval = 65000;
constexpr int kWholePackage = 8192;

using KelvorComm32::TZuCustomCommDevice;

const QColor kLampOff(Qt::red);
const QColor kLampOn(0, 255, 0);

int TagOf(const QWidget* w)
{
    return w->property("Tag").toInt();
}

void SetTag(QWidget* w, int value)
{
    w->setProperty("Tag", value);
}

// ComboBox2's entries by position. -1 stands for 28800, which has no
// TBaudRate member and is set on the port as a number.
constexpr int kBaudByIndex[] = {
    TZuCustomCommDevice::br110,   TZuCustomCommDevice::br300,    TZuCustomCommDevice::br600,
    TZuCustomCommDevice::br1200,  TZuCustomCommDevice::br2400,   TZuCustomCommDevice::br4800,
    TZuCustomCommDevice::br9600,  TZuCustomCommDevice::br14400,  TZuCustomCommDevice::br19200,
    -1,                           TZuCustomCommDevice::br38400,  TZuCustomCommDevice::br57600,
    TZuCustomCommDevice::br115200, TZuCustomCommDevice::br128000, TZuCustomCommDevice::br256000,
};
constexpr int kBaudEntries = static_cast<int>(sizeof(kBaudByIndex) / sizeof(kBaudByIndex[0]));

// "COM7", "com07": the COM number typed, else 0.
int TypedComNumber(const QString& Text)
{
    if (Text.size() < 4 || !Text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    long long n = 0;
    for (qsizetype i = 3; i < Text.size(); ++i) {
        const QChar c = Text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        n = n * 10 + (c.unicode() - u'0');
        if (n > 0xFFFF)
            return 0;
    }
    return static_cast<int>(n);
}

// A typed rate: a positive whole number of at most 32 bits, else 0.
unsigned long TypedRate(const QString& Text)
{
    if (Text.isEmpty() || Text.size() > 10)
        return 0;
    unsigned long long n = 0;
    for (const QChar c : Text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        n = n * 10 + (c.unicode() - u'0');
    }
    return n <= 0xFFFFFFFFull ? static_cast<unsigned long>(n) : 0;
}

QFont FormFont()
{
    QFont f;
    f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("WenQuanYi Zen Hei"),
                   QStringLiteral("Noto Sans CJK SC"), QStringLiteral("DejaVu Sans")});
    f.setPixelSize(11);
    return f;
}

QFont MemoFont()
{
    QFont f;
    f.setFamilies({QStringLiteral("黑体"), QStringLiteral("SimHei"),
                   QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Noto Sans CJK SC")});
    f.setPixelSize(14);
    f.setBold(true);
    // Hex digits and short Chinese notes need no shaping engine; laying out
    // each log line without it costs a fraction. Scripts that do need it
    // are still shaped.
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
}

} // namespace

int ParityFromText(const QString& Text)
{
    if (Text == QLatin1String("None"))
        return TZuCustomCommDevice::ptNoParity;
    if (Text == QLatin1String("Even"))
        return TZuCustomCommDevice::ptEvenParity;
    if (Text == QLatin1String("Odd"))
        return TZuCustomCommDevice::ptOddParity;
    if (Text == QLatin1String("Mark"))
        return TZuCustomCommDevice::ptMarkParity;
    if (Text == QLatin1String("Space"))
        return TZuCustomCommDevice::ptSpaceParity;
    return -1;
}

int StopBitsFromText(const QString& Text)
{
    if (Text == QLatin1String("1"))
        return TZuCustomCommDevice::sbOneStopBit;
    if (Text == QLatin1String("1.5"))
        return TZuCustomCommDevice::sbOne_5_StopBits;
    if (Text == QLatin1String("2"))
        return TZuCustomCommDevice::sbTwoStopBit;
    return -1;
}

unsigned long ReceiveSize(std::int32_t Expected)
{
    // 0 would only ask for the package's length and leave it queued;
    // a negative number means "everything" and must not outgrow the buffer.
    const auto want = static_cast<std::uint32_t>(Expected);
    if (want == 0 || want > static_cast<std::uint32_t>(kReceiveBufferSize))
        return kReceiveBufferSize;
    return want;
}

TForm1::TForm1(QWidget* Parent) : QWidget(Parent)
{
    Ui::TForm1 design;
    design.setupUi(this);
    // uic gives the lists their texts before it clears their selection;
    // give them again so the port list with nothing picked still reads
    // "COM01".
    design.retranslateUi(this);
    GroupBox1 = design.GroupBox1;
    Memo1 = design.Memo1;
    GroupBox2 = design.GroupBox2;
    Memo2 = design.Memo2;
    GroupBox3 = design.GroupBox3;
    Label1 = design.Label1;
    Shape1 = design.Shape1;
    ComboBox1 = design.ComboBox1;
    ComboBox2 = design.ComboBox2;
    ComboBox3 = design.ComboBox3;
    ComboBox4 = design.ComboBox4;
    ComboBox5 = design.ComboBox5;
    Button1 = design.Button1;
    Memo3 = design.Memo3;
    Button2 = design.Button2;
    Button3 = design.Button3;
    Label2 = design.Label2;
    Edit1 = design.Edit1;
    Label6 = design.Label6;
    Edit2 = design.Edit2;
    GroupBox4 = design.GroupBox4;
    Label4 = design.Label4;
    Memo4 = design.Memo4;
    Label5 = design.Label5;
    Memo5 = design.Memo5;

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(100);
    FLineWatch = new QTimer(this);
    FLineWatch->setInterval(kLineWatchMs);
    FListenTimer = new QTimer(this);
    FListenTimer->setSingleShot(true);

    CreateDevice();
    FLogView = new TLogView(Memo3, kShownLogLines);
    CreateLogActions();
    RebuildPortList();
    ApplyLook();
    BindEvents();
    Memo1->setFocus(Qt::OtherFocusReason);
    FormCreate(this);
}

TForm1::~TForm1()
{
    // Memo1 loses the focus while it is torn down; that is no exit.
    Memo1->removeEventFilter(this);
    Timer1->stop();
    // Closes the port and stops the library's threads before the controls
    // its handler writes to go away.
    delete ZuCommDevice1;
    ZuCommDevice1 = nullptr;
}

void TForm1::CreateDevice()
{
    // The component's stored properties, in the order the form keeps them.
    ZuCommDevice1 = new KelvorComm32::TZuCommDevice(nullptr);
    ZuCommDevice1->fSetPort(1);
    ZuCommDevice1->fSetPortName(u"COM1");
    ZuCommDevice1->fSetPkgSz(kReceiveBufferSize);
    ZuCommDevice1->OnPackage = [this](TObject* Sender, int NotifyType) {
        Toolkit::Guarded([&] { ZuCommDevice1Package(Sender, NotifyType); });
    };
    // The port's own events (one a received byte) are handled only while
    // listening (StartListening); with no handler the component does not
    // wake the UI thread for them.
}

void TForm1::CreateLogActions()
{
    auto make = [this](const char* name, const QString& text, bool checkable) {
        auto* action = new QAction(text, this);
        action->setObjectName(QLatin1String(name));
        action->setCheckable(checkable);
        return action;
    };
    ActionShowTimes = make("ActionShowTimes", QStringLiteral("显示时间和响应时间"), true);
    ActionPauseOnly = make("ActionPauseOnly", QStringLiteral("仅按停顿结束回复"), true);
    ActionRemoveEcho = make("ActionRemoveEcho", QStringLiteral("去除回显"), true);
    ActionRemoveEcho->setToolTip(QStringLiteral("两线 RS-485 适配器会把发出的帧回送：发送后先收到的字节与所发的帧相同时去掉"));
    ActionSaveLog = make("ActionSaveLog", QStringLiteral("保存记录..."), false);
    ActionClearLog = make("ActionClearLog", QStringLiteral("清空记录"), false);
    ActionScan = make("ActionScan", QStringLiteral("扫描设备..."), false);
    ActionDecode = make("ActionDecode", QStringLiteral("解析帧"), true);
    ActionListen = make("ActionListen", QStringLiteral("仅监听"), true);
    ActionListen->setToolTip(QStringLiteral("只听总线上别的主站与从站的通信，不发送"));
    ActionBuildRequest = make("ActionBuildRequest", QStringLiteral("构造请求..."), false);

    // Decoding's register format and byte order, each one of a group.
    FormatMenu = new QMenu(QStringLiteral("寄存器格式"), this);
    FormatMenu->setObjectName(QStringLiteral("FormatMenu"));
    auto group = [this](const QStringList& names, const char* prefix) {
        auto* g = new QActionGroup(this);
        for (const QString& n : names) {
            QAction* a = FormatMenu->addAction(n);
            a->setObjectName(QLatin1String(prefix) + n);
            a->setCheckable(true);
            a->setActionGroup(g);
        }
        g->actions().first()->setChecked(true);
    };
    group({QStringLiteral("u16"), QStringLiteral("s16"), QStringLiteral("hex"), QStringLiteral("u32"),
           QStringLiteral("s32"), QStringLiteral("f32"), QStringLiteral("u64"), QStringLiteral("s64"),
           QStringLiteral("f64"), QStringLiteral("ascii")},
          "ActionFormat_");
    FormatMenu->addSeparator();
    group({QStringLiteral("ABCD"), QStringLiteral("CDAB"), QStringLiteral("BADC"), QStringLiteral("DCBA")},
          "ActionOrder_");
    auto bind = [this](QAction* action, auto slot) {
        connect(action, &QAction::triggered, this, [this, slot] { Toolkit::Guarded([&] { (this->*slot)(); }); });
    };
    bind(ActionSaveLog, &TForm1::SaveLog);
    bind(ActionClearLog, &TForm1::ClearLog);
    bind(ActionScan, &TForm1::ShowScanDialog);
    bind(ActionBuildRequest, &TForm1::ShowRequestBuilder);
    connect(ActionListen, &QAction::toggled, this, [this](bool on) {
        Toolkit::Guarded([&] {
            // Nothing goes out while listening.
            StopAutoSend();
            Button2->setEnabled(!on);
            Button3->setEnabled(!on);
            if (!on)
                StopListening();
            else if (TagOf(Button1) == 1)
                StartListening();
        });
    });
    connect(ActionPauseOnly, &QAction::toggled, this, [this](bool on) {
        // Takes effect for the reply under way too; switching back waits
        // for the next request, whose reply the test is made from.
        if (on)
            ZuCommDevice1->Package()->fSetPkgEnd({});
    });
}

void TForm1::RebuildPortList()
{
    const QString text = ComboBox1->currentText();
    const int picked = ComboBox1->currentIndex();
    const QString pickedText = picked >= 0 ? ComboBox1->itemText(picked) : QString();
    while (ComboBox1->count() > kNumberedPorts)
        ComboBox1->removeItem(ComboBox1->count() - 1);
    for (const TPortEntry& entry : SystemPortEntries(kNumberedPorts)) {
        ComboBox1->addItem(entry.Name);
        if (!entry.Tip.isEmpty())
            ComboBox1->setItemData(ComboBox1->count() - 1, entry.Tip, Qt::ToolTipRole);
    }
    // Last, the built-in demo device.
    ComboBox1->addItem(QString::fromUtf16(kDemoPortName));
    ComboBox1->setItemData(ComboBox1->count() - 1, QString::fromUtf16(kDemoPortTip), Qt::ToolTipRole);

    // The entry the user had stays picked where it is still listed; a port
    // that went away leaves its name in the box.
    const int again = pickedText.isEmpty() ? -1 : ComboBox1->findText(pickedText, Qt::MatchFixedString);
    ComboBox1->setCurrentIndex(again);
    if (ComboBox1->currentText() != text)
        ComboBox1->setEditText(text);
    FitPopupWidth(ComboBox1);
}

void TForm1::ApplyLook()
{
    Toolkit::InstallFontSubstitutes();
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    move(360, 225);
    setFixedSize(705, 446);
    setFont(FormFont());

    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x00, 0x80, 0x80)); // teal
    setPalette(pal);
    setAutoFillBackground(true);

    for (QPlainTextEdit* memo : {Memo1, Memo2, Memo3}) {
        memo->setFont(MemoFont());
        QPalette mp = memo->palette();
        mp.setColor(QPalette::Base, QColor(0xA6, 0xCA, 0xF0)); // sky blue
        memo->setPalette(mp);
    }
    for (QLabel* label : {Label4, Label5}) {
        QPalette lp = label->palette();
        lp.setColor(QPalette::WindowText, Qt::white);
        label->setPalette(lp);
    }
    // Labels size themselves to their captions.
    for (QLabel* label : {Label1, Label2, Label4, Label5, Label6})
        label->adjustSize();

    Shape1->fSetBrushColor(Qt::red);
    // The rate list opens whole, as it did before it took typed rates.
    ComboBox2->setMaxVisibleItems(ComboBox2->count());
    FitPopupWidth(ComboBox2);

    Memo3->setContextMenuPolicy(Qt::CustomContextMenu);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);

    // The lists are as narrow as on the designed screen; a slimmer arrow
    // leaves room for "COM01" in the box.
    for (QComboBox* box : {ComboBox1, ComboBox2, ComboBox3, ComboBox4, ComboBox5}) {
        box->setStyleSheet(QStringLiteral("QComboBox { padding-left: 1px; } QComboBox::drop-down { width: 11px; }"));
        if (box->lineEdit())
            box->lineEdit()->setCursorPosition(0);
    }
}

void TForm1::BindEvents()
{
    Memo1->installEventFilter(this);
    Memo1->viewport()->installEventFilter(this);
    Memo3->viewport()->installEventFilter(this);
    Label5->installEventFilter(this);

    auto bind = [this](auto* sender, auto signal, void (TForm1::*handler)(QObject*)) {
        connect(sender, signal, this,
                [this, sender, handler] { Toolkit::Guarded([&] { (this->*handler)(sender); }); });
    };
    bind(Edit1, &QLineEdit::textChanged, &TForm1::Edit1Change);
    bind(Edit2, &QLineEdit::textChanged, &TForm1::Edit1Change);
    bind(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    bind(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    bind(Button3, &QPushButton::clicked, &TForm1::Button3Click);
    bind(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    connect(FLineWatch, &QTimer::timeout, this, [this] { Toolkit::Guarded([&] { WatchLine(); }); });
    connect(static_cast<TPopupComboBox*>(ComboBox1), &TPopupComboBox::aboutToShowPopup, this,
            [this] { Toolkit::Guarded([&] { RebuildPortList(); }); });
    connect(Memo3, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { Toolkit::Guarded([&] { ShowLogMenu(pos); }); });
    connect(Memo1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { Toolkit::Guarded([&] { ShowTargetMenu(pos); }); });
    connect(FListenTimer, &QTimer::timeout, this, [this] { Toolkit::Guarded([&] { ListenRead(); }); });

    // A list changes when the user picks an entry or types into its box;
    // setting it from code raises nothing, as with the original control.
    const std::array<std::pair<QComboBox*, void (TForm1::*)(QObject*)>, 5> lists = {{
        {ComboBox1, &TForm1::ComboBox1Change},
        {ComboBox2, &TForm1::ComboBox2Change},
        {ComboBox3, &TForm1::ComboBox3Change},
        {ComboBox4, &TForm1::ComboBox4Change},
        {ComboBox5, &TForm1::ComboBox5Change},
    }};
    for (const auto& [box, handler] : lists) {
        bind(box, &QComboBox::activated, handler);
        if (box->lineEdit())
            connect(box->lineEdit(), &QLineEdit::textEdited, this, [this, box = box, handler = handler] {
                Toolkit::Guarded([&] { (this->*handler)(box); });
            });
    }
}

bool TForm1::eventFilter(QObject* Watched, QEvent* Event)
{
    try {
        if (Watched == Memo1 && Event->type() == QEvent::FocusOut) {
            // Switching to another program or opening the box's context
            // menu does not leave the box.
            const auto reason = static_cast<QFocusEvent*>(Event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                Memo1Exit(Memo1);
        } else if (Event->type() == QEvent::MouseButtonDblClick) {
            if (Watched == Memo1->viewport()) {
                Memo1DblClick(Memo1);
                return true;
            }
            if (Watched == Memo3->viewport()) {
                Memo3DblClick(Memo3);
                return true;
            }
        } else if (Watched == Label5 && Event->type() == QEvent::MouseButtonRelease) {
            auto* me = static_cast<QMouseEvent*>(Event);
            if (me->button() == Qt::LeftButton && Label5->rect().contains(me->position().toPoint()))
                Label5Click(Label5);
        }
    } catch (...) {
        Toolkit::HandleCurrentException();
    }
    return QWidget::eventFilter(Watched, Event);
}

void TForm1::FormCreate(QObject*)
{
    // The frame is not computed until the focus first leaves the box.
    Memo1->setPlainText(QString::fromUtf16(kDefaultFrameText));
    Edit1Change(Edit1);
}

void TForm1::Memo1Exit(QObject*)
{
    CalculateCRC();
}

void TForm1::Memo1DblClick(QObject*)
{
    Memo1->setPlainText(QString());
}

void TForm1::Memo3DblClick(QObject*)
{
    ClearLog();
}

void TForm1::AddLogLine(const QString& Line, std::optional<double> ResponseMs)
{
    LogLine = ActionShowTimes->isChecked() ? TimedLine(Line, QDateTime::currentDateTime(), ResponseMs) : Line;
    FLogView->Append(LogLine);
    FLogStore.Append(LogLine);
}

void TForm1::AddPlainLogLine(const QString& Line)
{
    LogLine = Line;
    FLogView->Append(LogLine);
    FLogStore.Append(LogLine);
}

TDecodeOptions TForm1::DecodeOptions() const
{
    TDecodeOptions o;
    for (QAction* a : FormatMenu->actions()) {
        if (!a->isChecked())
            continue;
        if (const auto f = RegisterFormatNamed(a->text()))
            o.Format = *f;
        else if (const auto order = ByteOrderNamed(a->text()))
            o.Order = *order;
    }
    return o;
}

void TForm1::ShowTargetMenu(const QPoint& Pos)
{
    QMenu* menu = Memo1->createStandardContextMenu(Pos);
    menu->setObjectName(QStringLiteral("TargetMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addAction(ActionBuildRequest);
    QMenu* recent = menu->addMenu(QStringLiteral("最近发送"));
    recent->setObjectName(QStringLiteral("RecentMenu"));
    recent->setEnabled(!FRecent.isEmpty());
    for (const QString& frame : FRecent) {
        recent->addAction(frame, this, [this, frame] {
            Toolkit::Guarded([&] {
                Memo1->setPlainText(frame);
                CalculateCRC();
            });
        });
    }
    menu->popup(Memo1->viewport()->mapToGlobal(Pos));
}

void TForm1::RememberSent(const TByteDynArray& Frame)
{
    // The frame as typed: without its CRC.
    const QString text = HexText(Frame.data(), Frame.size() >= 2 ? Frame.size() - 2 : 0).trimmed();
    FRecent.removeAll(text);
    FRecent.prepend(text);
    while (FRecent.size() > kRecentFrames)
        FRecent.removeLast();
}

void TForm1::ShowRequestBuilder()
{
    if (FRequestDialog) {
        FRequestDialog->raise();
        return;
    }
    FRequestDialog = new TRequestDialog(this, [this](const QString& Frame) {
        Memo1->setPlainText(Frame);
        CalculateCRC();
    });
    FRequestDialog->setAttribute(Qt::WA_DeleteOnClose);
    FRequestDialog->setWindowModality(Qt::WindowModal);
    FRequestDialog->show();
}

TRequestDialog* TForm1::RequestDialog() const
{
    return FRequestDialog.data();
}

void TForm1::StartListening()
{
    const KelvorComm32::TComm32* port = ZuCommDevice1->Comm();
    TLineSettings line;
    line.Baud = port->Baud();
    line.DataBits = port->ByteSize();
    line.Parity = port->Parity();
    line.StopBits = port->StopBits();
    // The package layer lets go of the port; its bytes come here.
    ZuCommDevice1->fSetUsePackage(false);
    FBusCounts = std::make_unique<TBusCounts>();
    FSplitter = std::make_unique<TFrameSplitter>(TBusTiming::ForLine(line), KelvorComm32::TComm32::RxTimeNow(),
                                                 [this](const TBusFrame& Frame) { LogBusFrame(Frame); });
    // Events reach the handler on this thread, so it may change while the
    // port runs; bytes that came before are read just below.
    ZuCommDevice1->OnCommNotify = [this](TObject*, int NotifyType) {
        if ((NotifyType & EV_RXCHAR) && FSplitter)
            Toolkit::Guarded([&] { ListenRead(); });
    };
    ListenRead();
}

void TForm1::StopListening()
{
    if (!FSplitter)
        return;
    ZuCommDevice1->OnCommNotify = TCommNotifyEvent();
    FListenTimer->stop();
    ListenRead();
    FSplitter->Finish();
    FSplitter.reset();
    FBusCounts.reset();
    if (TagOf(Button1) == 1)
        ZuCommDevice1->fSetUsePackage(true);
}

void TForm1::ListenRead()
{
    if (!FSplitter)
        return;
    KelvorComm32::TComm32* port = ZuCommDevice1->Comm();
    std::uint8_t buffer[4096];
    long n = 0;
    while ((n = port->Read(buffer, sizeof buffer)) > 0)
        FSplitter->Feed(buffer, static_cast<std::size_t>(n), port->LastRxTime());
    FSplitter->Poll(KelvorComm32::TComm32::RxTimeNow());
    // A frame the rules cannot size ends on silence: look again then.
    if (const auto deadline = FSplitter->Deadline()) {
        const std::int64_t left = *deadline - KelvorComm32::TComm32::RxTimeNow();
        FListenTimer->start(static_cast<int>(std::clamp<std::int64_t>(left / 1'000'000 + 1, 1, 1000)));
    }
}

void TForm1::LogBusFrame(const TBusFrame& Frame)
{
    FBusCounts->Add(Frame);
    if (ActionShowTimes->isChecked()) {
        const std::int64_t ago = KelvorComm32::TComm32::RxTimeNow() - Frame.End;
        AddPlainLogLine(TimedBusLine(Frame, QDateTime::currentDateTime().addMSecs(-ago / 1'000'000)));
    } else {
        AddPlainLogLine(BusLine(Frame));
    }
    if (ActionDecode->isChecked()) {
        const QString decoded = DecodedBusLine(Frame, DecodeOptions());
        if (!decoded.isEmpty())
            AddPlainLogLine(decoded);
    }
}

void TForm1::ClearLog()
{
    FLogView->Clear();
    FLogStore.Clear();
    FExchange.Clear();
}

void TForm1::SaveLog()
{
    const QString suggested =
        QStringLiteral("modbus-log-%1.txt").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const QString path = Toolkit::AskSaveFileName(this, QStringLiteral("保存记录"), suggested,
                                                  QStringLiteral("文本文件 (*.txt);;所有文件 (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!FLogStore.SaveTo(path, error))
        Toolkit::ShowMessage(QStringLiteral("记录保存失败：%1\n%2").arg(path, error));
}

void TForm1::ShowLogMenu(const QPoint& Pos)
{
    QMenu* menu = Memo3->createStandardContextMenu(Pos);
    menu->setObjectName(QStringLiteral("LogMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addAction(ActionShowTimes);
    menu->addAction(ActionPauseOnly);
    menu->addAction(ActionRemoveEcho);
    menu->addAction(ActionDecode);
    menu->addMenu(FormatMenu);
    menu->addAction(ActionListen);
    menu->addSeparator();
    menu->addAction(ActionSaveLog);
    menu->addAction(ActionClearLog);
    menu->addSeparator();
    menu->addAction(ActionScan);
    menu->addSeparator();
    FExchange.Settle(KelvorComm32::TComm32::RxTimeNow());
    // While listening, what the monitor counted on the bus.
    const QStringList counts = FBusCounts ? FBusCounts->Summary().split(QLatin1Char('\n'))
                                          : QStringList{FExchange.Counts().CountsText(), FExchange.Counts().TimesText()};
    for (const QString& text : counts) {
        QAction* line = menu->addAction(text);
        line->setObjectName(QStringLiteral("LogCounts"));
        line->setEnabled(false);
    }
    menu->popup(Memo3->viewport()->mapToGlobal(Pos));
}

void TForm1::ShowScanDialog()
{
    // The scan needs the port to itself; automatic sending stops with it.
    SwitchPort(false);
    TScanDialog::TSetup setup;
    for (int i = 0; i < ComboBox1->count(); ++i)
        setup.Ports << ComboBox1->itemText(i);
    setup.Port = ComboBox1->currentText().trimmed();
    const unsigned long rate = TypedRate(ComboBox2->currentText().trimmed());
    setup.Baud = rate > 0 ? rate : 9600;
    setup.DataBits = 4 + std::max(ComboBox4->currentIndex(), 0);
    setup.RemoveEcho = ActionRemoveEcho->isChecked();
    setup.DeviceFor = [](const QString& Text) -> QString {
        if (Text.compare(QString::fromUtf16(kDemoPortName), Qt::CaseInsensitive) == 0)
            return {};
        const int n = TypedComNumber(Text);
        return n > 0 ? QStringLiteral("COM%1").arg(n) : Text; // COM03 is COM3; a name opens that device
    };
    setup.Use = [this](const QString& Port, const TScanAnswer& Answer) {
        UseScanned(Port, Answer);
        if (FScanDialog)
            FScanDialog->accept();
    };
    if (FScanDialog)
        FScanDialog->close();
    FScanDialog = new TScanDialog(this, std::move(setup));
    FScanDialog->setAttribute(Qt::WA_DeleteOnClose);
    FScanDialog->setWindowModality(Qt::WindowModal);
    FScanDialog->show();
}

TScanDialog* TForm1::ScanDialog() const
{
    return FScanDialog.data();
}

void TForm1::UseScanned(const QString& Port, const TScanAnswer& Answer)
{
    SwitchPort(false);
    auto pick = [](QComboBox* box, const QString& text) {
        const int i = box->findText(text, Qt::MatchFixedString);
        if (i >= 0)
            box->setCurrentIndex(i);
        else if (box->isEditable())
            box->setEditText(text);
    };
    pick(ComboBox1, Port);
    pick(ComboBox2, QString::number(Answer.Line.Baud));
    static const char* const kParityTexts[] = {"None", "Odd", "Even", "Mark", "Space"};
    if (Answer.Line.Parity >= 0 && Answer.Line.Parity <= 4)
        pick(ComboBox3, QLatin1String(kParityTexts[Answer.Line.Parity]));
    ComboBox4->setCurrentIndex(Answer.Line.DataBits - 4);
    pick(ComboBox5, Answer.Line.StopBits == TWOSTOPBITS ? QStringLiteral("2")
                    : Answer.Line.StopBits == ONE5STOPBITS ? QStringLiteral("1.5")
                                                            : QStringLiteral("1"));

    // The address goes where the target's first byte is, digits in place.
    const QString text = WithFirstByte(Memo1->toPlainText(), static_cast<std::uint8_t>(Answer.Id));
    Memo1->setPlainText(text);
    CalculateCRC();
}

void TForm1::Label5Click(QObject*)
{
    Toolkit::OpenLink(QString::fromLatin1(kAlgorithmPageUrl));
}

void TForm1::Edit1Change(QObject*)
{
    // Both edits run this; it only ever looks at Edit1. Writing "100" back
    // raises this handler again, which then finds a valid interval and stops.
    const QString text = Edit1->text();
    if (text.isEmpty()) {
        SendInterval = kDefaultInterval;
        Edit1->setText(QString::number(kDefaultInterval));
    } else {
        // A non-number throws here, before anything has changed.
        SendInterval = StrToInt(text.toStdU16String());
    }
    const auto asUnsigned = static_cast<std::uint32_t>(SendInterval);
    if (asUnsigned >= 1 && asUnsigned <= static_cast<std::uint32_t>(kMaxInterval)) {
        Timer1->setInterval(SendInterval);
    } else {
        SendInterval = kDefaultInterval;
        Edit1->setText(QString::number(kDefaultInterval));
        // The change notification has normally done this already.
        Timer1->setInterval(kDefaultInterval);
    }
}

void TForm1::CalculateCRC()
{
    // The box grows by one space at every computation; the scan stops before it.
    const QString text = Memo1->toPlainText() + QChar(u' ');
    Memo1->setPlainText(text);

    // Nothing stale may stay behind for a running automatic send: a text
    // without digits leaves an empty frame, which the send path refuses.
    FrameBytes.clear();
    const QString scanned = text.left(text.size() - 1);
    if (!HasHexDigit(scanned)) {
        Memo2->setPlainText(QString());
        Toolkit::ShowMessage(QString::fromUtf16(kEmptyTargetMessage));
        return;
    }
    const TByteDynArray data = HexBytes(scanned);
    FrameBytes = WithCrc(data.data(), data.size());
    Memo2->setPlainText(HexText(FrameBytes.data(), FrameBytes.size()));
}

void TForm1::UpdateExpectedLength(const TByteDynArray& Frame)
{
    const QString text = Edit2->text();
    if (!text.isEmpty()) {
        ExpectedLength = StrToInt(text.toStdU16String());
        if (ExpectedLength == 0)
            Edit2->setText(QStringLiteral("0"));
    } else {
        ExpectedLength = kWholePackage;
        Edit2->setText(QString::number(kWholePackage));
    }
    if (ExpectedLength != 0)
        return;

    const int fromTable = ReplyLengthFor(Frame);
    if (fromTable >= 0) {
        ExpectedLength = fromTable;
        return;
    }
    Toolkit::ShowMessage(QString::fromUtf16(kReplyLengthAdvice));
    Edit2->setText(QString::number(kWholePackage));
    ExpectedLength = StrToInt(Edit2->text().toStdU16String());
}

void TForm1::SwitchPort(bool Open)
{
    if (!Open) {
        StopListening();
        Button1->setText(QStringLiteral("打开"));
        Shape1->fSetBrushColor(kLampOff);
        // The panel ends up closed even if closing the port fails; the
        // failure itself goes on to the application's display.
        std::exception_ptr closeError;
        try {
            ZuCommDevice1->fSetActive(false);
        } catch (...) {
            closeError = std::current_exception();
        }
        FDemo.reset();
        FLineWatch->stop();
        StopAutoSend();
        SetTag(Button1, 0);
        Button1->setToolTip(QStringLiteral("点击打开串口"));
        if (closeError)
            std::rethrow_exception(closeError);
        return;
    }

    bool demo = false;
    ChoosePort(demo);
    QString rateProblem;
    const bool rateOk = ChooseRate(rateProblem);

    QString lineProblem;
    const bool lineOk = ChooseLineSettings(lineProblem);
    ZuCommDevice1->fSetFlCtrl(TZuCustomCommDevice::fcNone);

    Button1->setText(QStringLiteral("关闭"));
    Shape1->fSetBrushColor(kLampOn);
    SetTag(Button1, 1);

    auto showClosed = [this] {
        Button1->setText(QStringLiteral("打开"));
        Shape1->fSetBrushColor(kLampOff);
        SetTag(Button1, 0);
        FDemo.reset();
    };
    FOpenedName = ComboBox1->currentText();
    const QString failed = OpenFailedLine(FOpenedName) + QLatin1Char('\n');
    bool opened = false;
    try {
        if (!rateOk)
            throw Exception(rateProblem.toStdU16String());
        if (!lineOk)
            throw Exception(lineProblem.toStdU16String());
        if (demo) {
            FDemo = std::make_unique<TDemoDevice>(); // raises Exception when it cannot
            ZuCommDevice1->fSetPortName(FromUtf8(FDemo->PortPath()));
        }
        ZuCommDevice1->fSetActive(true);
        opened = true;
    } catch (const KelvorComm32::EComm32Error& e) {
        showClosed();
        Toolkit::ShowMessage(failed + OpenFailureCause(e, *ZuCommDevice1->Comm()));
    } catch (const Exception& e) {
        showClosed();
        Toolkit::ShowMessage(failed + QString::fromStdU16String(e.Message()));
    } catch (...) {
        // Not an opening failure we report ourselves, but the panel must
        // not claim an open port either.
        showClosed();
        try {
            ZuCommDevice1->fSetActive(false);
        } catch (...) {
        }
        throw;
    }

    ZuCommDevice1->fSetPkgSz(kReceiveBufferSize);
    ZuCommDevice1->fSetPkgType(KelvorComm32::cptFrameTimeout);
    ZuCommDevice1->fSetUsePackage(true);
    // A slow line needs a longer pause, or the pause cuts replies between
    // characters.
    const KelvorComm32::TComm32* port = ZuCommDevice1->Comm();
    ZuCommDevice1->fSetPkgInterval(static_cast<long>(
        PackagePauseMs(port->Baud(), port->ByteSize(), port->Parity(), port->StopBits())));

    if (opened) {
        Button1->setToolTip(QStringLiteral("点击关闭串口"));
        FLineWatch->start();
        if (ActionListen->isChecked())
            StartListening();
    }
}

void TForm1::ChoosePort(bool& Demo)
{
    const QString text = ComboBox1->currentText().trimmed();
    const int entry = text.isEmpty() ? -1 : ComboBox1->findText(text, Qt::MatchFixedString);
    if (entry >= 0) {
        ComboBox1->setCurrentIndex(entry);
        Demo = ComboBox1->itemText(entry) == QString::fromUtf16(kDemoPortName);
        if (entry >= kNumberedPorts)
            ZuCommDevice1->fSetPortName(ComboBox1->itemText(entry).toStdU16String()); // listed by name
        else
            ZuCommDevice1->fSetPort(entry + 1);
        return;
    }
    Demo = false;
    const int n = TypedComNumber(text);
    if (n >= 1 && n <= kNumberedPorts) {
        ComboBox1->setCurrentIndex(n - 1); // COM3 is the entry COM03
        ZuCommDevice1->fSetPort(n);
        return;
    }
    if (text.isEmpty()) {
        ZuCommDevice1->fSetPort(0); // nothing named: keep the present port
        return;
    }
    // Not an entry: nothing stays picked that could be taken for it.
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->setEditText(text);
    if (n > 0)
        ZuCommDevice1->fSetPort(n);
    else
        ZuCommDevice1->fSetPortName(text.toStdU16String()); // ttyUSB1, /dev/serial/by-id/...
}

bool TForm1::ChooseRate(QString& Reason)
{
    const QString text = ComboBox2->currentText().trimmed();
    const int entry = text.isEmpty() ? -1 : ComboBox2->findText(text, Qt::MatchFixedString);
    if (entry >= 0 && entry < kBaudEntries) {
        ComboBox2->setCurrentIndex(entry);
        if (kBaudByIndex[entry] < 0)
            ZuCommDevice1->Comm()->fSetBaud(28800);
        else
            ZuCommDevice1->fSetBaud(static_cast<TZuCustomCommDevice::TBaudRate>(kBaudByIndex[entry]));
        return true;
    }
    if (const unsigned long rate = TypedRate(text); rate > 0) {
        ZuCommDevice1->Comm()->fSetBaud(rate);
        return true;
    }
    Reason = QStringLiteral("波特率“%1”无效：请选一项，或填一个正整数。").arg(text);
    return false;
}

bool TForm1::ChooseLineSettings(QString& Reason)
{
    // The parity and stop-bit boxes take typed text too: it must name an
    // entry (any case), as a typed rate must be a number.
    auto entry = [](QComboBox* box) {
        const QString text = box->currentText().trimmed();
        const int i = text.isEmpty() ? -1 : box->findText(text, Qt::MatchFixedString);
        if (i >= 0)
            box->setCurrentIndex(i);
        return i;
    };
    const int parity = entry(ComboBox3) >= 0 ? ParityFromText(ComboBox3->currentText()) : -1;
    if (parity < 0) {
        Reason = QStringLiteral("校验方式“%1”无效：请选一项。").arg(ComboBox3->currentText());
        return false;
    }
    const int stopBits = entry(ComboBox5) >= 0 ? StopBitsFromText(ComboBox5->currentText()) : -1;
    if (stopBits < 0) {
        Reason = QStringLiteral("停止位“%1”无效：请选一项。").arg(ComboBox5->currentText());
        return false;
    }
    ZuCommDevice1->fSetParity(static_cast<TZuCustomCommDevice::TParity>(parity));
    ZuCommDevice1->fSetStopBits(static_cast<TZuCustomCommDevice::TStopBits>(stopBits));
    // "4" to "8"; a port refuses 4 with the reason said at opening.
    ZuCommDevice1->fSetByteSize(4 + std::max(ComboBox4->currentIndex(), 0));
    return true;
}

void TForm1::StopAutoSend()
{
    Timer1->stop();
    Button3->setText(QStringLiteral("自动发送"));
    SetTag(Button3, 0);
}

void TForm1::WatchLine()
{
    if (TagOf(Button1) != 1 || !ZuCommDevice1->Comm()->DeviceLost())
        return;
    const QString name = FOpenedName;
    SwitchPort(false);
    AddLogLine(QStringLiteral("[%1已断开]").arg(name));
    Toolkit::ShowMessage(name + QStringLiteral("已断开！\n设备已拔出，或线路另一端已关闭；接好后可重新打开。"));
}

void TForm1::SendFrame()
{
    // An empty frame (a target text without digits) is nothing to send,
    // and nothing is sent while listening.
    if (FrameBytes.empty() || ActionListen->isChecked())
        return;
    const TByteDynArray buffer = FrameBytes;
    // Nothing is logged that would not reach the line whole; said once,
    // since automatic sending stops with it.
    if (buffer.size() > kMaxRtuFrame) {
        StopAutoSend();
        Toolkit::ShowMessage(QString::fromUtf16(kFrameTooLongMessage).arg(buffer.size()));
        return;
    }

    // A reply length that is no number stops the send before anything is
    // logged or written, and stops automatic sending, so its message comes
    // once and the user can reach the controls.
    const std::u16string expected = Edit2->text().toStdU16String();
    int unused = 0;
    if (!expected.empty() && !TryStrToInt(expected, unused)) {
        StopAutoSend();
        StrToInt(expected); // raises the conversion error
    }

    AddLogLine(TxLine(buffer.data(), buffer.size()));
    if (ActionDecode->isChecked())
        AddPlainLogLine(DecodeRequest(buffer.data(), buffer.size(), DecodeOptions()));
    RememberSent(buffer);

    UpdateExpectedLength(buffer); // a non-numeric Edit2 throws: nothing is written
    ApplyReplyEnd(buffer);
    const std::int64_t handed = KelvorComm32::TComm32::RxTimeNow();
    if (ZuCommDevice1->WritePackage(buffer.data(), static_cast<unsigned long>(buffer.size())) > 0) {
        const KelvorComm32::TComm32* port = ZuCommDevice1->Comm();
        const double charMs = CharacterMs(port->Baud(), port->ByteSize(), port->Parity(), port->StopBits());
        FExchange.Sent(buffer, handed, ActionRemoveEcho->isChecked(), TExchange::WindowFor(buffer, charMs));
    }
}

void TForm1::ApplyReplyEnd(const TByteDynArray& Request)
{
    ZuCommDevice1->Package()->fSetPkgEnd(ActionPauseOnly->isChecked() ? KelvorComm32::TCommPackageEndEvent()
                                                                      : PackageEndTest(Request));
}

void TForm1::ReceiveFrame()
{
    // The whole package: an echo is told by all of it; the reply length box
    // limits only what is shown.
    std::vector<std::uint8_t> buffer(kReceiveBufferSize);
    const unsigned long n = ZuCommDevice1->ReadPackage(buffer.data(), kReceiveBufferSize);
    if (n == 0)
        return;

    // Timed and credited by the moment the package's last byte was read, not
    // by now: with the pause rule the package is announced a pause later.
    std::int64_t lastByte = ZuCommDevice1->Package()->LastPackageTime();
    if (lastByte == 0)
        lastByte = KelvorComm32::TComm32::RxTimeNow();
    const TExchange::TReceipt r = FExchange.Received(buffer.data(), n, ReceiveSize(ExpectedLength), lastByte);
    if (r.Dropped || r.Length == 0)
        return;
    const std::uint8_t* rx = buffer.data() + r.Offset;
    AddLogLine(RxLine(rx, r.Length, r.EchoMismatch), r.ResponseMs);
    if (ActionDecode->isChecked())
        AddPlainLogLine(DecodeReceived(rx, r.Length, r.RequestFrame.data(), r.RequestFrame.size(), DecodeOptions()));
}

void TForm1::Button1Click(QObject*)
{
    SwitchPort(TagOf(Button1) == 0);
}

void TForm1::Button2Click(QObject*)
{
    if (TagOf(Button1) == 0)
        SwitchPort(true);
    const bool empty = Memo2->toPlainText().isEmpty();
    if (TagOf(Button1) == 1 && !empty) {
        SendFrame();
        return;
    }
    if (empty)
        Toolkit::ShowMessage(QString::fromUtf16(kEmptySendMessage));
}

void TForm1::Button3Click(QObject*)
{
    if (TagOf(Button1) == 0)
        SwitchPort(true);
    if (TagOf(Button3) == 1 || TagOf(Button1) != 1) {
        StopAutoSend();
    } else if (!Memo2->toPlainText().isEmpty()) {
        // The first frame goes out one interval from now.
        Timer1->start();
        Button3->setText(QStringLiteral("停止发送"));
        SetTag(Button3, 1);
    } else {
        Toolkit::ShowMessage(QString::fromUtf16(kEmptySendMessage));
    }
}

void TForm1::Timer1Timer(QObject*)
{
    SendFrame();
}

// A change of any list closes the port; the new setting applies at the next
// opening.
void TForm1::ComboBox1Change(QObject*) { SwitchPort(false); }
void TForm1::ComboBox2Change(QObject*) { SwitchPort(false); }
void TForm1::ComboBox3Change(QObject*) { SwitchPort(false); }
void TForm1::ComboBox4Change(QObject*) { SwitchPort(false); }
void TForm1::ComboBox5Change(QObject*) { SwitchPort(false); }

void TForm1::ZuCommDevice1Package(TObject*, int NotifyType)
{
    // Only "a package has been received"; write-queue-empty and the port's
    // open/close notice carry nothing to read.
    if (NotifyType == 1)
        ReceiveFrame();
}
