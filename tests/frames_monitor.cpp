// The bus monitor's engine on traffic made here, each byte with the time a
// 9600-baud line would bring it: cutting, pairing, resynchronising after a
// broken frame, the silence rule, and the counts.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QString>

#include "app/modbus/Crc16.h"
#include "app/modbus/HexText.h"
#include "app/monitor/BusCounts.h"
#include "app/monitor/BusLine.h"
#include "app/monitor/FrameSplitter.h"

namespace {

TByteDynArray Bytes(const char* Hex)
{
    return HexBytes(QString::fromLatin1(Hex));
}

TByteDynArray Frame(const char* Hex)
{
    const TByteDynArray data = Bytes(Hex);
    return WithCrc(data.data(), data.size());
}

// A line that carries frames one character time a byte, with a silence
// before each, and a listener that reads it in chunks.
class TBus {
public:
    TBus() : Timing(TBusTiming::ForLine(TLineSettings{9600, 8, 0, 0})) {}

    TBus& Send(const TByteDynArray& Data, double GapChars = 3.5)
    {
        FNow += static_cast<std::int64_t>(GapChars * static_cast<double>(Timing.CharNs));
        for (std::uint8_t b : Data) {
            FNow += Timing.CharNs;
            FBytes.push_back(b);
            FTimes.push_back(FNow);
        }
        return *this;
    }

