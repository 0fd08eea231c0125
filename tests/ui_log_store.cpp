// The log behind Memo3: every line kept on disk, and the traffic counts.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "app/log/LogCounts.h"
#include "app/log/LogLine.h"
#include "app/log/LogStore.h"

namespace {

constexpr std::int64_t kMs = 1'000'000;

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

TEST(LogCounts, UnansweredBeforeTheNextSendOrAfterASecond)
{
    TLogCounts c;
    c.RequestSent(0);
    c.RequestSent(10 * kMs); // the first got nothing before this one
    EXPECT_EQ(c.Unanswered(), 1u);
    EXPECT_EQ(c.ReplyReceived(false, 25 * kMs), 15.0);
    c.RequestSent(30 * kMs);
    c.Settle(30 * kMs + TLogCounts::kReplyWindowNs);
    EXPECT_EQ(c.Unanswered(), 1u); // exactly a second is still in time
    c.Settle(31 * kMs + TLogCounts::kReplyWindowNs);
    EXPECT_EQ(c.Unanswered(), 2u);
    c.RequestSent(2000 * kMs);
    EXPECT_EQ(c.Unanswered(), 2u); // not counted twice
    c.ReplyReceived(true, 2003 * kMs);
    EXPECT_EQ(c.Sent(), 4u);
    EXPECT_EQ(c.Replies(), 2u);
    EXPECT_EQ(c.Marked(), 1u);
    c.RequestSent(3000 * kMs);
    c.CloseOpenRequest();
    EXPECT_EQ(c.Unanswered(), 3u);
}

TEST(LogCounts, MinimumMedianAndMaximumResponseTimes)
{
    TLogCounts c;
    EXPECT_FALSE(c.ReplyReceived(false, 5)); // nothing sent yet: no time
    EXPECT_FALSE(c.MedianMs());
    EXPECT_EQ(c.Summary(), QStringLiteral("发送 0 帧，回复 1 帧，校验失败 0 帧，无回复 0 次；响应时间：最短 -，中位 -，最长 -"));
    const double times[] = {9.4, 2.0, 120.0, 3.5, 2500.0, 7.25};
    std::int64_t t = 0;
    for (double ms : times) {
        c.RequestSent(t);
        c.ReplyReceived(false, t + static_cast<std::int64_t>(ms * kMs));
        t += 10'000 * kMs;
    }
    EXPECT_DOUBLE_EQ(*c.MinMs(), 2.0);
    EXPECT_DOUBLE_EQ(*c.MaxMs(), 2500.0);
    EXPECT_NEAR(*c.MedianMs(), (7.25 + 9.4) / 2, 0.01);
    c.Clear();
    EXPECT_FALSE(c.MinMs());
    EXPECT_EQ(c.Sent(), 0u);
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
