// The expected reply length (from Edit2 or the function-code table) and the
// reply check.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QSignalBlocker>
#include <QTimer>
#include <memory>
#include <vector>

#include "app/ModbusCommand.h"
#include "platform/toolkit/Toolkit.h"

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

using KelvorComm32::cpeNo;
using KelvorComm32::cpeWait;
using KelvorComm32::cpeWaitFor;
using KelvorComm32::cpeYes;

namespace {

class ReplyLengthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ExpectedLength = 0;
        fOldSink = Toolkit::SetMessageSink([this](const Toolkit::MessageBoxCall& c) {
            fCalls.push_back(c);
            return Toolkit::mrOK;
        });
        fForm = std::make_unique<TForm1>();
        fEdit1 = fForm->findChild<QLineEdit*>(QStringLiteral("Edit1"));
        fEdit2 = fForm->findChild<QLineEdit*>(QStringLiteral("Edit2"));
        ASSERT_NE(fEdit1, nullptr);
        ASSERT_NE(fEdit2, nullptr);
    }
    void TearDown() override
    {
        fForm.reset();
        Toolkit::SetMessageSink(std::move(fOldSink));
    }

    // Edit2 at 0, one send of the frame; returns the length and expects no advice.
    int Auto(const TByteDynArray& frame)
    {
        fEdit2->setText(QStringLiteral("0"));
        fCalls.clear();
        fForm->UpdateExpectedLength(frame);
        EXPECT_TRUE(fCalls.empty());
        EXPECT_EQ(fEdit2->text(), QStringLiteral("0"));
        return ExpectedLength;
    }

    // Edit2 at 0 and a frame the table cannot size: the advice, Edit2 8192.
    void ExpectAdvice(const TByteDynArray& frame, const char* what)
    {
        SCOPED_TRACE(what);
        fEdit2->setText(QStringLiteral("0"));
        fCalls.clear();
        fForm->UpdateExpectedLength(frame);
        ASSERT_EQ(fCalls.size(), 1u);
        EXPECT_EQ(fCalls[0].kind, Toolkit::MessageBoxCall::kShowMessage);
        EXPECT_EQ(fCalls[0].text, QStringLiteral("建议填写预计接收的字节数！"));
        EXPECT_EQ(fEdit2->text(), QStringLiteral("8192"));
        EXPECT_EQ(ExpectedLength, 8192);
    }

    std::vector<Toolkit::MessageBoxCall> fCalls;
    Toolkit::MessageSink fOldSink;
    std::unique_ptr<TForm1> fForm;
    QLineEdit* fEdit1 = nullptr;
    QLineEdit* fEdit2 = nullptr;
};

} // namespace

