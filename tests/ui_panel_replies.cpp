// Replies that end at their last byte, the log's times and counts, its
// context menu and saving it: against the libmodbus slave, over a plain pty
// link and over one paced like a 9600-baud line.
#include <QAction>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include "tests/support/ModbusPeer.h"
#include "tests/support/PacedLink.h"
#include "tests/support/PanelFixture.h"

using namespace paneltest;

namespace {

const QString kRead10 = QStringLiteral("01 03 00 00 00 0A");
const QString kRead10Tx = QStringLiteral("TX:01 03 00 00 00 0A C5 CD ");
const QString kRead10Rx =
    QStringLiteral("RX:01 03 14 10 00 10 01 10 02 10 03 10 04 10 05 10 06 10 07 10 08 10 09 DD ED ");

class ReplyTest : public PanelTest {
protected:
    // The window on COM01, joined to the slave by a line of the given rate
    // (0: a bare pty link).
    void Connect(unsigned baud)
    {
        ASSERT_TRUE(fPeer.ok()) << fPeer.error();
        fLink = std::make_unique<testsupport::PacedLink>(fPeer.path(), baud);
        ASSERT_TRUE(fLink->ok());
        fMap.map(1, fLink->path());
        MakeForm();
    }
    QAction* Action(const char* name) { return fForm->findChild<QAction*>(QLatin1String(name)); }

    // Sends automatically for a while, stops, and waits for the last reply.
    void SendAutomatically(int intervalMs, int requests)
    {
        fForm->Edit1->setText(QString::number(intervalMs));
        fForm->Button3->click();
        ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("TX:")) >= requests; }));
        fForm->Button3->click();
        PumpUntil([&] { return CountLines(QStringLiteral("RX:")) >= CountLines(QStringLiteral("TX:")); }, 5s);
        PumpFor(200ms); // room for a reply too many
    }
    void ExpectOneWholeReplyPerRequest()
    {
        const int tx = CountLines(QStringLiteral("TX:"));
        EXPECT_EQ(CountLines(QStringLiteral("RX:")), tx);
        for (const QString& line : Lines())
            ASSERT_TRUE(line == kRead10Tx || line == kRead10Rx) << line.toStdString();
        EXPECT_EQ(fForm->LogCounts().Sent(), static_cast<std::uint64_t>(tx));
        EXPECT_EQ(fForm->LogCounts().Replies(), static_cast<std::uint64_t>(tx));
        EXPECT_EQ(fForm->LogCounts().Marked(), 0u);
    }

    testsupport::ModbusPeer fPeer{KELVOR_MODBUS_SLAVE};
    std::unique_ptr<testsupport::PacedLink> fLink;
};

} // namespace

// At the window's default interval on a 9600-baud line, a pause-ended reply
// would run into the next one; ended at its last byte, each stands alone,
// whether Edit2 takes whole packages or works the length out.
TEST_F(ReplyTest, DefaultIntervalOnA9600BaudLineGivesOneReplyPerRequest)
{
    Connect(9600);
    EnterFrame(kRead10);
    for (const char* edit2 : {"0", "8192"}) {
        SCOPED_TRACE(edit2);
        fForm->ClearLog();
        fForm->Edit2->setText(QString::fromLatin1(edit2));
        SendAutomatically(100, 15);
        ExpectOneWholeReplyPerRequest();
    }
    EXPECT_TRUE(fMessages.empty());
}

TEST_F(ReplyTest, TwentyMillisecondsOnABareLinkGivesOneReplyPerRequest)
{
    Connect(0);
    EnterFrame(kRead10);
    fForm->Edit2->setText(QStringLiteral("8192"));
    SendAutomatically(20, 40);
    ExpectOneWholeReplyPerRequest();
}

// With a pause far longer than the test, only the end test can close these
// replies: an exception reply and a write's echo.
TEST_F(ReplyTest, ExceptionAndEchoRepliesEndWithoutAPause)
{
    Connect(0);
    fForm->Button1->click(); // the opening sets the pause from the rate
    fDev->fSetPkgInterval(600000);
    EXPECT_EQ(fDev->PackageInterval(), 600000);
    EnterFrame(QStringLiteral("01 03 02 00 00 01")); // beyond the slave's registers
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(2, 10s));
    EXPECT_EQ(Lines().at(1), QStringLiteral("RX:01 83 02 C0 F1 "));
    EnterFrame(QStringLiteral("01 06 00 01 00 2A"));
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(4, 10s));
    EXPECT_EQ(Lines().at(3), QStringLiteral("RX:01 06 00 01 00 2A 59 D5 "));
}

