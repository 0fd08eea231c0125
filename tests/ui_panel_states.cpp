// The serial panel's states and transitions, its sending and receiving over a
// pseudo-terminal, the list settings, and the system ports in the port list.
#include "tests/support/PanelFixture.h"

#include <QAction>
#include <QMouseEvent>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace paneltest;
using KelvorComm32::TZuCustomCommDevice;
using testsupport::Bytes;
using testsupport::HexBytes;
using testsupport::PtyPair;

namespace {

const QString kFrameText = QStringLiteral("01 03 00 00 00 0A");
const QString kTxLine = QStringLiteral("TX:01 03 00 00 00 0A C5 CD ");
const Bytes kFrame = HexBytes("01 03 00 00 00 0A C5 CD");

class PtyPanel : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        fMap.map(1, fPty.slavePath());
        fMap.map(2, fPty2.slavePath());
        fMap.map(3, "/nonexistent/kelvor-panel-test");
        MakeForm();
    }

    // Whatever has reached the far end and not been read yet.
    static Bytes Pending(PtyPair& pty) { return pty.read(4096, 100ms); }

    void DoubleClick(QWidget* w)
    {
        QPointF at(5, 5);
        QMouseEvent ev(QEvent::MouseButtonDblClick, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                       Qt::NoModifier);
        QApplication::sendEvent(w, &ev);
    }

    PtyPair fPty;
    PtyPair fPty2;
};

} // namespace

// With no entry picked, opening uses the component's own "COM1"; Button1
// toggles between Closed and Open.
TEST_F(PtyPanel, ButtonOneOpensComOneAndCloses)
{
    ExpectClosed();
    EXPECT_EQ(fDev->PortNo(), 1);
    EXPECT_EQ(fDev->PortName(), u"COM1");

    fForm->Button1->click();
    ExpectOpen(false);
    EXPECT_EQ(fForm->ComboBox1->currentIndex(), 0); // the text "COM01" names that entry
    EXPECT_EQ(fDev->PortName(), u"COM1");
    fPty.write(HexBytes("01 01 01 49 90 7E"));
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("RX:01 01 01 49 90 7E ")});

    fForm->Button1->click();
    ExpectClosed();
    fForm->Button1->click();
    ExpectOpen(false);
    EXPECT_TRUE(fMessages.empty());
}

// Manual send while Closed opens and sends in the same click; with an empty
// result it opens and then refuses.
TEST_F(PtyPanel, ManualSendFromClosed)
{
    fForm->Button2->click();
    ExpectOpen(false);
    EXPECT_EQ(fMessages, std::vector<QString>{kEmptySend});
    EXPECT_TRUE(Lines().isEmpty());

    fForm->Button1->click();
    EnterFrame(kFrameText);
    fMessages.clear();
    fForm->Button2->click();
    ExpectOpen(false);
    EXPECT_EQ(Lines(), QStringList{kTxLine});
    EXPECT_EQ(Wire(fPty, kFrame.size()), kFrame);
    EXPECT_TRUE(fMessages.empty());

    // Open: every click sends, with a TX line even when nothing answers.
    fForm->Button2->click();
    fForm->Button2->click();
    EXPECT_EQ(Lines(), (QStringList{kTxLine, kTxLine, kTxLine}));
    Bytes twice = kFrame;
    twice.insert(twice.end(), kFrame.begin(), kFrame.end());
    EXPECT_EQ(Wire(fPty, twice.size()), twice);
}