TEST_F(ReplyLengthTest, NonZeroEdit2IsUsedAsItIs)
{
    const TByteDynArray unknown = WithCrc({1, 7});
    fForm->UpdateExpectedLength(unknown);
    EXPECT_EQ(ExpectedLength, 8192);
    fEdit2->setText(QStringLiteral("12"));
    fForm->UpdateExpectedLength(WithCrc({1, 3, 0, 0, 0, 10}));
    EXPECT_EQ(ExpectedLength, 12);
    // Negative passes on; the reader takes it as a huge unsigned size.
    fEdit2->setText(QStringLiteral("-1"));
    fForm->UpdateExpectedLength(unknown);
    EXPECT_EQ(ExpectedLength, -1);
    EXPECT_EQ(static_cast<unsigned long>(static_cast<std::uint32_t>(ExpectedLength)), 0xFFFFFFFFul);
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(ReplyLengthTest, EmptyEdit2ReadsWholePackages)
{
    fEdit2->setText(QString());
    fForm->UpdateExpectedLength(WithCrc({1, 3, 0, 0, 0, 10}));
    EXPECT_EQ(ExpectedLength, 8192);
    EXPECT_EQ(fEdit2->text(), QStringLiteral("8192"));
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(ReplyLengthTest, FunctionCodeTable)
{
    const TByteDynArray coils8 = {1, 1, 0, 0, 0, 8, 0x3D, 0xCC};
    EXPECT_EQ(Auto(coils8), 6);
    EXPECT_EQ(Auto(WithCrc({1, 1, 0, 0, 0, 10})), 7);
    EXPECT_EQ(Auto(WithCrc({1, 1, 0, 0, 0, 0})), 5);
    EXPECT_EQ(Auto(WithCrc({1, 2, 0, 0, 0, 9})), 7);
    EXPECT_EQ(Auto(WithCrc({1, 2, 0, 0, 0xFF, 0xFF})), (65535 + 7) / 8 + 5);
    EXPECT_EQ(Auto({1, 3, 0, 0, 0, 0x0A, 0xC5, 0xCD}), 25);
    EXPECT_EQ(Auto(WithCrc({1, 4, 0, 0, 0x01, 0x00})), 2 * 256 + 5);
    EXPECT_EQ(Auto(WithCrc({1, 5, 0, 3, 0xFF, 0})), 8);
    EXPECT_EQ(Auto(WithCrc({1, 6, 0, 1, 0, 3})), 8);
    EXPECT_EQ(Auto(WithCrc({1, 15, 0, 0, 0, 10, 2, 0xFF, 0x03})), 8);
    EXPECT_EQ(Auto(WithCrc({1, 16, 0, 1, 0, 2, 4, 0, 10, 1, 2})), 8);
    EXPECT_EQ(Auto(WithCrc({1, 20, 7, 6, 0, 4, 0, 1, 0, 2})), 7);
    EXPECT_EQ(Auto(WithCrc({1, 21, 13, 6, 0, 4, 0, 7, 0, 3, 6, 0xAF, 4, 0xBE, 0x10, 0x0D})), 18);
    EXPECT_EQ(Auto(WithCrc({1, 22, 0, 4, 0, 0xF2, 0, 0x25})), 10);
    EXPECT_EQ(Auto(WithCrc({1, 23, 0, 3, 0, 6, 0, 14, 0, 3, 6, 0, 0xFF, 0, 0xFF, 0, 0xFF})), 17);
    EXPECT_EQ(Auto(WithCrc({1, 43, 14, 1, 0})), 128);
}

TEST_F(ReplyLengthTest, ZeroWrittenAsLeadingZerosBecomesZero)
{
    fEdit2->setText(QStringLiteral("00"));
    fForm->UpdateExpectedLength({1, 1, 0, 0, 0, 8, 0x3D, 0xCC});
    EXPECT_EQ(fEdit2->text(), QStringLiteral("0"));
    EXPECT_EQ(ExpectedLength, 6);
}

TEST_F(ReplyLengthTest, UnknownFunctionGivesAdviceOnce)
{
    for (std::uint8_t fn : {0, 7, 14, 17, 19, 24, 42, 44, 255})
        ExpectAdvice(WithCrc({1, fn, 0, 0, 0, 1}), "unknown function");
    // Edit2 now holds 8192: the next send takes whole packages quietly.
    fCalls.clear();
    fForm->UpdateExpectedLength(WithCrc({1, 7}));
    EXPECT_TRUE(fCalls.empty());
    EXPECT_EQ(ExpectedLength, 8192);
}

TEST_F(ReplyLengthTest, FramesTooShortForTheTableGetTheAdvice)
{
    // Only data bytes hold fields; the CRC at the end never counts as one.
    ExpectAdvice(WithCrc({1, 3, 0, 0}), "read registers without quantity");
    ExpectAdvice(WithCrc({1, 1, 0, 0, 0}), "read coils, quantity cut");
    ExpectAdvice(WithCrc({1, 23, 0, 3}), "read/write without read quantity");
    ExpectAdvice(WithCrc({1, 20}), "file record without byte count");
    ExpectAdvice(WithCrc({1}), "no function code");
    ExpectAdvice({0xFF, 0xFF}, "CRC of nothing");
    ExpectAdvice({}, "no frame");
}

TEST_F(ReplyLengthTest, FileRecordWithByteCountZeroStaysZero)
{
    EXPECT_EQ(Auto(WithCrc({1, 20, 0})), 0);
}

TEST_F(ReplyLengthTest, NonNumericEdit2StopsWithoutChanges)
{
    ExpectedLength = 77;
    fEdit2->setText(QStringLiteral("1O"));
    EXPECT_THROW(fForm->UpdateExpectedLength(WithCrc({1, 7})), EConvertError);
    EXPECT_EQ(ExpectedLength, 77);
    EXPECT_EQ(fEdit2->text(), QStringLiteral("1O"));
    EXPECT_TRUE(fCalls.empty());
}

TEST_F(ReplyLengthTest, RewritingEdit2RunsTheIntervalRuleOnly)
{
    QTimer* timer = fForm->findChild<QTimer*>(QStringLiteral("Timer1"));
    ASSERT_NE(timer, nullptr);
    {
        QSignalBlocker quiet(fEdit1);
        fEdit1->setText(QStringLiteral("640"));
    }
    fEdit2->setText(QString());
    fForm->UpdateExpectedLength(WithCrc({1, 3, 0, 0, 0, 1}));
    EXPECT_EQ(fEdit2->text(), QStringLiteral("8192"));
    EXPECT_EQ(timer->interval(), 640);
    EXPECT_EQ(fEdit1->text(), QStringLiteral("640"));
    EXPECT_FALSE(timer->isActive());
}

TEST(ReplyCheck, PassesExactlyWhenTheOwnCrcChecks)
{
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t one = static_cast<std::uint8_t>(b);
        ASSERT_FALSE(ReplyPasses(&one, 1)) << b;
    }
    const std::uint8_t ffff[] = {0xFF, 0xFF};
    EXPECT_TRUE(ReplyPasses(ffff, 2));
    EXPECT_FALSE(ReplyPasses(ffff, 0));
    EXPECT_FALSE(ReplyPasses(nullptr, 0));

    const TByteDynArray reply = WithCrc({1, 3, 4, 0, 0x2A, 1, 0x5E});
    EXPECT_TRUE(ReplyPasses(reply.data(), reply.size()));
    // Cut short by a too small length, or one bit off: fails.
    for (unsigned long n = 1; n < reply.size(); ++n)
        EXPECT_FALSE(ReplyPasses(reply.data(), n)) << n;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        TByteDynArray bad = reply;
        bad[i] ^= 0x10;
        EXPECT_FALSE(ReplyPasses(bad.data(), bad.size())) << i;
    }
}