// A device that answers with a broken frame, and with two replies in one
// burst: the broken one ends by the pause and is marked; the burst is two
// replies unless the pause-only switch is on.
TEST_F(ReplyTest, BrokenRepliesEndByThePauseAndThePauseOnlySwitch)
{
    testsupport::PtyPair device;
    fMap.map(1, device.slavePath());
    MakeForm();
    EnterFrame(QStringLiteral("01 06 00 01 00 2A"));
    const auto echo = testsupport::HexBytes("01 06 00 01 00 2A 59 D5");
    auto answer = [&](const testsupport::Bytes& reply) {
        const int before = static_cast<int>(Lines().size());
        fForm->Button2->click();
        ASSERT_EQ(device.read(8, 5s).size(), 8u);
        device.write(reply);
        PumpUntil([&] { return Lines().size() > before; }, 5s);
        PumpFor(300ms); // a pause-ended package, or a second one
    };

    answer(testsupport::HexBytes("01 06 00 01 00 2A 59 D6"));
    EXPECT_EQ(Lines().last(), QStringLiteral("RX:01 06 00 01 00 2A 59 D6 ") + kCheckFailed);

    fForm->ClearLog();
    testsupport::Bytes twice = echo;
    twice.insert(twice.end(), echo.begin(), echo.end());
    answer(twice);
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("TX:01 06 00 01 00 2A 59 D5 "),
                                    QStringLiteral("RX:01 06 00 01 00 2A 59 D5 "),
                                    QStringLiteral("RX:01 06 00 01 00 2A 59 D5 ")}));

    fForm->ClearLog();
    fForm->Edit2->setText(QStringLiteral("8192"));
    Action("ActionPauseOnly")->trigger();
    ASSERT_TRUE(Action("ActionPauseOnly")->isChecked());
    answer(twice);
    ASSERT_EQ(Lines().size(), 2);
    EXPECT_EQ(Lines().at(1), QStringLiteral("RX:01 06 00 01 00 2A 59 D5 01 06 00 01 00 2A 59 D5 ") + kCheckFailed);
    EXPECT_EQ(fForm->LogCounts().Marked(), 1u);
}

// A device that answers 150 ms after each request while requests go out
// every 200 ms, its replies ended by a pause of 80 ms: each is announced
// after the next request went out, but answers its own request, in 150 ms.
TEST_F(ReplyTest, PauseEndedRepliesAnswerTheRequestTheyFollow)
{
    testsupport::PtyPair device;
    fMap.map(1, device.slavePath());
    MakeForm();
    Action("ActionPauseOnly")->trigger();
    EnterFrame(QStringLiteral("01 03 00 00 00 01"));
    fForm->Button1->click();
    fDev->fSetPkgInterval(80);
    std::atomic<bool> stop{false};
    std::thread slave([&] {
        while (!stop) {
            if (device.read(8, 200ms).size() != 8)
                continue;
            std::this_thread::sleep_for(150ms);
            device.write(testsupport::HexBytes("01 03 02 10 00 B5 84"));
        }
    });
    SendAutomatically(200, 5);
    stop = true;
    slave.join();
    const TLogCounts& c = fForm->LogCounts();
    EXPECT_EQ(c.Replies(), c.Sent());
    EXPECT_EQ(c.Unanswered(), 0u);
    ASSERT_TRUE(c.MinMs());
    EXPECT_GE(*c.MinMs(), 150.0); // never timed against the newer request
}

// A frame longer than RTU allows is refused with a message and no TX line;
// the pause follows the rate.
TEST_F(ReplyTest, LongFramesAreRefusedAndSlowLinesPauseLonger)
{
    Connect(0);
    EnterFrame(QString(255 * 2, QLatin1Char('A')));
    fForm->Button2->click();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_EQ(fMessages.front(), QStringLiteral("帧长 257 字节，超过 Modbus RTU 帧的上限 256 字节，不能发送。"));
    EXPECT_TRUE(Lines().isEmpty());
    EXPECT_EQ(fDev->PackageInterval(), 50);

    fForm->Button1->click(); // closes the port the send opened
    fForm->ComboBox2->setEditText(QStringLiteral("110"));
    fForm->Button1->click();
    ExpectOpen(false);
    EXPECT_EQ(fDev->PackageInterval(), 319); // 3.5 characters of 10 bits
}

