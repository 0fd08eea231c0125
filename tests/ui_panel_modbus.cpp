// The serial panel end to end against a real Modbus RTU slave (libmodbus) on
// the far end of a pseudo-terminal.
#include "tests/support/ModbusPeer.h"
#include "tests/support/PanelFixture.h"


using namespace paneltest;
using KelvorComm32::TZuCustomCommDevice;

namespace {

class PeerTest : public PanelTest {
protected:
    void SetUp() override
    {
        PanelTest::SetUp();
        ASSERT_TRUE(fPeer.ok()) << fPeer.error();
        fMap.map(1, fPeer.path());
        MakeForm();
    }

    // One manual send; returns the RX line that answers it.
    QString Exchange(const QString& request)
    {
        EnterFrame(request);
        const int before = static_cast<int>(Lines().size());
        fForm->Button2->click();
        if (!WaitLines(before + 2)) {
            ADD_FAILURE() << "no reply to " << request.toStdString();
            return {};
        }
        return Lines().at(before + 1);
    }

    // Bytes of every RX line, in order, without the check mark.
    static QByteArray RxBytes(const QStringList& lines)
    {
        QByteArray all;
        for (const QString& l : lines) {
            if (!l.startsWith(QStringLiteral("RX:")))
                continue;
            QString hex = l.mid(3);
            hex.remove(kCheckFailed);
            all += QByteArray::fromHex(hex.toLatin1());
        }
        return all;
    }

    testsupport::ModbusPeer fPeer{KELVOR_MODBUS_SLAVE};
};

struct Request {
    const char* name;
    const char* frame;    // as typed, without CRC
    const char* tx;       // the TX line's hex text
    const char* reply;    // what the slave answers
    int lengthFromTable;  // ExpectedLength with Edit2 at 0
};

const Request kRequests[] = {
    {"ReadCoils", "01 01 00 00 00 08", "01 01 00 00 00 08 3D CC ", "01 01 01 49 90 7E ", 6},
    {"ReadHoldingRegisters", "01 03 00 00 00 0A", "01 03 00 00 00 0A C5 CD ",
     "01 03 14 10 00 10 01 10 02 10 03 10 04 10 05 10 06 10 07 10 08 10 09 DD ED ", 25},
    {"WriteSingleRegister", "01 06 00 01 00 55", "01 06 00 01 00 55 18 35 ", "01 06 00 01 00 55 18 35 ", 8},
    {"WriteMultipleRegisters", "01 10 00 00 00 02 04 00 01 00 02", "01 10 00 00 00 02 04 00 01 00 02 23 AE ",
     "01 10 00 00 00 02 41 C8 ", 8},
};

class RequestTest : public PeerTest, public ::testing::WithParamInterface<Request> {};

} // namespace

// Each request gets its whole reply, checked, both with Edit2 taking whole
// packages and with the length worked out from the function code.
TEST_P(RequestTest, ReplyIsLoggedAndPassesTheCheck)
{
    const Request& r = GetParam();
    for (const char* edit2 : {"8192", "0"}) {
        SCOPED_TRACE(edit2);
        fForm->Edit2->setText(QString::fromLatin1(edit2));
        const int before = static_cast<int>(Lines().size());
        const QString rx = Exchange(QString::fromLatin1(r.frame));
        EXPECT_EQ(rx, QStringLiteral("RX:") + QString::fromLatin1(r.reply));
        EXPECT_EQ(Lines().at(before), QStringLiteral("TX:") + QString::fromLatin1(r.tx));
        EXPECT_EQ(fForm->Edit2->text(), QString::fromLatin1(edit2));
        EXPECT_EQ(ExpectedLength, std::string(edit2) == "0" ? r.lengthFromTable : 8192);
    }
    ExpectOpen(false);
    EXPECT_TRUE(fMessages.empty()) << fMessages.front().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Slave, RequestTest, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return std::string(info.param.name); });

// A too small Edit2 cuts the reply, which then fails its check; the rest of
// that package is dropped, so the next reply is whole again. Negative and
// very large numbers take whole packages.
TEST_F(PeerTest, ExpectedLengthFromEdit2LimitsTheReply)
{
    fForm->Edit2->setText(QStringLiteral("4"));
    EXPECT_EQ(Exchange(QStringLiteral("01 01 00 00 00 08")), QStringLiteral("RX:01 01 01 49 ") + kCheckFailed);

    for (const char* edit2 : {"8192", "-1", "100000"}) {
        fForm->Edit2->setText(QString::fromLatin1(edit2));
        EXPECT_EQ(Exchange(QStringLiteral("01 01 00 00 00 08")), QStringLiteral("RX:01 01 01 49 90 7E ")) << edit2;
    }
    EXPECT_EQ(Lines().size(), 8);
    EXPECT_TRUE(fMessages.empty());
}