// Button3 from Closed opens and starts sending at the first tick, not at
// once; each tick sends one frame; Button3 again stops.
TEST_F(PtyPanel, AutomaticSendingOnAndOff)
{
    EnterFrame(kFrameText);
    fForm->Edit1->setText(QStringLiteral("50"));
    fForm->Button3->click();
    ExpectOpen(true);
    EXPECT_TRUE(Lines().isEmpty());
    EXPECT_TRUE(Pending(fPty).empty());

    ASSERT_EQ(Wire(fPty, 3 * kFrame.size()).size(), 3 * kFrame.size());
    fForm->Button3->click();
    ExpectOpen(false);
    const int sent = CountLines(QStringLiteral("TX:"));
    EXPECT_GE(sent, 3);
    // Nothing more goes out once stopped: the wire holds exactly one frame
    // per TX line.
    Bytes rest = Wire(fPty, (sent - 3) * kFrame.size());
    EXPECT_EQ(rest.size(), (sent - 3) * kFrame.size());
    PumpFor(300ms);
    EXPECT_EQ(CountLines(QStringLiteral("TX:")), sent);
    EXPECT_TRUE(Pending(fPty).empty());

    // A tick sends whatever the state.
    fForm->Timer1Timer(fForm->Timer1);
    EXPECT_EQ(CountLines(QStringLiteral("TX:")), sent + 1);
    EXPECT_EQ(Wire(fPty, kFrame.size()), kFrame);
    EXPECT_TRUE(fMessages.empty());
}

TEST_F(PtyPanel, AutomaticSendingRefusesAnEmptyResult)
{
    fForm->Button1->click();
    fForm->Button3->click();
    EXPECT_EQ(fMessages, std::vector<QString>{kEmptySend});
    ExpectOpen(false);

    // From Closed: the port opens, sending does not start.
    fForm->Button1->click();
    fMessages.clear();
    fForm->Button3->click();
    EXPECT_EQ(fMessages, std::vector<QString>{kEmptySend});
    ExpectOpen(false);
}

// Button1 and a change of the port or rate list close the panel, also while
// sending automatically; the next opening takes the new port.
TEST_F(PtyPanel, ClosingTransitions)
{
    EnterFrame(kFrameText);
    const std::vector<std::pair<const char*, std::function<void()>>> closers = {
        {"Button1", [&] { fForm->Button1->click(); }},
        {"ComboBox1", [&] { Pick(fForm->ComboBox1, 1); }},
        {"ComboBox2", [&] { Pick(fForm->ComboBox2, 12); }},
    };
    for (const auto& [name, close] : closers) {
        SCOPED_TRACE(name);
        for (bool automatic : {false, true}) {
            fForm->Button1->click();
            if (automatic)
                fForm->Button3->click();
            ExpectOpen(automatic);
            close();
            ExpectClosed();
        }
    }
    // COM02 and 115200 picked above.
    fForm->Button2->click();
    EXPECT_EQ(fDev->PortNo(), 2);
    EXPECT_EQ(fDev->Baud(), TZuCustomCommDevice::br115200);
    EXPECT_EQ(Wire(fPty2, kFrame.size()), kFrame);
    EXPECT_TRUE(Pending(fPty).empty());
    EXPECT_TRUE(fMessages.empty());
}

// A port that cannot be opened: the message names the list's text, the panel
// stays Closed, and neither a frame nor automatic sending goes ahead.
TEST_F(PtyPanel, FailingOpenLeavesThePanelClosed)
{
    EnterFrame(kFrameText);
    Pick(fForm->ComboBox1, 2); // COM03, mapped to a missing device
    const QString failed = QStringLiteral("COM03") + kOpenFailed;

    fForm->Button1->click();
    EXPECT_EQ(FirstLines(), std::vector<QString>{failed});
    ExpectClosed();

    fMessages.clear();
    fForm->Button2->click();
    EXPECT_EQ(FirstLines(), std::vector<QString>{failed});
    EXPECT_TRUE(Lines().isEmpty());
    ExpectClosed();

    fMessages.clear();
    fForm->Button3->click();
    EXPECT_EQ(FirstLines(), std::vector<QString>{failed});
    ExpectClosed();

    // A working port afterwards opens as usual.
    Pick(fForm->ComboBox1, 0);
    fMessages.clear();
    fForm->Button2->click();
    ExpectOpen(false);
    EXPECT_EQ(Wire(fPty, kFrame.size()), kFrame);
    EXPECT_TRUE(fMessages.empty());
}

