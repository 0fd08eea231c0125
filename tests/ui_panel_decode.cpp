// What the window says of frames: decoded lines and their register format,
// listening to a bus without sending, the request builder and the frames
// sent in this run.
#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMenu>

#include "app/dialogs/RequestDialog.h"
#include "tests/support/PanelFixture.h"

using namespace paneltest;

namespace {

class DecodeTest : public PanelTest {
protected:
    QAction* Action(const QString& Name) { return fForm->findChild<QAction*>(Name); }
    void OpenDemo()
    {
        MakeForm();
        fForm->ComboBox1->setEditText(QStringLiteral("DEMO"));
    }
};

} // namespace

TEST_F(DecodeTest, DecodedLinesFollowTheFormatMenuFromTheNextLineOn)
{
    OpenDemo();
    EnterFrame(QStringLiteral("01 03 00 00 00 02"));
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(2));
    EXPECT_EQ(Lines().size(), 2); // off by default: the log as before

    Action(QStringLiteral("ActionDecode"))->trigger();
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(6));
    Action(QStringLiteral("ActionFormat_u32"))->trigger();
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(10));
    EXPECT_EQ(Lines().mid(2), (QStringList{QStringLiteral("TX:01 03 00 00 00 02 C4 0B "),
                                           QStringLiteral("  读保持寄存器 起始 0 数量 2"),
                                           QStringLiteral("RX:01 03 04 10 00 10 01 32 F3 "),
                                           QStringLiteral("  读保持寄存器 0=4096 1=4097"),
                                           QStringLiteral("TX:01 03 00 00 00 02 C4 0B "),
                                           QStringLiteral("  读保持寄存器 起始 0 数量 2"),
                                           QStringLiteral("RX:01 03 04 10 00 10 01 32 F3 "),
                                           QStringLiteral("  读保持寄存器 0=268439553")}));
    EXPECT_EQ(fForm->LogCounts().Replies(), 3u);
}

// Listening: the buttons that send are off, and the bus's frames are logged
// as the monitor prints them, cut by the length rules.
TEST_F(DecodeTest, ListeningLogsTheBusAndSendsNothing)
{
    testsupport::PtyPair bus;
    fMap.map(1, bus.slavePath());
    MakeForm();
    Action(QStringLiteral("ActionListen"))->trigger();
    EXPECT_FALSE(fForm->Button2->isEnabled());
    EXPECT_FALSE(fForm->Button3->isEnabled());
    Action(QStringLiteral("ActionDecode"))->trigger();
    fForm->Button1->click();
    EXPECT_EQ(Tag(fForm->Button1), 1);
    EXPECT_TRUE(fDev->Active());
    // A request, its reply, and the beginning of a reply that breaks off.
    bus.write(testsupport::HexBytes("01 03 00 00 00 01 84 0A 01 03 02 10 00 B5 84 01 03 02 10 FF"));
    ASSERT_TRUE(WaitLines(5));
    EXPECT_EQ(Lines().mid(0, 4), (QStringList{QStringLiteral("REQ:01 03 00 00 00 01 84 0A "),
                                              QStringLiteral("  读保持寄存器 起始 0 数量 1"),
                                              QStringLiteral("RSP:01 03 02 10 00 B5 84 "),
                                              QStringLiteral("  读保持寄存器 0=4096")}));
    EXPECT_TRUE(Lines().at(4).startsWith(QStringLiteral("???:01 03 02 10 FF"))) << Lines().at(4).toStdString();
    EXPECT_TRUE(bus.read(1, 100ms).empty()); // never a byte out
    EXPECT_EQ(fForm->LogCounts().Sent(), 0u);

    Action(QStringLiteral("ActionListen"))->trigger(); // back to the panel
    EXPECT_TRUE(fForm->Button2->isEnabled());
    EnterFrame(QStringLiteral("01 03 00 00 00 01"));
    fForm->Button2->click();
    EXPECT_EQ(Wire(bus, 8), testsupport::HexBytes("01 03 00 00 00 01 84 0A"));
}

// The builder makes each field's frame as it is typed, blocks "确定" on a
// wrong field, and puts the frame without CRC into the target box; the
// target box's menu offers the frames sent, newest first, once each.
TEST_F(DecodeTest, RequestBuilderAndRecentFrames)
{
    OpenDemo();
    Action(QStringLiteral("ActionBuildRequest"))->trigger();
    TRequestDialog* d = fForm->RequestDialog();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->FrameView->text(), QStringLiteral("01 03 00 00 00 01 84 0A"));
    d->FunctionBox->setCurrentIndex(d->FunctionBox->findData(16));
    d->StartEdit->setText(QStringLiteral("10"));
    d->ValuesEdit->setText(QStringLiteral("-2 3.5"));
    QPushButton* ok = d->Buttons->button(QDialogButtonBox::Ok);
    EXPECT_FALSE(ok->isEnabled()); // 3.5 is no u16
    EXPECT_FALSE(d->ErrorLabel->text().isEmpty());
    d->FormatBox->setCurrentText(QStringLiteral("f32"));
    EXPECT_TRUE(ok->isEnabled()) << d->ErrorLabel->text().toStdString();
    EXPECT_EQ(d->FrameView->text().left(44), QStringLiteral("01 10 00 0A 00 04 08 C0 00 00 00 40 60 00 00"));
    d->SlaveEdit->setText(QStringLiteral("248"));
    EXPECT_FALSE(ok->isEnabled());
    d->SlaveEdit->setText(QStringLiteral("2"));
    ok->click();
    EXPECT_EQ(fForm->Memo1->toPlainText().trimmed(), QStringLiteral("02 10 00 0A 00 04 08 C0 00 00 00 40 60 00 00"));
    EXPECT_TRUE(fForm->Memo2->toPlainText().startsWith(QStringLiteral("02 10 00 0A 00 04 08 C0 00 00 00 40 60 00 00 ")));

    for (const char* frame : {"01 03 00 00 00 01", "01 04 00 00 00 01", "01 03 00 00 00 01"}) {
        EnterFrame(QString::fromLatin1(frame));
        fForm->Button2->click();
    }
    EXPECT_EQ(fForm->RecentFrames(), (QStringList{QStringLiteral("01 03 00 00 00 01"), QStringLiteral("01 04 00 00 00 01")}));
}