    // What the listener makes of it, fed Chunk bytes at a time (each chunk
    // at the time of its last byte); a long silence at the end.
    std::vector<TBusFrame> Listen(std::size_t Chunk = 1)
    {
        std::vector<TBusFrame> frames;
        Counts = TBusCounts();
        TFrameSplitter s(Timing, 0, [&](const TBusFrame& F) {
            frames.push_back(F);
            Counts.Add(F);
        });
        for (std::size_t i = 0; i < FBytes.size(); i += Chunk) {
            const std::size_t n = std::min(Chunk, FBytes.size() - i);
            s.Feed(FBytes.data() + i, n, FTimes[i + n - 1]);
        }
        s.Poll(FNow + 1'000'000'000);
        Counts.Finish();
        return frames;
    }

    std::string Lines(std::size_t Chunk = 1)
    {
        std::string out;
        for (const TBusFrame& f : Listen(Chunk))
            out += BusLine(f).toStdString() + "\n";
        return out;
    }

    const TBusTiming Timing;
    TBusCounts Counts;

private:
    std::vector<std::uint8_t> FBytes;
    std::vector<std::int64_t> FTimes;
    std::int64_t FNow = 0;
};

} // namespace

TEST(BusMonitor, TimingOfTheLine)
{
    const TBusTiming slow = TBusTiming::ForLine(TLineSettings{9600, 8, 2, 0}); // 8E1: 11 bits
    EXPECT_EQ(slow.CharNs, 1'145'833);
    EXPECT_EQ(slow.FrameGapNs, 7 * slow.CharNs / 2);
    EXPECT_EQ(TBusTiming::ForLine(TLineSettings{115200, 8, 0, 0}).FrameGapNs, 1'750'000);
}

TEST(BusMonitor, PairsRepliesWithTheirRequestsAndCounts)
{
    TBus bus;
    bus.Send(Frame("01 03 00 00 00 02"))
        .Send(Frame("01 03 04 10 00 10 01"))
        .Send(Frame("02 03 00 00 00 01"), 20) // slave 2 does not answer
        .Send(Frame("00 06 00 01 00 05"), 20) // a broadcast expects no reply
        .Send(Frame("01 06 00 0A 12 34"))
        .Send(Frame("01 06 00 0A 12 34"))     // the echo is the reply
        .Send(Frame("01 03 03 E7 00 02"))
        .Send(Frame("01 83 02"));
    EXPECT_EQ(bus.Lines(), "REQ:01 03 00 00 00 02 C4 0B \n"
                           "RSP:01 03 04 10 00 10 01 32 F3 \n"
                           "REQ:02 03 00 00 00 01 84 39 \n"
                           "REQ:00 06 00 01 00 05 19 D8 \n"
                           "REQ:01 06 00 0A 12 34 A4 BF \n"
                           "RSP:01 06 00 0A 12 34 A4 BF \n"
                           "REQ:01 03 03 E7 00 02 74 78 \n"
                           "RSP:01 83 02 C0 F1 \n");
    const std::vector<TBusFrame> frames = bus.Listen();
    for (int i : {1, 5, 7})
        EXPECT_TRUE(frames[i].Paired) << i;
    EXPECT_EQ(frames[1].Request, frames[0].Bytes);
    EXPECT_EQ(DecodedBusLine(frames[1], {}).toStdString(), "  读保持寄存器 0=4096 1=4097");
    EXPECT_EQ(DecodedBusLine(frames[7], {}).toStdString(), "  异常 02：非法数据地址");
    // 3.5 characters of silence, then 9 characters of reply.
    const QDateTime at(QDate(2026, 1, 2), QTime(12, 3, 4, 567));
    EXPECT_EQ(TimedBusLine(frames[1], at).toStdString(),
              "12:03:04.567 RSP:01 03 04 10 00 10 01 32 F3 (+3.6 ms, 13.0 ms after REQ)");
    EXPECT_EQ(TimedBusLine(frames[2], at).toStdString(), "12:03:04.567 REQ:02 03 00 00 00 01 84 39 (+20.8 ms)");

    EXPECT_EQ(bus.Counts.Summary().toStdString(), "请求 5 帧，回复 3 帧，无回复 1 次，校验失败 0 帧\n"
                                                  "  站 0（广播）：请求 1\n"
                                                  "  站 1：请求 3，回复 3，无回复 0，校验失败 0\n"
                                                  "  站 2：请求 1，回复 0，无回复 1，校验失败 0");
}

// Frames whose length the rules know come out the same however the reader
// happens to cut the bytes.
TEST(BusMonitor, ChunksDoNotMatter)
{
    TBus bus;
    // A reply whose request came before listening began, and a broadcast
    // right behind it: the reply and a zero byte also check as a request.
    bus.Send(Frame("01 03 02 00 2A"))
        .Send(Frame("00 06 00 01 00 05"), 0)
        .Send(Frame("01 10 00 00 00 02 04 00 01 00 02"), 0)
        .Send(Frame("01 10 00 00 00 02"), 0)
        .Send(Frame("01 17 00 05 00 01 00 05 00 01 02 AB CD"), 0)
        .Send(Frame("01 17 02 AB CD"), 0)
        .Send(Frame("01 01 00 00 00 0A"), 0)
        .Send(Frame("01 01 02 55 01"), 0);
    const std::string expected = bus.Lines();
    EXPECT_EQ(expected.find("???"), std::string::npos) << expected;
    EXPECT_EQ(expected.rfind("RSP:01 03 02 00 2A 39 9B \nREQ:00 06 ", 0), 0u) << expected;
    for (std::size_t chunk : {3, 7, 64, 4096})
        EXPECT_EQ(bus.Lines(chunk), expected) << chunk;
}

// A broken frame costs one unknown line, not the frames after it, whether a
// silence follows it or the next frame comes at once.
TEST(BusMonitor, BrokenFrameCostsOneLine)
{
    for (double gap : {0.0, 3.5}) {
        TBus bus;
        TByteDynArray broken = Frame("01 03 00 00 00 02");
        broken[5] ^= 0x10;
        bus.Send(broken)
            .Send(Frame("01 03 00 00 00 02"), gap)
            .Send(Frame("01 03 04 10 00 10 01"))
            .Send(Bytes("01 03 00"))         // cut short
            .Send(Bytes("FF 00 13 77"), gap) // noise
            .Send(Frame("01 06 00 0A 12 34"), gap)
            .Send(Frame("01 06 00 0A 12 34"));
        EXPECT_EQ(bus.Lines(), "???:01 03 00 00 00 12 C4 0B [数据校验失败]\n"
                               "REQ:01 03 00 00 00 02 C4 0B \n"
                               "RSP:01 03 04 10 00 10 01 32 F3 \n"
                               "???:01 03 00 FF 00 13 77 [数据校验失败]\n"
                               "REQ:01 06 00 0A 12 34 A4 BF \n"
                               "RSP:01 06 00 0A 12 34 A4 BF \n")
            << gap;
        EXPECT_EQ(bus.Counts.Failed(), 2u);
        EXPECT_EQ(bus.Counts.Replies(), 2u);
    }
}

// Noise that looks like the start of a frame of unknown length does not
// hold back the good frame behind it until the next silence.
TEST(BusMonitor, FrameAfterNoiseComesOutAtOnce)
{
    TBus bus;
    std::vector<TBusFrame> frames;
    TFrameSplitter s(bus.Timing, 0, [&](const TBusFrame& F) { frames.push_back(F); });
    TByteDynArray bytes = Bytes("00 13 77");
    const TByteDynArray request = Frame("01 03 00 00 00 02");
    bytes.insert(bytes.end(), request.begin(), request.end());
    s.Feed(bytes.data(), bytes.size(), 20'000'000);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Bytes, Bytes("00 13 77"));
    EXPECT_EQ(frames[1].Bytes, request);
}