TEST_F(ReplyTest, TimesOnEveryLineAndResponseTimesOnReplies)
{
    Connect(0);
    EnterFrame(kRead10);
    ASSERT_NE(Action("ActionShowTimes"), nullptr);
    EXPECT_FALSE(Action("ActionShowTimes")->isChecked());
    Action("ActionShowTimes")->trigger();
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(2));
    const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "));
    EXPECT_TRUE(time.match(Lines().at(0)).hasMatch()) << Lines().at(0).toStdString();
    EXPECT_TRUE(Lines().at(0).endsWith(kRead10Tx)) << Lines().at(0).toStdString();
    const QRegularExpression rx(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d (RX:.*)\\((\\d+\\.\\d) ms\\)$"));
    const auto m = rx.match(Lines().at(1));
    ASSERT_TRUE(m.hasMatch()) << Lines().at(1).toStdString();
    EXPECT_EQ(m.captured(1), kRead10Rx);
    EXPECT_NEAR(m.captured(2).toDouble(), *fForm->LogCounts().MaxMs(), 0.051);

    Action("ActionShowTimes")->trigger();
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(4));
    EXPECT_EQ(Lines().mid(2), (QStringList{kRead10Tx, kRead10Rx}));
}

// Counts since the last clear: a request the slave ignores (another id)
// counts as unanswered once a second has passed; the menu shows the counts.
TEST_F(ReplyTest, CountsAndTheContextMenu)
{
    Connect(0);
    for (const QString& frame : {kRead10, kRead10, QStringLiteral("07 03 00 00 00 0A")}) {
        EnterFrame(frame);
        const int rx = CountLines(QStringLiteral("RX:"));
        fForm->Button2->click();
        PumpUntil([&] { return CountLines(QStringLiteral("RX:")) > rx; }, frame == kRead10 ? 10s : 1100ms);
    }
    const TLogCounts& c = fForm->LogCounts();
    EXPECT_EQ(c.Sent(), 3u);
    EXPECT_EQ(c.Replies(), 2u);
    ASSERT_TRUE(c.MinMs() && c.MedianMs() && c.MaxMs());
    EXPECT_LE(*c.MinMs(), *c.MedianMs());
    EXPECT_LE(*c.MedianMs(), *c.MaxMs());

    fForm->ShowLogMenu(QPoint(5, 5));
    auto* menu = fForm->findChild<QMenu*>(QStringLiteral("LogMenu"));
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << a->objectName() + QLatin1Char('=') + a->text();
    const QString all = texts.join(QLatin1Char('|'));
    for (const char* name : {"ActionShowTimes", "ActionPauseOnly", "ActionSaveLog", "ActionClearLog"})
        EXPECT_TRUE(all.contains(QLatin1String(name))) << name;
    EXPECT_TRUE(all.contains(QStringLiteral("发送 3 帧，回复 2 帧，校验失败 0 帧，异常 0 帧，无回复 1 次"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("全选")) || all.contains(QStringLiteral("Select All"))) << all.toStdString();
    menu->close();

    Action("ActionClearLog")->trigger();
    EXPECT_TRUE(Lines().isEmpty());
    EXPECT_EQ(c.Sent(), 0u);
    EXPECT_FALSE(c.MedianMs());
}

TEST_F(ReplyTest, SaveWritesEveryLineAsShown)
{
    Connect(0);
    EnterFrame(kRead10);
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(2));
    QTemporaryDir dir;
    QString asked;
    auto old = Toolkit::SetSaveFileSink([&](QWidget*, const QString&, const QString& suggested) {
        asked = suggested;
        return dir.filePath(QStringLiteral("log.txt"));
    });
    Action("ActionSaveLog")->trigger();
    QFile saved(dir.filePath(QStringLiteral("log.txt")));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(saved.readAll()), Lines().join(QLatin1Char('\n')) + QLatin1Char('\n'));
    EXPECT_TRUE(asked.endsWith(QStringLiteral(".txt")));

    // A place that cannot be written says so and keeps the log.
    Toolkit::SetSaveFileSink([&](QWidget*, const QString&, const QString&) {
        return dir.filePath(QStringLiteral("no/such/folder/log.txt"));
    });
    Action("ActionSaveLog")->trigger();
    ASSERT_EQ(fMessages.size(), 1u);
    EXPECT_TRUE(fMessages.front().startsWith(QStringLiteral("记录保存失败"))) << fMessages.front().toStdString();
    EXPECT_EQ(fForm->LogStore().Lines(), 2u);
    Toolkit::SetSaveFileSink(std::move(old));
}