// A few hundred milliseconds apart, every request gets exactly its own
// checked reply.
TEST_F(PeerTest, AutomaticSendingGetsOneReplyPerRequest)
{
    EnterFrame(QStringLiteral("01 03 00 00 00 0A"));
    fForm->Edit1->setText(QStringLiteral("400"));
    fForm->Button3->click();
    ExpectOpen(true);
    EXPECT_TRUE(Lines().isEmpty()); // the first frame waits for the first tick

    ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("RX:")) >= 4; }));
    fForm->Button3->click();
    ExpectOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("RX:")) == CountLines(QStringLiteral("TX:")); }));

    const QString reply = QStringLiteral("RX:01 03 14 10 00 10 01 10 02 10 03 10 04 10 05 10 06 10 07 10 08 10 "
                                         "09 DD ED ");
    for (const QString& line : Lines()) {
        if (line.startsWith(QStringLiteral("TX:")))
            EXPECT_EQ(line, QStringLiteral("TX:01 03 00 00 00 0A C5 CD "));
        else
            EXPECT_EQ(line, reply);
    }
    EXPECT_TRUE(fMessages.empty());
}

// Faster than a package pause, replies run together into one package; with
// whole packages taken no byte is lost, whatever the merging.
TEST_F(PeerTest, FastSendingMergesRepliesWithoutLosingBytes)
{
    EnterFrame(QStringLiteral("01 01 00 00 00 08"));
    fForm->Edit1->setText(QStringLiteral("10"));
    fForm->Button3->click();
    ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("TX:")) >= 30; }));
    fForm->Button3->click();
    const int sent = CountLines(QStringLiteral("TX:"));
    const QByteArray reply = QByteArray::fromHex("01010149907E");
    ASSERT_TRUE(PumpUntil([&] { return RxBytes(Lines()).size() >= reply.size() * sent; }))
        << RxBytes(Lines()).size() << " bytes for " << sent << " requests";
    PumpFor(300ms);
    EXPECT_EQ(RxBytes(Lines()), reply.repeated(sent));
    const int rxLines = CountLines(QStringLiteral("RX:"));
    EXPECT_LE(rxLines, sent);
    RecordProperty("requests", sent);
    RecordProperty("rx_lines", rxLines);
}

// Picking another rate while sending automatically closes the port and stops
// the timer; the next opening uses the new rate.
TEST_F(PeerTest, BaudChangeWhileSendingStopsEverything)
{
    EnterFrame(QStringLiteral("01 01 00 00 00 08"));
    fForm->Edit1->setText(QStringLiteral("300"));
    fForm->Button3->click();
    ASSERT_TRUE(PumpUntil([&] { return CountLines(QStringLiteral("RX:")) >= 1; }));

    Pick(fForm->ComboBox2, 8); // "19200"
    ExpectClosed();
    const int sent = CountLines(QStringLiteral("TX:"));
    PumpFor(1000ms); // more than three intervals
    EXPECT_EQ(CountLines(QStringLiteral("TX:")), sent);

    EXPECT_EQ(Exchange(QStringLiteral("01 01 00 00 00 08")), QStringLiteral("RX:01 01 01 49 90 7E "));
    EXPECT_EQ(fDev->Baud(), TZuCustomCommDevice::br19200);
    ExpectOpen(false);
    EXPECT_TRUE(fMessages.empty());
}

// A COM number above 16 that the system lists is offered after COM16 and
// opened by its name.
TEST_F(PeerTest, PortAboveSixteenFromTheSystemList)
{
    fMap.unmap(1);
    fMap.map(20, fPeer.path());
    MakeForm();
    const int index = fForm->ComboBox1->findText(QStringLiteral("COM20"));
    ASSERT_GE(index, 16);
    EXPECT_EQ(fForm->ComboBox1->currentIndex(), -1);
    EXPECT_EQ(fForm->ComboBox1->currentText(), QStringLiteral("COM01"));

    Pick(fForm->ComboBox1, index);
    EXPECT_EQ(Exchange(QStringLiteral("01 02 00 00 00 04")), QStringLiteral("RX:01 02 01 0A 21 8F "));
    EXPECT_EQ(fDev->PortName(), u"COM20");
    EXPECT_EQ(fDev->PortNo(), 20);
    ExpectOpen(false);
    EXPECT_TRUE(fMessages.empty());
}
