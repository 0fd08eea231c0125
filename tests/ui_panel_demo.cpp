// The DEMO entry of the port list: the built-in slave answers the window
// over a pseudo-terminal, through the library's real path.
#include "app/demo/DemoSlave.h"
#include "tests/support/DemoRequests.h"
#include "tests/support/PanelFixture.h"

using namespace paneltest;

namespace {

class DemoPanelTest : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        MakeForm();
        fDemoIndex = fForm->ComboBox1->count() - 1;
        Pick(fForm->ComboBox1, fDemoIndex);
    }

    // One manual send; the lines it added to the log.
    QStringList Exchange(const QString& typed, int lines = 2)
    {
        EnterFrame(typed);
        const int before = static_cast<int>(Lines().size());
        fForm->Button2->click();
        if (!WaitLines(before + lines))
            ADD_FAILURE() << "no reply to " << typed.toStdString();
        return Lines().mid(before);
    }

    int fDemoIndex = -1;
};

} // namespace

TEST_F(DemoPanelTest, IsTheLastEntryWithAChineseTip)
{
    EXPECT_EQ(fForm->ComboBox1->itemText(fDemoIndex), QStringLiteral("DEMO"));
    const QString tip = fForm->ComboBox1->itemData(fDemoIndex, Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QStringLiteral("模拟"))) << tip.toStdString();
    EXPECT_GE(fDemoIndex, 16);
}

// Every supported function, an exception reply for an address past the end,
// and the data the writes left behind.
TEST_F(DemoPanelTest, AnswersEveryFunctionThroughTheLog)
{
    for (const auto& r : testsupport::kDemoRequests) {
        SCOPED_TRACE(r.name);
        const QStringList lines = Exchange(QString::fromLatin1(r.typed));
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(lines[0], QStringLiteral("TX:") + QLatin1String(r.tx));
        EXPECT_EQ(lines[1], QStringLiteral("RX:") + QLatin1String(r.rx));
    }
    ExpectOpen(false);
    // Function 15 set coils 0 to 9; function 6 set register 10.
    EXPECT_EQ(Exchange(QStringLiteral("01 01 00 00 00 08")).value(1), QStringLiteral("RX:01 01 01 FF 11 C8 "));
    EXPECT_EQ(Exchange(QStringLiteral("01 03 00 0A 00 01")).value(1), QStringLiteral("RX:01 03 02 12 34 B5 33 "));
    EXPECT_TRUE(fMessages.empty());
}

// A request for slave 2 gets no answer: the next reply in the log is the
// one to slave 1 sent after it.
TEST_F(DemoPanelTest, KeepsSilentForAnotherSlaveId)
{
    const int before = static_cast<int>(Lines().size());
    EnterFrame(QStringLiteral("02 03 00 00 00 01"));
    fForm->Button2->click();
    Exchange(QStringLiteral("01 03 03 E7 00 01"));
    const QStringList lines = Lines().mid(before);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("TX:02 03 00 00 00 01 84 39 "));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("TX:01 03 03 E7")));
    // The counter counted only the request it answered.
    EXPECT_EQ(lines[2], QStringLiteral("RX:01 03 02 00 01 79 84 "));
}

// Holding register 999 counts the requests served; closing the port stops
// the slave, and the next opening starts one afresh.
TEST_F(DemoPanelTest, CountsRequestsAndStartsAfreshAfterClosing)
{
    EXPECT_EQ(Exchange(QStringLiteral("01 03 03 E7 00 01")).value(1), QStringLiteral("RX:01 03 02 00 01 79 84 "));
    EXPECT_EQ(Exchange(QStringLiteral("01 06 00 00 00 07")).size(), 2);
    EXPECT_EQ(Exchange(QStringLiteral("01 03 03 E7 00 01")).value(1), QStringLiteral("RX:01 03 02 00 03 F8 45 "));

    fForm->Button1->click();
    ExpectClosed();
    EXPECT_EQ(Exchange(QStringLiteral("01 03 00 00 00 02")).value(1), QStringLiteral("RX:01 03 04 10 00 10 01 32 F3 "));
    ExpectOpen(false);
}