// Only NotifyType 1 reads a package; a package that is gone by the time its
// notification arrives adds no line.
TEST_F(PtyPanel, OnlyNotificationOneReadsAPackage)
{
    fForm->Button1->click();
    fPty.write(HexBytes("01 01 01 49 90 7E"));
    // Wait for the package without running the event loop, so it is still
    // queued when the handler is called by hand.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fDev->ReadPackage(static_cast<void*>(nullptr)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(fDev->ReadPackage(static_cast<void*>(nullptr)));

    for (int type : {0, 4, 5, 0x38, 0x101})
        fForm->ZuCommDevice1Package(fDev, type);
    EXPECT_TRUE(Lines().isEmpty());

    fForm->ZuCommDevice1Package(fDev, 1);
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("RX:01 01 01 49 90 7E ")});

    // The posted notification of that package now finds the queue empty.
    PumpFor(300ms);
    EXPECT_EQ(Lines().size(), 1);
}

// With ExpectedLength 0 (nothing sent yet, or a rule result of 0) a package
// is taken whole, logged and checked, and leaves the queue.
TEST_F(PtyPanel, ZeroExpectedLengthTakesTheWholePackage)
{
    fForm->Button1->click();
    ASSERT_EQ(ExpectedLength, 0);
    fPty.write(HexBytes("01 02 03"));
    ASSERT_TRUE(WaitLines(1));
    fPty.write(HexBytes("01 01 01 49 90 7E"));
    ASSERT_TRUE(WaitLines(2));
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("RX:01 02 03 ") + kCheckFailed,
                                    QStringLiteral("RX:01 01 01 49 90 7E ")}));

    // Read file record with a byte count of 0: the table gives 0.
    fForm->Edit2->setText(QStringLiteral("0"));
    EnterFrame(QStringLiteral("01 14 00"));
    fForm->Button2->click();
    ASSERT_EQ(ExpectedLength, 0);
    Bytes reply = HexBytes("01 14 00 FF FF");
    fPty.write(reply);
    ASSERT_TRUE(WaitLines(4));
    EXPECT_EQ(Lines().at(3), QStringLiteral("RX:01 14 00 FF FF ") + kCheckFailed);
    EXPECT_TRUE(fMessages.empty());
}

// A target text without digits while sending automatically: the ticks send
// nothing and log nothing, and sending goes on once there is a frame again.
TEST_F(PtyPanel, EmptyFrameDuringAutomaticSendingSendsNothing)
{
    EnterFrame(kFrameText);
    fForm->Edit1->setText(QStringLiteral("50"));
    fForm->Button3->click();
    EnterFrame(QStringLiteral("xyz"));
    EXPECT_EQ(fMessages, std::vector<QString>{QStringLiteral("目标字串为空或无有效字符！")});
    EXPECT_TRUE(FrameBytes.empty());

    PumpFor(400ms);
    fForm->Timer1Timer(fForm->Timer1);
    EXPECT_TRUE(Lines().isEmpty());
    EXPECT_TRUE(Pending(fPty).empty());
    ExpectOpen(true);

    EnterFrame(kFrameText);
    EXPECT_EQ(Wire(fPty, kFrame.size()), kFrame);
    EXPECT_TRUE(CountLines(QStringLiteral("TX:")) >= 1);
}

// Emptying the log by double-click changes nothing else.
TEST_F(PtyPanel, ClearingTheLogKeepsTheState)
{
    EnterFrame(kFrameText);
    fForm->Edit1->setText(QStringLiteral("100"));
    fForm->Button3->click();
    ASSERT_TRUE(WaitLines(2));
    DoubleClick(fForm->Memo3->viewport());
    EXPECT_TRUE(fForm->Memo3->toPlainText().isEmpty());
    ExpectOpen(true);
    EXPECT_EQ(fForm->Memo2->toPlainText(), QStringLiteral("01 03 00 00 00 0A C5 CD "));
    EXPECT_EQ(FrameBytes, TByteDynArray(kFrame.begin(), kFrame.end()));
    ASSERT_TRUE(WaitLines(1)); // and sending goes on
    EXPECT_EQ(Lines().front(), kTxLine);
}

