// The serial panel on real ports: typed port names and rates, why an opening
// failed, a device that goes away while open, a reply length that is no
// number, and a port list that follows the system.
#include "tests/support/PanelFixture.h"

#include <QAbstractItemView>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/Process.h"

using namespace paneltest;
using testsupport::Bytes;
using testsupport::HexBytes;
using testsupport::PtyPair;

namespace {

const QString kFrameText = QStringLiteral("01 03 00 00 00 0A");
const Bytes kFrame = HexBytes("01 03 00 00 00 0A C5 CD");

class PortPanel : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        fMap.map(3, fPty.slavePath());
        MakeForm();
        EnterFrame(kFrameText);
    }
    // Types into a list's box, as the user does.
    static void Type(QComboBox* box, const QString& text)
    {
        box->setEditText(text);
        emit box->lineEdit()->textEdited(text);
    }
    QString SecondLine(std::size_t i = 0) const { return fMessages.at(i).section(QLatin1Char('\n'), 1); }

    PtyPair fPty;
};

// A stand-in for /sys/class/tty.
class FakeSysfs {
public:
    FakeSysfs()
    {
        char tmpl[] = "/tmp/kelvor-sysfs-XXXXXX";
        fRoot = mkdtemp(tmpl);
        setenv("KELVORCOMM_SYSFS_TTY", fRoot.c_str(), 1);
    }
    ~FakeSysfs()
    {
        unsetenv("KELVORCOMM_SYSFS_TTY");
        std::error_code ec;
        std::filesystem::remove_all(fRoot, ec);
    }
    void add(const std::string& name) { std::filesystem::create_directories(fRoot + "/" + name + "/device/driver"); }
    // A USB adapter: the tty's device lies below the USB device's descriptors.
    void addUsb(const std::string& name, const char* product, const char* serial)
    {
        const std::string usb = fRoot + "/devices/usb1/1-2";
        const std::string port = usb + "/1-2:1.0/" + name;
        std::filesystem::create_directories(port + "/driver");
        std::ofstream(usb + "/idVendor") << "0403\n";
        std::ofstream(usb + "/product") << product << "\n";
        std::ofstream(usb + "/serial") << serial << "\n";
        std::filesystem::create_directories(fRoot + "/" + name);
        std::filesystem::create_directory_symlink(port, fRoot + "/" + name + "/device");
    }
    void remove(const std::string& name) { std::filesystem::remove_all(fRoot + "/" + name); }

private:
    std::string fRoot;
};

} // namespace

// The box's text decides, typed or picked: a device path, COMn with or
// without its leading zero, an entry's name in any case.
TEST_F(PortPanel, TypedNamesOpenThePortsTheyName)
{
    PtyPair other;
    Pick(fForm->ComboBox1, 2); // COM03
    Type(fForm->ComboBox1, QString::fromStdString(other.slavePath()));
    fForm->Button2->click();
    EXPECT_EQ(Wire(other, kFrame.size()), kFrame);
    EXPECT_TRUE(fPty.read(64, 100ms).empty());

    fMap.map(7, other.slavePath());
    for (const char* typed : {"COM7", "com07"}) {
        Type(fForm->ComboBox1, QString::fromLatin1(typed));
        fForm->Button2->click();
        EXPECT_EQ(Wire(other, kFrame.size()), kFrame) << typed;
        EXPECT_EQ(fDev->PortNo(), 7);
    }
    Type(fForm->ComboBox1, QStringLiteral("com3"));
    fForm->Button2->click();
    EXPECT_EQ(Wire(fPty, kFrame.size()), kFrame);
    EXPECT_EQ(fForm->ComboBox1->currentIndex(), 2); // COM3 is the entry COM03
    EXPECT_EQ(fForm->ComboBox1->currentText(), QStringLiteral("COM03"));
    EXPECT_TRUE(fMessages.empty());
}

// A failed opening keeps its first line and says why on the second.
TEST_F(PortPanel, FailedOpeningsSayWhy)
{
    Type(fForm->ComboBox1, QStringLiteral("ttyKelvorNone9"));
    fForm->Button1->click();
    ExpectClosed();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_EQ(FirstLines().front(), QStringLiteral("ttyKelvorNone9") + kOpenFailed);
    EXPECT_EQ(SecondLine(), QStringLiteral("没有这个设备：/dev/ttyKelvorNone9 不存在"));

    // Busy: another holder of the same device.
    KelvorComm32::TComm32 holder;
    holder.fSetPortName(FromUtf8(fPty.slavePath()));
    holder.Open();
    fMessages.clear();
    Pick(fForm->ComboBox1, 2);
    fForm->Button1->click();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(SecondLine().startsWith(QStringLiteral("串口正被占用"))) << SecondLine().toStdString();
    holder.Close();

    // A typed rate is used when it is a positive whole number, and refused
    // before anything is opened when it is not.
    fMessages.clear();
    Type(fForm->ComboBox2, QStringLiteral("57601"));
    fForm->Button1->click();
    ExpectOpen(false);
    EXPECT_EQ(fDev->Comm()->Baud(), 57601u);
    for (const char* rate : {"abc", "0", "-9600", "99999999999"}) {
        fMessages.clear();
        Type(fForm->ComboBox2, QString::fromLatin1(rate));
        fForm->Button1->click();
        ExpectClosed();
        ASSERT_EQ(fMessages.size(), 1u) << rate;
        EXPECT_EQ(FirstLines().front(), QStringLiteral("COM03") + kOpenFailed);
        EXPECT_TRUE(SecondLine().contains(QString::fromLatin1(rate))) << SecondLine().toStdString();
    }
}