// A function the rules cannot size ends at a silence of 3.5 characters,
// also when no more bytes come.
TEST(BusMonitor, SilenceEndsFramesTheRulesCannotSize)
{
    TBus bus;
    bus.Send(Frame("01 08 00 00 12 34")).Send(Frame("01 08 00 00 12 34")).Send(Frame("01 2B 0E 01 00"));
    EXPECT_EQ(bus.Lines(), "REQ:01 08 00 00 12 34 ED 7C \n"
                           "RSP:01 08 00 00 12 34 ED 7C \n"
                           "REQ:01 2B 0E 01 00 70 77 \n");

    std::vector<TBusFrame> frames;
    TFrameSplitter s(bus.Timing, 0, [&](const TBusFrame& F) { frames.push_back(F); });
    const TByteDynArray f = Frame("01 2B 0E 01 00");
    s.Feed(f.data(), f.size(), 50'000'000);
    ASSERT_TRUE(s.Deadline());
    EXPECT_EQ(*s.Deadline(), 50'000'000 + bus.Timing.FrameGapNs);
    s.Poll(*s.Deadline() - 1);
    EXPECT_TRUE(frames.empty());
    s.Poll(*s.Deadline());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, TBusFrameKind::Request);
    EXPECT_FALSE(s.Deadline());
}

// A frame whose length is known waits longer for its last bytes (an adapter
// may hand them over late), then goes out as unknown.
TEST(BusMonitor, FrameCutShortAtTheEndGoesOutAfterAWhile)
{
    TBus bus;
    std::vector<TBusFrame> frames;
    TFrameSplitter s(bus.Timing, 0, [&](const TBusFrame& F) { frames.push_back(F); });
    const TByteDynArray part = Bytes("01 03 00 00");
    s.Feed(part.data(), part.size(), 10'000'000);
    s.Poll(10'000'000 + bus.Timing.FrameGapNs);
    EXPECT_TRUE(frames.empty());
    const TByteDynArray rest = Bytes("00 02 C4 0B");
    s.Feed(rest.data(), rest.size(), 30'000'000);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Kind, TBusFrameKind::Request);

    s.Feed(part.data(), part.size(), 40'000'000);
    s.Poll(40'000'000 + bus.Timing.StallNs);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(BusLine(frames[1]).toStdString(), "???:01 03 00 00 [数据校验失败]");
}