// On screen, the log's drawing waits a moment while lines come, so that a
// request and its reply are drawn once; its text is complete at once, and
// the drawing comes back by itself, including after the log is emptied.
TEST_F(PtyPanel, AShownLogHoldsEveryLineAtOnceAndIsDrawnAgainByItself)
{
    fForm->show();
    fForm->AddLogLine(QStringLiteral("TX:01"));
    fForm->AddLogLine(QStringLiteral("RX:02"));
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("TX:01"), QStringLiteral("RX:02")}));
    EXPECT_TRUE(PumpUntil([&] { return fForm->Memo3->updatesEnabled(); }, 5s));
    fForm->AddLogLine(QStringLiteral("TX:03"));
    DoubleClick(fForm->Memo3->viewport());
    EXPECT_TRUE(fForm->Memo3->toPlainText().isEmpty());
    fForm->AddLogLine(QStringLiteral("TX:04"));
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("TX:04")});
    EXPECT_TRUE(PumpUntil([&] { return fForm->Memo3->updatesEnabled(); }, 5s));
}

// The port's own events (one a received byte) reach the window only while
// it listens to the bus; otherwise each would wake the UI thread for nothing.
TEST_F(PtyPanel, PortEventsReachTheWindowOnlyWhileItListens)
{
    QAction* listen = fForm->findChild<QAction*>(QStringLiteral("ActionListen"));
    ASSERT_NE(listen, nullptr);
    fForm->Button1->click();
    ExpectOpen(false);
    EXPECT_FALSE(fDev->OnCommNotify.Assigned());
    listen->trigger();
    EXPECT_TRUE(fDev->OnCommNotify.Assigned());
    fPty.write(kFrame);
    ASSERT_TRUE(WaitLines(1));
    EXPECT_TRUE(Lines().front().startsWith(QStringLiteral("REQ:"))) << Lines().front().toStdString();
    listen->trigger();
    EXPECT_FALSE(fDev->OnCommNotify.Assigned());
}