// The far end goes while frames go out automatically: the panel closes with
// one log line and one message, and opens again once the device is back.
TEST_F(PortPanel, PulledCableClosesThePanelOnce)
{
    Pick(fForm->ComboBox1, 2);
    fForm->Edit1->setText(QStringLiteral("50"));
    fForm->Button3->click();
    ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("TX:")) >= 2; }));
    fPty.closeMaster();
    fPty.closeSlaveKeeper();
    ASSERT_TRUE(PumpUntil([&] { return Tag(fForm->Button1) == 0; }, 10s));
    ExpectClosed();
    PumpFor(600ms); // nothing more may follow
    EXPECT_EQ(Lines().last(), QStringLiteral("[COM03已断开]"));
    EXPECT_EQ(CountLines(QStringLiteral("[")), 1);
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(fMessages.front().startsWith(QStringLiteral("COM03已断开"))) << fMessages.front().toStdString();

    PtyPair back;
    fMap.map(3, back.slavePath());
    fForm->Button2->click();
    ExpectOpen(false);
    EXPECT_EQ(Wire(back, kFrame.size()), kFrame);
}

// A reply length that is no number: one message, no TX line, and automatic
// sending stops so the user can reach the controls.
TEST_F(PortPanel, NonNumericReplyLengthStopsAutomaticSendingOnce)
{
    Pick(fForm->ComboBox1, 2);
    fForm->Edit1->setText(QStringLiteral("30"));
    fForm->Button3->click();
    ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("TX:")) >= 1; }));
    fForm->Edit2->setText(QStringLiteral("abc"));
    const int sent = CountLines(QStringLiteral("TX:"));
    Wire(fPty, kFrame.size() * static_cast<std::size_t>(sent)); // what went out before
    PumpFor(300ms);
    EXPECT_EQ(CountLines(QStringLiteral("TX:")), sent);
    EXPECT_TRUE(fPty.read(64, 100ms).empty());
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(fMessages.front().startsWith(QStringLiteral("exception: "))) << fMessages.front().toStdString();
    ExpectOpen(false);
}

// Each opening of the list looks at the system again: a new adapter shows
// with its product and serial number, one that went away is gone, a device a
// COM entry already reaches is not offered twice, and the pick stays.
TEST_F(PortPanel, PortListFollowsTheSystem)
{
    FakeSysfs sysfs;
    sysfs.add("ttyS4"); // what COM05 opens
    sysfs.add("ttyS40");
    MakeForm();
    auto items = [&] {
        QStringList list;
        for (int i = 16; i < fForm->ComboBox1->count(); ++i)
            list << fForm->ComboBox1->itemText(i);
        return list;
    };
    EXPECT_EQ(items(), (QStringList{QStringLiteral("ttyS40"), QStringLiteral("DEMO")}));
    Pick(fForm->ComboBox1, 16);

    sysfs.addUsb("ttyUSB7", "FT232R USB UART", "A50285BI");
    fForm->ComboBox1->showPopup();
    fForm->ComboBox1->hidePopup();
    EXPECT_EQ(items(), (QStringList{QStringLiteral("ttyS40"), QStringLiteral("ttyUSB7"), QStringLiteral("DEMO")}));
    const int usb = fForm->ComboBox1->findText(QStringLiteral("ttyUSB7"));
    EXPECT_EQ(fForm->ComboBox1->itemData(usb, Qt::ToolTipRole).toString(),
              QStringLiteral("产品：FT232R USB UART\n序列号：A50285BI"));
    EXPECT_EQ(fForm->ComboBox1->currentText(), QStringLiteral("ttyS40"));
    EXPECT_EQ(fForm->ComboBox1->currentIndex(), 16);

    sysfs.remove("ttyS40");
    fForm->ComboBox1->showPopup();
    fForm->ComboBox1->hidePopup();
    EXPECT_EQ(items(), (QStringList{QStringLiteral("ttyUSB7"), QStringLiteral("DEMO")}));
    EXPECT_EQ(fForm->ComboBox1->currentText(), QStringLiteral("ttyS40")); // still what the user had
    EXPECT_TRUE(fMessages.empty());

    // No entry of either list is cut short when it is open.
    for (QComboBox* box : {fForm->ComboBox1, fForm->ComboBox2}) {
        const QFontMetrics m(box->view()->font());
        for (int i = 0; i < box->count(); ++i)
            EXPECT_LT(m.horizontalAdvance(box->itemText(i)), box->view()->minimumWidth()) << box->itemText(i).toStdString();
    }
}

// A serial device the user may not open gives the dialout hint. As root the
// test runs itself again as nobody (through setpriv), which is who meets it.
TEST(PanelPermission, DeviceWithoutRightsGivesTheDialoutHint)
{
    if (const char* device = std::getenv("KELVOR_NO_RIGHTS_DEVICE")) {
        std::vector<QString> messages;
        auto old = Toolkit::SetMessageSink([&](const Toolkit::MessageBoxCall& c) {
            messages.push_back(c.text);
            return Toolkit::mrOK;
        });
        TForm1 form;
        form.ComboBox1->setEditText(QString::fromLocal8Bit(device));
        form.Button1->click();
        Toolkit::SetMessageSink(std::move(old));
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(messages.front().contains(QStringLiteral("dialout"))) << messages.front().toStdString();
        return;
    }
    testsupport::PtyPair pty;
    const std::string device = pty.slavePath();
    ASSERT_EQ(chmod(device.c_str(), 0), 0);
    std::vector<std::string> argv = {std::filesystem::read_symlink("/proc/self/exe").string(),
                                     "--gtest_filter=PanelPermission.*"};
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "setpriv is missing";
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    const testsupport::ProcessResult r =
        testsupport::RunProcess(argv, {{"KELVOR_NO_RIGHTS_DEVICE", device}, {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}
