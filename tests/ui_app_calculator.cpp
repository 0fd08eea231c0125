// The calculator window: start-up state, hex entry and CRC, the interval
// rule, double-click clearing and the link label.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <memory>
#include <random>
#include <vector>

#include "app/ModbusCommand.h"
#include "platform/toolkit/Shape.h"
#include "platform/toolkit/Toolkit.h"

// Readable failure output.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

// Bit by bit, straight from the algorithm's description.
std::uint16_t BitwiseCrc(const std::vector<std::uint8_t>& data)
{
    std::uint16_t r = 0xFFFF;
    for (std::uint8_t b : data) {
        r ^= b;
        for (int i = 0; i < 8; ++i)
            r = (r & 1) ? static_cast<std::uint16_t>((r >> 1) ^ 0xA001) : static_cast<std::uint16_t>(r >> 1);
    }
    return r;
}

class FormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FrameBytes.clear();
        LogLine.clear();
        SendInterval = 0;
        ExpectedLength = 0;
        fOldSink = Toolkit::SetMessageSink([this](const Toolkit::MessageBoxCall& c) {
            fCalls.push_back(c);
            return Toolkit::mrOK;
        });
        fOldLinks = Toolkit::SetLinkSink([this](const QString& url) { fLinks.push_back(url); });
        fForm = std::make_unique<TForm1>();
        fMemo1 = Find<QPlainTextEdit>("Memo1");
        fMemo2 = Find<QPlainTextEdit>("Memo2");
        fMemo3 = Find<QPlainTextEdit>("Memo3");
        fEdit1 = Find<QLineEdit>("Edit1");
        fEdit2 = Find<QLineEdit>("Edit2");
        fTimer = Find<QTimer>("Timer1");
    }
    void TearDown() override
    {
        fForm.reset();
        Toolkit::SetMessageSink(std::move(fOldSink));
        Toolkit::SetLinkSink(std::move(fOldLinks));
    }

    template <class T>
    T* Find(const char* name)
    {
        T* w = fForm->findChild<T*>(QString::fromLatin1(name));
        if (!w)
            ADD_FAILURE() << "no control " << name;
        return w;
    }

    // Types a target text and leaves the box; returns the result box.
    QString Leave(const QString& text)
    {
        fMemo1->setPlainText(text);
        fForm->Memo1Exit(fMemo1);
        return fMemo2->toPlainText();
    }

    void DoubleClick(QWidget* w)
    {
        QPointF at(5, 5);
        QMouseEvent ev(QEvent::MouseButtonDblClick, at, w->mapToGlobal(at), Qt::LeftButton,
                       Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w, &ev);
    }

    std::vector<Toolkit::MessageBoxCall> fCalls;
    std::vector<QString> fLinks;
    Toolkit::MessageSink fOldSink;
    Toolkit::LinkSink fOldLinks;
    std::unique_ptr<TForm1> fForm;
    QPlainTextEdit* fMemo1 = nullptr;
    QPlainTextEdit* fMemo2 = nullptr;
    QPlainTextEdit* fMemo3 = nullptr;
    QLineEdit* fEdit1 = nullptr;
    QLineEdit* fEdit2 = nullptr;
    QTimer* fTimer = nullptr;
};

const QString kFrame8Coils = QStringLiteral("01 01 00 00 00 08 3D CC ");

} // namespace

