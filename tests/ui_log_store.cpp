// The log behind Memo3: every line kept on disk, and the traffic counts.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/log/LogCounts.h"
#include "app/log/LogLine.h"
#include "app/log/LogStore.h"
#include "app/modbus/Crc16.h"
#include "app/modbus/Exchange.h"

namespace {

constexpr std::int64_t kMs = 1'000'000;
const TByteDynArray kRead = WithCrc({1, 3, 0, 0, 0, 1});
const TByteDynArray kReply = WithCrc({1, 3, 2, 0x10, 0});

QString Saved(TLogStore& store, const QTemporaryDir& dir)
{
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    QString error;
    EXPECT_TRUE(store.SaveTo(path, error)) << error.toStdString();
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return QString::fromUtf8(f.readAll());
}

} // namespace

TEST(LogStore, KeepsEveryLineInUtf8AcrossFlushesAndForgetsThemWhenCleared)
{
    QTemporaryDir dir;
    TLogStore store;
    QString expected;
    for (int i = 0; i < 5000; ++i) { // several batches on disk
        const QString line = QStringLiteral("RX:%1 ").arg(i) + QString::fromUtf16(kCheckFailedMark);
        store.Append(line);
        expected += line + QLatin1Char('\n');
    }
    EXPECT_EQ(store.Lines(), 5000u);
    EXPECT_EQ(Saved(store, dir), expected);
    store.Append(QStringLiteral("TX:01 "));
    EXPECT_EQ(Saved(store, dir), expected + QStringLiteral("TX:01 \n")); // saving twice, appending between

    store.Clear();
    EXPECT_EQ(store.Lines(), 0u);
    EXPECT_EQ(Saved(store, dir), QString());
    store.Append(QStringLiteral("TX:02 "));
    EXPECT_EQ(Saved(store, dir), QStringLiteral("TX:02 \n"));

    QString error;
    EXPECT_FALSE(store.SaveTo(dir.filePath(QStringLiteral("missing/x.txt")), error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(LogStore, TheFileGoesIntoTmpdirWhenSet)
{
    QTemporaryDir dir;
    const QByteArray old = qgetenv("TMPDIR");
    qputenv("TMPDIR", dir.path().toLocal8Bit());
    TLogStore store;
    store.Append(QStringLiteral("TX:01 "));
    if (old.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", old);
    // The unlinked file is still listed among the process's descriptors.
    bool found = false;
    for (const QFileInfo& fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files))
        found = found || fd.symLinkTarget().startsWith(dir.path() + QStringLiteral("/modbuscrc-log-"));
    EXPECT_TRUE(found);
    EXPECT_EQ(Saved(store, dir), QStringLiteral("TX:01 \n"));
}

// Which request a package answers: the last sent before its last byte.
// A request is unanswered once bytes for a later one came, or after a second.
TEST(Exchange, RepliesAreCreditedByTheirLastByteAndUnansweredOnceKnown)
{
    TExchange x;
    x.Sent(kRead, 0, false);
    x.Sent(kRead, 10 * kMs, false);
    EXPECT_EQ(x.Counts().Unanswered(), 0u); // the first may still have its reply on the way
    auto r = x.Received(kReply.data(), kReply.size(), kReply.size(), 25 * kMs);
    EXPECT_EQ(r.Request, 2u);
    EXPECT_EQ(r.ResponseMs, 15.0);
    EXPECT_EQ(x.Counts().Unanswered(), 1u);
    x.Sent(kRead, 30 * kMs, false);
    x.Settle(30 * kMs + TExchange::kReplyWindowNs);
    EXPECT_EQ(x.Counts().Unanswered(), 1u); // exactly a second is still in time
    x.Settle(31 * kMs + TExchange::kReplyWindowNs);
    EXPECT_EQ(x.Counts().Unanswered(), 2u);
    x.Sent(kRead, 2000 * kMs, false);
    TByteDynArray broken = kReply;
    broken.back() ^= 1;
    EXPECT_TRUE(x.Received(broken.data(), broken.size(), broken.size(), 2003 * kMs).Answers);
    x.Sent(kRead, 3000 * kMs, false);
    x.CloseOpenRequests();
    EXPECT_EQ(x.Counts().Summary(),
              QStringLiteral("发送 5 帧，回复 2 帧，校验失败 1 帧，异常 0 帧，无回复 3 次；"
                             "响应时间：最短 3.0 ms，中位 9.0 ms，最长 15.0 ms"));

    // A reply ended by the pause is announced after the next request went
    // out, 70 ms after its own: it still answers its own, in 70 ms.
    x.Clear();
    x.Sent(kRead, 0, false);
    x.Sent(kRead, 100 * kMs, false);
    EXPECT_EQ(x.Received(kReply.data(), kReply.size(), kReply.size(), 70 * kMs).Request, 1u);
    EXPECT_EQ(x.Received(kReply.data(), kReply.size(), kReply.size(), 170 * kMs).ResponseMs, 70.0);
    x.Settle(5000 * kMs);
    EXPECT_EQ(x.Counts().Unanswered(), 0u);
    EXPECT_EQ(*x.Counts().MinMs(), 70.0);

    // After a clear, a reply to a request sent before it is shown but not counted.
    x.Sent(kRead, 6000 * kMs, false);
    x.Clear();
    r = x.Received(kReply.data(), kReply.size(), kReply.size(), 6010 * kMs);
    EXPECT_EQ(r.Request, 0u);
    EXPECT_EQ(r.Length, kReply.size());
    EXPECT_EQ(x.Counts().CountsText(), QStringLiteral("发送 0 帧，回复 0 帧，校验失败 0 帧，异常 0 帧，无回复 0 次"));
}

// A copy of the request is the line's echo, not a reply, except where the
// reply is the request by design; with echo removal it is taken out, and
// the response time runs from its last byte.
TEST(Exchange, EchoesExceptionsAndOtherDevices)
{
    const TByteDynArray write = WithCrc({1, 6, 0, 1, 0, 0x2A});
    EXPECT_EQ(ClassifyReply(kRead, kRead.data(), kRead.size()), TReplyKind::Echo);
    EXPECT_EQ(ClassifyReply(write, write.data(), write.size()), TReplyKind::Good);
    const TByteDynArray exception = WithCrc({1, 0x83, 2});
    EXPECT_EQ(ClassifyReply(kRead, exception.data(), exception.size()), TReplyKind::Exception);
    for (const TByteDynArray& other : {WithCrc({2, 3, 2, 0x10, 0}), WithCrc({1, 4, 2, 0x10, 0}), WithCrc({1, 0x84, 2})})
        EXPECT_EQ(ClassifyReply(kRead, other.data(), other.size()), TReplyKind::Foreign);
    EXPECT_EQ(ClassifyReply(kRead, kReply.data(), kReply.size() - 1), TReplyKind::BadCrc);

    TExchange x;
    x.Sent(kRead, 0, false);
    auto r = x.Received(kRead.data(), kRead.size(), 8192, 5 * kMs);
    EXPECT_FALSE(r.Answers);
    EXPECT_EQ(r.Kind, TReplyKind::Echo);
    EXPECT_TRUE(x.Received(exception.data(), exception.size(), 8192, 9 * kMs).Answers);
    EXPECT_EQ(x.Counts().Exceptions(), 1u);

    x.Sent(kRead, 100 * kMs, true);
    EXPECT_TRUE(x.Received(kRead.data(), kRead.size(), 8192, 104 * kMs).Dropped);
    r = x.Received(kReply.data(), kReply.size(), 8192, 110 * kMs);
    EXPECT_EQ(r.Kind, TReplyKind::Good);
    EXPECT_EQ(r.ResponseMs, 6.0);

    // The reply on the echo's heels in one package: the echo is skipped.
    x.Sent(kRead, 200 * kMs, true);
    TByteDynArray both = kRead;
    both.insert(both.end(), kReply.begin(), kReply.end());
    r = x.Received(both.data(), both.size(), 8192, 210 * kMs);
    EXPECT_EQ(r.Offset, kRead.size());
    EXPECT_EQ(r.Length, kReply.size());
    EXPECT_EQ(r.Kind, TReplyKind::Good);

    // A collision: the first bytes are not the frame; nothing is dropped.
    x.Sent(kRead, 300 * kMs, true);
    TByteDynArray garbled = kRead;
    garbled[3] ^= 0x40;
    r = x.Received(garbled.data(), garbled.size(), 8192, 305 * kMs);
    EXPECT_TRUE(r.EchoMismatch);
    EXPECT_FALSE(r.Dropped);
    EXPECT_EQ(r.Length, garbled.size());
    EXPECT_EQ(RxLine(garbled.data() + r.Offset, r.Length, r.EchoMismatch),
              QStringLiteral("RX:01 03 00 40 00 01 84 0A [数据校验失败] [回显不符]"));
}

TEST(LogCounts, MinimumMedianAndMaximumResponseTimes)
{
    TLogCounts c;
    c.CountReply(false, false, std::nullopt); // before any request: no time
    EXPECT_FALSE(c.MedianMs());
    EXPECT_EQ(c.Summary(), QStringLiteral("发送 0 帧，回复 1 帧，校验失败 0 帧，异常 0 帧，无回复 0 次；响应时间：最短 -，中位 -，最长 -"));
    for (double ms : {9.4, 2.0, 120.0, 3.5, 2500.0, 7.25})
        c.CountReply(false, false, ms);
    EXPECT_DOUBLE_EQ(*c.MinMs(), 2.0);
    EXPECT_DOUBLE_EQ(*c.MaxMs(), 2500.0);
    EXPECT_NEAR(*c.MedianMs(), (7.25 + 9.4) / 2, 0.01);
    c.Clear();
    EXPECT_FALSE(c.MinMs());
    EXPECT_EQ(c.Replies(), 0u);
}

TEST(LogLine, TimesInFrontAndTheResponseTimeAfterTheMark)
{
    const QDateTime at(QDate(2026, 1, 2), QTime(12, 3, 4, 567));
    const std::uint8_t good[] = {0x01, 0x06, 0x00, 0x01, 0x00, 0x2A, 0x59, 0xD5};
    EXPECT_EQ(TimedLine(RxLine(good, 8), at, 9.44), QStringLiteral("12:03:04.567 RX:01 06 00 01 00 2A 59 D5 (9.4 ms)"));
    EXPECT_EQ(TimedLine(RxLine(good, 2), at, 0.05),
              QStringLiteral("12:03:04.567 RX:01 06 [数据校验失败] (0.1 ms)"));
    EXPECT_EQ(TimedLine(TxLine(good, 2), at), QStringLiteral("12:03:04.567 TX:01 06 "));
}