// Entries 28800 and 38400 of the rate list, and the entries around them.
TEST_F(PtyPanel, RateListEntries)
{
    const struct {
        int index;
        unsigned long rate;
    } cases[] = {{8, 19200}, {9, 28800}, {10, 38400}, {11, 57600}, {14, 256000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        Pick(fForm->ComboBox2, c.index);
        fForm->Button1->click();
        ExpectOpen(false);
        EXPECT_EQ(fDev->Comm()->Baud(), c.rate);
        fForm->Button1->click();
    }
    EXPECT_EQ(fDev->Baud(), TZuCustomCommDevice::br256000);
    Pick(fForm->ComboBox2, 10);
    fForm->Button1->click();
    EXPECT_EQ(fDev->Baud(), TZuCustomCommDevice::br38400);
    EXPECT_TRUE(fMessages.empty());
}

// The parity and stop-bit lists, once enabled, select by meaning; left with
// nothing picked they keep the component's own settings.
// The lists set what they show, by meaning; a typed text that names no
// entry fails the opening with the reason; a setting the port refuses is named.
TEST_F(PtyPanel, LineSettingListsReachThePort)
{
    Pick(fForm->ComboBox1, 2); // a port that fails to open: only the settings matter
    fDev->fSetParity(TZuCustomCommDevice::ptSpaceParity);
    fDev->fSetStopBits(TZuCustomCommDevice::sbTwoStopBit);
    fForm->Button1->click();
    EXPECT_EQ(fDev->Parity(), TZuCustomCommDevice::ptNoParity); // what the lists show at start
    EXPECT_EQ(fDev->StopBits(), TZuCustomCommDevice::sbOneStopBit);
    EXPECT_EQ(fDev->ByteSize(), 8);
    EXPECT_EQ(fDev->FlowControl(), TZuCustomCommDevice::fcNone);

    const std::pair<const char*, TZuCustomCommDevice::TParity> parities[] = {
        {"None", TZuCustomCommDevice::ptNoParity},   {"Even", TZuCustomCommDevice::ptEvenParity},
        {"Odd", TZuCustomCommDevice::ptOddParity},   {"Mark", TZuCustomCommDevice::ptMarkParity},
        {"Space", TZuCustomCommDevice::ptSpaceParity},
    };
    for (const auto& [text, parity] : parities) {
        Pick(fForm->ComboBox3, fForm->ComboBox3->findText(QString::fromLatin1(text)));
        fForm->Button1->click();
        EXPECT_EQ(fDev->Parity(), parity) << text;
    }
    const std::pair<const char*, TZuCustomCommDevice::TStopBits> stops[] = {
        {"1", TZuCustomCommDevice::sbOneStopBit},
        {"1.5", TZuCustomCommDevice::sbOne_5_StopBits},
        {"2", TZuCustomCommDevice::sbTwoStopBit},
    };
    for (const auto& [text, stop] : stops) {
        Pick(fForm->ComboBox5, fForm->ComboBox5->findText(QString::fromLatin1(text)));
        fForm->Button1->click();
        EXPECT_EQ(fDev->StopBits(), stop) << text;
    }
    Pick(fForm->ComboBox4, 3);
    fForm->Button1->click();
    EXPECT_EQ(fDev->ByteSize(), 7);
    // Each attempt reported the failing port, nothing else.
    for (const QString& m : FirstLines())
        EXPECT_EQ(m, QStringLiteral("COM03") + kOpenFailed);
    EXPECT_EQ(ParityFromText(QStringLiteral("none")), -1);
    EXPECT_EQ(StopBitsFromText(QStringLiteral("3")), -1);

    // Typed: any case picks the entry; a text that is none says so.
    fMessages.clear();
    fForm->ComboBox3->setEditText(QStringLiteral("even"));
    fForm->Button1->click();
    EXPECT_EQ(fDev->Parity(), TZuCustomCommDevice::ptEvenParity);
    fForm->ComboBox3->setEditText(QStringLiteral("xyz"));
    fMessages.clear();
    fForm->Button1->click();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_EQ(fMessages.front(), QStringLiteral("COM03开启失败！\n校验方式“xyz”无效：请选一项。"));

    // On a port that opens: 8E1 reaches the device, 1.5 stop bits with 8
    // data bits is refused by name.
    Pick(fForm->ComboBox1, 0);
    Pick(fForm->ComboBox3, fForm->ComboBox3->findText(QStringLiteral("Even")));
    Pick(fForm->ComboBox4, 4);
    Pick(fForm->ComboBox5, 0);
    fForm->Button1->click();
    ExpectOpen(false);
    EXPECT_EQ(fDev->Comm()->Parity(), EVENPARITY);
    fForm->Button1->click();
    Pick(fForm->ComboBox5, fForm->ComboBox5->findText(QStringLiteral("1.5")));
    fMessages.clear();
    fForm->Button1->click();
    ExpectClosed();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_EQ(fMessages.front(), QStringLiteral("COM01开启失败！\n1.5 位停止位只能与 5 位数据位同用"));
}

namespace {

// A stand-in for /sys/class/tty, for the port list, for one test.
class FakeSysfs {
public:
    FakeSysfs()
    {
        char tmpl[] = "/tmp/kelvor-sysfs-XXXXXX";
        fRoot = mkdtemp(tmpl);
        if (const char* old = std::getenv("KELVORCOMM_SYSFS_TTY"))
            fOld = old, fHadOld = true;
        setenv("KELVORCOMM_SYSFS_TTY", fRoot.c_str(), 1);
    }
    ~FakeSysfs()
    {
        if (fHadOld)
            setenv("KELVORCOMM_SYSFS_TTY", fOld.c_str(), 1);
        else
            unsetenv("KELVORCOMM_SYSFS_TTY");
        std::error_code ec;
        std::filesystem::remove_all(fRoot, ec);
    }
    // A device with a driver; uartType "0" makes it a placeholder UART.
    void add(const std::string& name, const char* uartType = nullptr)
    {
        std::filesystem::create_directories(fRoot + "/" + name + "/device/driver");
        if (uartType)
            std::ofstream(fRoot + "/" + name + "/type") << uartType << "\n";
    }
    void addWithoutDriver(const std::string& name) { std::filesystem::create_directories(fRoot + "/" + name); }

private:
    std::string fRoot;
    std::string fOld;
    bool fHadOld = false;
};

QStringList Items(QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

} // namespace

// After COM01..COM16 the list offers what the system has beyond them, then
// the demo device; the list still starts with nothing picked.
TEST_F(PtyPanel, PortListAddsTheSystemsOtherPorts)
{
    FakeSysfs sysfs;
    sysfs.add("ttyUSB0");
    sysfs.add("ttyS1", "0");
    sysfs.add("ttyS2", "4");
    sysfs.addWithoutDriver("ttyACM0");
    fMap.map(20, fPty2.slavePath());
    fMap.map(16, "/dev/null"); // listed as COM16: already offered
    fMap.map(17, "/dev/zero");
    MakeForm();

    const QStringList items = Items(fForm->ComboBox1);
    ASSERT_EQ(items.size(), 21) << items.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(items.at(15), QStringLiteral("COM16"));
    EXPECT_EQ(items.mid(16), (QStringList{QStringLiteral("COM17"), QStringLiteral("COM20"), QStringLiteral("ttyS2"),
                                          QStringLiteral("ttyUSB0"), QStringLiteral("DEMO")}));
    EXPECT_EQ(fForm->ComboBox1->currentIndex(), -1);
    EXPECT_EQ(fForm->ComboBox1->currentText(), QStringLiteral("COM01"));

    // The first sixteen keep their numbers: COM03 is the mapped (missing) device.
    Pick(fForm->ComboBox1, 2);
    fForm->Button1->click();
    EXPECT_EQ(fDev->PortNo(), 3);
    EXPECT_EQ(FirstLines(), std::vector<QString>{QStringLiteral("COM03") + kOpenFailed});
}

// An entry known only by name is opened by that name.
TEST_F(PtyPanel, PortListedByNameOpensByName)
{
    FakeSysfs sysfs;
    sysfs.add("ptmx");              // a real device: the pty multiplexer
    sysfs.add("ttyKelvorMissing0"); // listed, but no such device
    MakeForm();

    Pick(fForm->ComboBox1, fForm->ComboBox1->findText(QStringLiteral("ttyKelvorMissing0")));
    fForm->Button1->click();
    EXPECT_EQ(FirstLines(), std::vector<QString>{QStringLiteral("ttyKelvorMissing0") + kOpenFailed});
    EXPECT_EQ(fDev->PortName(), u"ttyKelvorMissing0");
    EXPECT_EQ(fDev->PortNo(), 0);
    ExpectClosed();

    fMessages.clear();
    Pick(fForm->ComboBox1, fForm->ComboBox1->findText(QStringLiteral("ptmx")));
    fForm->Button1->click();
    EXPECT_TRUE(fMessages.empty()) << fMessages.front().toStdString();
    EXPECT_EQ(fDev->PortName(), u"ptmx");
    ExpectOpen(false);

    // Back to a numbered entry: the port is chosen by number again.
    Pick(fForm->ComboBox1, 0);
    EnterFrame(kFrameText);
    fForm->Button2->click();
    EXPECT_EQ(fDev->PortName(), u"COM1");
    EXPECT_EQ(Wire(fPty, kFrame.size()), kFrame);
}