TEST(Crc16, CheckValuesAndSelfCheck)
{
    EXPECT_EQ(CRC16(TByteDynArray{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 9), 0x4B37);
    EXPECT_EQ(CRC16(TByteDynArray{1, 1, 0, 0, 0, 8}, 6), 0xCC3D);
    EXPECT_EQ(CRC16(TByteDynArray{}, 0), 0xFFFF);
    EXPECT_EQ(CRC16(TByteDynArray{1, 1, 0, 0, 0, 8, 0x3D, 0xCC}, 8), 0);
    // Count covers a prefix only, and never reads past the array.
    EXPECT_EQ(CRC16(TByteDynArray{1, 1, 0, 0, 0, 8, 0x77}, 6), 0xCC3D);
    EXPECT_EQ(CRC16(TByteDynArray{1, 1, 0, 0, 0, 8}, 600), 0xCC3D);
    EXPECT_EQ(CRC16(TByteDynArray{1, 1}, -3), 0xFFFF);
}

TEST(Crc16, TableAgreesWithBitwiseOnRandomFrames)
{
    std::mt19937 rng(12345);
    for (int len = 0; len < 300; len += 7) {
        TByteDynArray data(static_cast<std::size_t>(len));
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        const std::uint16_t crc = BitwiseCrc(data);
        ASSERT_EQ(CRC16(data, len), crc) << "length " << len;
        data.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        data.push_back(static_cast<std::uint8_t>(crc >> 8));
        ASSERT_EQ(CRC16(data, len + 2), 0) << "length " << len;
    }
}

TEST_F(FormTest, StartUpState)
{
    EXPECT_EQ(fMemo1->toPlainText(), QStringLiteral("01 01 00 00 00 08 "));
    EXPECT_TRUE(fMemo2->toPlainText().isEmpty());
    EXPECT_TRUE(fMemo3->toPlainText().isEmpty());
    EXPECT_TRUE(FrameBytes.empty());
    EXPECT_TRUE(fCalls.empty());
    EXPECT_EQ(fForm->size(), QSize(705, 446));
    EXPECT_EQ(fForm->minimumSize(), QSize(705, 446));
    EXPECT_EQ(fForm->maximumSize(), QSize(705, 446));
    EXPECT_TRUE(fForm->windowTitle().contains(QStringLiteral("1.1")));

    ASSERT_NE(fTimer, nullptr);
    EXPECT_FALSE(fTimer->isActive());
    EXPECT_EQ(fTimer->interval(), 100);
    EXPECT_EQ(SendInterval, 100);

    for (const char* name : {"Button1", "Button3"}) {
        QVariant tag = Find<QPushButton>(name)->property("Tag");
        EXPECT_EQ(tag.typeId(), QMetaType::Int) << name;
        EXPECT_EQ(tag.toInt(), 0) << name;
    }
    EXPECT_EQ(Find<QPushButton>("Button1")->text(), QStringLiteral("打开"));
    EXPECT_EQ(Find<QPushButton>("Button1")->toolTip(), QStringLiteral("点击打开串口"));
    EXPECT_EQ(Find<QPushButton>("Button2")->text(), QStringLiteral("手动发送"));
    EXPECT_EQ(Find<QPushButton>("Button3")->text(), QStringLiteral("自动发送"));
    EXPECT_EQ(Find<QLabel>("Label1")->text(),
              QStringLiteral("串口号          波特率         通讯协议     数据位 停止位"));
    EXPECT_EQ(fEdit1->text(), QStringLiteral("100"));
    EXPECT_EQ(fEdit2->text(), QStringLiteral("8192"));
    EXPECT_EQ(fEdit2->toolTip(), QStringLiteral("填0时表示自动判别"));
    EXPECT_EQ(Find<QPlainTextEdit>("Memo5")->toolTip(), QStringLiteral("点击“算法描述”查看C语言源代码！"));
    EXPECT_FALSE(fMemo1->isReadOnly());
    EXPECT_TRUE(fMemo2->isReadOnly());
    EXPECT_TRUE(fMemo3->isReadOnly());
    EXPECT_EQ(Find<TShape>("Shape1")->BrushColor(), QColor(Qt::red));
    EXPECT_EQ(fMemo1->font().pixelSize(), 14);
    EXPECT_TRUE(fMemo1->font().bold());
    EXPECT_EQ(fMemo1->palette().color(QPalette::Base), QColor(0xA6, 0xCA, 0xF0));
    EXPECT_EQ(Find<QLabel>("Label4")->palette().color(QPalette::WindowText), QColor(Qt::white));
}

TEST_F(FormTest, ListsStartAsDesigned)
{
    QComboBox* ports = Find<QComboBox>("ComboBox1");
    // COM01 to COM16 come first; the system's other ports may follow.
    ASSERT_GE(ports->count(), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(ports->itemText(i), QStringLiteral("COM%1").arg(i + 1, 2, 10, QLatin1Char('0')));
    EXPECT_EQ(ports->currentIndex(), -1);
    EXPECT_EQ(ports->currentText(), QStringLiteral("COM01"));

    QComboBox* bauds = Find<QComboBox>("ComboBox2");
    ASSERT_EQ(bauds->count(), 15);
    EXPECT_EQ(bauds->currentIndex(), 6);
    EXPECT_EQ(bauds->currentText(), QStringLiteral("9600"));
    EXPECT_EQ(bauds->itemText(9), QStringLiteral("28800"));

    // The line settings can be chosen; they start at 8N1, picked.
    QComboBox* parity = Find<QComboBox>("ComboBox3");
    EXPECT_TRUE(parity->isEnabled());
    EXPECT_EQ(parity->currentIndex(), 0);
    EXPECT_EQ(parity->currentText(), QStringLiteral("None"));
    ASSERT_EQ(parity->count(), 5);
    EXPECT_EQ(parity->itemText(4), QStringLiteral("Space"));

    QComboBox* bits = Find<QComboBox>("ComboBox4");
    EXPECT_TRUE(bits->isEnabled());
    EXPECT_EQ(bits->currentIndex(), 4);
    EXPECT_EQ(bits->currentText(), QStringLiteral("8"));

    QComboBox* stops = Find<QComboBox>("ComboBox5");
    EXPECT_TRUE(stops->isEnabled());
    EXPECT_EQ(stops->currentIndex(), 0);
    EXPECT_EQ(stops->currentText(), QStringLiteral("1"));
}

TEST_F(FormTest, HelpTextsAreExact)
{
    const QStringList memo4 = {
        QString::fromUtf16(u"1.1. 在\"目标字串\"框内填写您要计算CRC16码的字串，"),
        QString::fromUtf16(u"当光标离开该框时程序即计算相应的CRC16码并自 动"),
        QString::fromUtf16(u"填写到\"计算结果\"框内；"),
        QString::fromUtf16(u"1.2. 当通过手动或自动发送时，将根据设置把\"计算结"),
        QString::fromUtf16(u"果\"框内的字串以16进制的形式通过串口进行发送；"),
        QString::fromUtf16(u"1.3. \"发送间隔时间\"是以ms为单位，这个参数只对自动"),
        QString::fromUtf16(u"发送有效；"),
        QString::fromUtf16(u"1.4. \"预接收字节数\"是指您发送生成指令后，下位机应"),
        QString::fromUtf16(u"该返回的字节数，当这个数字填写成0时，程序将根据"),
        QString::fromUtf16(u"功能号自动计算返回的字节数；"),
    };
    const QStringList memo5 = {
        QString::fromUtf16(u"2.1.置16位寄存器为全1，作为CRC寄存器。"),
        QString::fromUtf16(u"2.2.把一个8位数据与16位CRC寄存器的低字节相异或"),
        QString::fromUtf16(u"，把结果放于CRC寄存器中。"),
        QString::fromUtf16(u"2.3.把寄存器的内容右移一位（朝低位），用0填补最"),
        QString::fromUtf16(u"高位，检查最低位（移出位）。"),
        QString::fromUtf16(u"2.4.如果最低位为0，重复2.3（再移位）；如果最低位"),
        QString::fromUtf16(u"为1，CRC寄存器与多项式A001H（1010 0000 0000 0001"),
        QString::fromUtf16(u"）进行异或。"),
        QString::fromUtf16(u"2.5.重复2.3、2.4，直到右移8次，这样整个8位数据全"),
        QString::fromUtf16(u"部进行了处理。"),
        QString::fromUtf16(u"2.6.重复2.2－2.5，进行下一个8位数据的处理。"),
        QString::fromUtf16(u"2.7.将一帧的所有数据字节处理完后得到CRC-16寄存器"),
        QString::fromUtf16(u"。"),
        QString::fromUtf16(u"2.8.将CRC-16寄存器的低字节和高字节交换，得到的值"),
        QString::fromUtf16(u"即为CRC-16码。"),
    };
    auto lines = [](QPlainTextEdit* m) { return m->toPlainText().split(QChar(u'\n')); };
    EXPECT_EQ(lines(Find<QPlainTextEdit>("Memo4")), memo4);
    EXPECT_EQ(lines(Find<QPlainTextEdit>("Memo5")), memo5);
}

TEST_F(FormTest, LeavingTheBoxComputesTheFrame)
{
    EXPECT_EQ(Leave(QStringLiteral("01 01 00 00 00 08 ")), kFrame8Coils);
    EXPECT_EQ(FrameBytes, (TByteDynArray{1, 1, 0, 0, 0, 8, 0x3D, 0xCC}));
    EXPECT_EQ(fMemo1->toPlainText(), QStringLiteral("01 01 00 00 00 08  "));
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(FormTest, SeparatorsAndLineBreaksAreSkipped)
{
    const char16_t* same[] = {
        u"010100000008",         u"01,01,00,00,00,08",       u"01;01;00;00;00;08",
        u"01-01-00-00-00-08",    u"01:01:00:00:00:08",       u"01 01\n00 00\r\n00\t08",
        u"帧：01 01 00 00 00 08。", u"01 01 00 00 00 08 zz", u"(01)(01)(00)(00)(00)(08)",
    };
    for (const char16_t* text : same)
        EXPECT_EQ(Leave(QString::fromUtf16(text)), kFrame8Coils) << QString::fromUtf16(text).toStdString();
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(FormTest, LooseInputForms)
{
    EXPECT_EQ(Leave(QStringLiteral("01 03 00 00 00 0a")), QStringLiteral("01 03 00 00 00 0A C5 CD "));
    EXPECT_EQ(Leave(QStringLiteral("1 03")), QStringLiteral("10 BE 8C "));
    EXPECT_EQ(Leave(QStringLiteral("0x01")), QStringLiteral("00 BF 40 "));
    EXPECT_EQ(Leave(QStringLiteral("31 32 33 34 35 36 37 38 39")),
              QStringLiteral("31 32 33 34 35 36 37 38 39 37 4B "));
    // Full-width digits are not hex digits.
    EXPECT_EQ(Leave(QString::fromUtf16(u"０１ 01")), QStringLiteral("01 7E 80 "));
    // A single digit is no failure: no data byte, the CRC of nothing.
    EXPECT_EQ(Leave(QStringLiteral("7")), QStringLiteral("FF FF "));
    EXPECT_EQ(FrameBytes, (TByteDynArray{0xFF, 0xFF}));
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(FormTest, TextWithoutDigitsIsReportedAndLeavesNoFrame)
{
    for (const char16_t* text : {u"", u"   ", u"xyz GHI", u"\n\n", u"中文，。"}) {
        Leave(QStringLiteral("01 01 00 00 00 08"));
        ASSERT_EQ(FrameBytes.size(), 8u);
        fCalls.clear();
        const QString typed = QString::fromUtf16(text);
        EXPECT_TRUE(Leave(typed).isEmpty()) << typed.toStdString();
        ASSERT_EQ(fCalls.size(), 1u) << typed.toStdString();
        EXPECT_EQ(fCalls[0].kind, Toolkit::MessageBoxCall::kShowMessage);
        EXPECT_EQ(fCalls[0].text, QStringLiteral("目标字串为空或无有效字符！"));
        // No stale or unwritten bytes are left for a send.
        EXPECT_TRUE(FrameBytes.empty()) << typed.toStdString();
        EXPECT_EQ(fMemo1->toPlainText(), typed + QChar(u' '));
    }
}

TEST_F(FormTest, LongFrameIsCoveredWhole)
{
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(200);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    const QString hex = HexText(data.data(), data.size());
    const QString result = Leave(hex.toLower());
    ASSERT_EQ(FrameBytes.size(), 202u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), FrameBytes.begin()));
    const std::uint16_t crc = BitwiseCrc(data);
    EXPECT_EQ(FrameBytes[200], crc & 0xFF);
    EXPECT_EQ(FrameBytes[201], crc >> 8);
    EXPECT_EQ(result, HexText(FrameBytes.data(), FrameBytes.size()));
    EXPECT_EQ(result.size(), 202 * 3);
}

TEST_F(FormTest, LeavingTwiceAddsASpaceEachTime)
{
    fForm->Memo1Exit(fMemo1);
    const QString first = fMemo2->toPlainText();
    fForm->Memo1Exit(fMemo1);
    EXPECT_EQ(fMemo2->toPlainText(), first);
    EXPECT_EQ(first, kFrame8Coils);
    EXPECT_EQ(fMemo1->toPlainText(), QStringLiteral("01 01 00 00 00 08   "));
}

TEST_F(FormTest, FocusLeavingTheBoxRunsTheComputation)
{
    // A context menu or another program taking the focus is no exit.
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QApplication::sendEvent(fMemo1, &popup);
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(fMemo1, &away);
    EXPECT_TRUE(fMemo2->toPlainText().isEmpty());

    // Painting is not needed here; without it Qt starts none of the pooled
    // drawing threads that the thread checker cannot see into.
    fForm->setUpdatesEnabled(false);
    fForm->show();
    fForm->activateWindow();
    QDeadlineTimer deadline(10000);
    while (QApplication::activeWindow() != fForm.get() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(QApplication::activeWindow(), fForm.get());
    fMemo1->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(fMemo1->hasFocus());
    fEdit2->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(fMemo2->toPlainText(), kFrame8Coils);
}

TEST_F(FormTest, DoubleClickClearsOnlyItsBox)
{
    Leave(QStringLiteral("01 01 00 00 00 08"));
    fMemo3->setPlainText(QStringLiteral("TX:01 01 00 00 00 08 3D CC "));
    const TByteDynArray frame = FrameBytes;

    DoubleClick(fMemo1->viewport());
    EXPECT_TRUE(fMemo1->toPlainText().isEmpty());
    EXPECT_EQ(fMemo2->toPlainText(), kFrame8Coils);
    EXPECT_EQ(fMemo3->toPlainText(), QStringLiteral("TX:01 01 00 00 00 08 3D CC "));
    EXPECT_EQ(FrameBytes, frame);

    DoubleClick(fMemo3->viewport());
    EXPECT_TRUE(fMemo3->toPlainText().isEmpty());
    EXPECT_EQ(fMemo2->toPlainText(), kFrame8Coils);

    // Double-clicking the result box does nothing.
    DoubleClick(fMemo2->viewport());
    EXPECT_EQ(fMemo2->toPlainText(), kFrame8Coils);

    // Leaving the emptied box now reports the empty target.
    fForm->Memo1Exit(fMemo1);
    ASSERT_EQ(fCalls.size(), 1u);
    EXPECT_EQ(fCalls[0].text, QStringLiteral("目标字串为空或无有效字符！"));
}

TEST_F(FormTest, IntervalRule)
{
    fEdit1->setText(QStringLiteral("65000"));
    EXPECT_EQ(fTimer->interval(), 65000);
    EXPECT_EQ(SendInterval, 65000);
    EXPECT_EQ(fEdit1->text(), QStringLiteral("65000"));

    fEdit1->setText(QStringLiteral("1"));
    EXPECT_EQ(fTimer->interval(), 1);

    for (const char* bad : {"65001", "0", "-5", "", "-2147483648"}) {
        fEdit1->setText(QStringLiteral("250"));
        ASSERT_EQ(fTimer->interval(), 250);
        fEdit1->setText(QString::fromLatin1(bad));
        EXPECT_EQ(fEdit1->text(), QStringLiteral("100")) << bad;
        EXPECT_EQ(fTimer->interval(), 100) << bad;
        EXPECT_EQ(SendInterval, 100) << bad;
    }
    EXPECT_FALSE(fTimer->isActive());
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(FormTest, NonNumericIntervalIsReportedAndChangesNothing)
{
    fEdit1->setText(QStringLiteral("300"));
    ASSERT_EQ(fTimer->interval(), 300);
    fEdit1->setText(QStringLiteral("3oo"));
    ASSERT_EQ(fCalls.size(), 1u);
    EXPECT_EQ(fCalls[0].kind, Toolkit::MessageBoxCall::kException);
    EXPECT_TRUE(fCalls[0].text.contains(QStringLiteral("3oo")));
    EXPECT_EQ(fCalls[0].flags, Toolkit::mbIconError);
    EXPECT_EQ(fTimer->interval(), 300);
    EXPECT_EQ(SendInterval, 300);
    EXPECT_EQ(fEdit1->text(), QStringLiteral("3oo"));
    // The window goes on working.
    fEdit1->setText(QStringLiteral("400"));
    EXPECT_EQ(fTimer->interval(), 400);
}

TEST_F(FormTest, TypingInEdit2RerunsTheRuleOnEdit1Only)
{
    {
        QSignalBlocker quiet(fEdit1);
        fEdit1->setText(QStringLiteral("777"));
    }
    ASSERT_EQ(fTimer->interval(), 100);
    fEdit2->setText(QStringLiteral("16"));
    EXPECT_EQ(fTimer->interval(), 777);
    EXPECT_EQ(SendInterval, 777);
    EXPECT_EQ(fEdit2->text(), QStringLiteral("16"));
    EXPECT_EQ(ExpectedLength, 0);

    {
        QSignalBlocker quiet(fEdit1);
        fEdit1->setText(QStringLiteral("0"));
    }
    fEdit2->setText(QStringLiteral("17"));
    EXPECT_EQ(fEdit1->text(), QStringLiteral("100"));
    EXPECT_EQ(fTimer->interval(), 100);
}

TEST_F(FormTest, Label5OpensTheAlgorithmPage)
{
    QLabel* label = Find<QLabel>("Label5");
    auto click = [&](Qt::MouseButton button) {
        QPointF at(3, 3);
        QMouseEvent press(QEvent::MouseButtonPress, at, label->mapToGlobal(at), button, button, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, label->mapToGlobal(at), button, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(label, &press);
        QApplication::sendEvent(label, &release);
    };
    click(Qt::RightButton);
    EXPECT_TRUE(fLinks.empty());
    click(Qt::LeftButton);
    ASSERT_EQ(fLinks.size(), 1u);
    EXPECT_TRUE(fLinks[0].startsWith(QStringLiteral("https://")));

    // Whatever opening the link throws reaches the exception display, not Qt.
    Toolkit::SetLinkSink([](const QString&) { throw EConvertError(u"no browser"); });
    click(Qt::LeftButton);
    ASSERT_EQ(fCalls.size(), 1u);
    EXPECT_EQ(fCalls[0].kind, Toolkit::MessageBoxCall::kException);
    EXPECT_EQ(fCalls[0].text, QStringLiteral("no browser"));
}