// The end-of-reply test: exactly one whole reply to this request's address
// and function, by the length its own fields give, with a good CRC; or a
// whole copy of the request (a line's echo). Bytes that can still become one
// of them wait; bytes that cannot are left to the pause.
TEST(ReplyEnd, WholeRepliesByTheirOwnFields)
{
    const TByteDynArray request = WithCrc({1, 3, 0, 0, 0, 2});
    const auto read = ReplyEndTest(request);
    ASSERT_TRUE(read);
    const TByteDynArray reply = WithCrc({1, 3, 4, 0x10, 0, 0x10, 1});
    for (std::size_t n = 0; n < reply.size(); ++n)
        EXPECT_EQ(read(reply.data(), n), cpeWait) << n;
    EXPECT_EQ(read(reply.data(), reply.size()), cpeYes);
    TByteDynArray longer = reply;
    longer.push_back(0);
    EXPECT_EQ(read(longer.data(), longer.size()), cpeNo);

    const TByteDynArray exception = WithCrc({1, 0x83, 2});
    EXPECT_EQ(read(exception.data(), exception.size()), cpeYes);
    for (const TByteDynArray& wrong : {WithCrc({2, 3, 4, 0x10, 0, 0x10, 1}), WithCrc({1, 4, 4, 0x10, 0, 0x10, 1}),
                                       WithCrc({1, 0x84, 2})}) {
        EXPECT_EQ(read(wrong.data(), wrong.size()), cpeNo);
    }
    TByteDynArray broken = reply;
    broken.back() ^= 1;
    EXPECT_EQ(read(broken.data(), broken.size()), cpeNo);

    // The echo (its third byte 0 reads as an empty reply whose CRC fails at
    // five bytes) stands alone, and a reply after it is a package of its own.
    for (std::size_t n = 1; n < request.size(); ++n)
        EXPECT_EQ(read(request.data(), n), cpeWait) << n;
    EXPECT_EQ(read(request.data(), request.size()), cpeYes);

    // Writes answer with eight bytes whatever the request's length.
    const auto write = ReplyEndTest(WithCrc({1, 16, 0, 0, 0, 2, 4, 0, 1, 0, 2}));
    ASSERT_TRUE(write);
    const TByteDynArray echo = WithCrc({1, 16, 0, 0, 0, 2});
    EXPECT_EQ(write(echo.data(), echo.size()), cpeYes);
    const TByteDynArray rw = WithCrc({1, 23, 2, 0, 7});
    EXPECT_EQ(ReplyEndTest(WithCrc({1, 23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 9}))(rw.data(), rw.size()), cpeYes);

    // Where the reply's fields do not give its length, only the echo ends
    // at its last byte; no test for a frame too short to name a function.
    const TByteDynArray diagnostics = WithCrc({1, 8, 0, 1, 0, 0});
    const auto loop = ReplyEndTest(diagnostics);
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop(diagnostics.data(), diagnostics.size()), cpeYes);
    const TByteDynArray other = WithCrc({1, 8, 0, 2, 0, 0});
    EXPECT_EQ(loop(other.data(), other.size()), cpeNo);
    for (const TByteDynArray& tooShort : {WithCrc({1, 0x83, 0}), TByteDynArray{1, 3, 0}})
        EXPECT_FALSE(ReplyEndTest(tooShort));
}

// In the package layer's form the test also says how many bytes must still
// come before it can answer otherwise, so that the port need not wake for
// each: never more than the nearest whole reply or echo needs.
TEST(ReplyEnd, TellsThePortHowManyBytesItStillNeeds)
{
    const TByteDynArray request = WithCrc({1, 3, 0, 0, 0, 10});
    const auto end = PackageEndTest(request);
    ASSERT_TRUE(end);
    const TByteDynArray reply = WithCrc({1, 3, 20, 0x10, 0, 0x10, 1, 0x10, 2, 0x10, 3, 0x10, 4, 0x10, 5, 0x10, 6,
                                          0x10, 7, 0x10, 8, 0x10, 9});
    const auto at = [&](const TByteDynArray& bytes, unsigned long n) { return end(nullptr, bytes.data(), n); };
    // Until the byte count is in, an exception (5 bytes) is the nearest;
    // the echo of this 8-byte request never is nearer than the reply here.
    EXPECT_EQ(at(reply, 1), cpeWaitFor(4));
    EXPECT_EQ(at(reply, 2), cpeWaitFor(3));
    EXPECT_EQ(at(reply, 3), cpeWaitFor(22));
    EXPECT_EQ(at(reply, 24), cpeWaitFor(1));
    EXPECT_EQ(at(reply, 25), cpeYes);
    // The request's own first bytes read as the start of an empty reply
    // too, the nearer of the two; once that fails, the echo's rest.
    EXPECT_EQ(at(request, 3), cpeWaitFor(2));
    EXPECT_EQ(at(request, 5), cpeWaitFor(3));
    const TByteDynArray exception = WithCrc({1, 0x83, 2});
    EXPECT_EQ(at(exception, 2), cpeWaitFor(3));
    EXPECT_EQ(at(WithCrc({2, 3, 2, 0, 1}), 7), cpeNo);
    // One byte to go is plain waiting: there is nothing to gather.
    EXPECT_EQ(cpeWaitFor(1), cpeWait);
}
