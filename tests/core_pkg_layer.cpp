// The package layer over a fake port: framing, the head/tail parser, the
// queues, the sender, notifications and reconfiguration.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "comm/TKelvorCommPkg.h"
#include "tests/core_pkg_FakePort.h"
#include "tests/support/Pty.h"

using namespace KelvorComm32;
using pkgtest::Bytes;
using pkgtest::Drain;
using pkgtest::FakePort;
using pkgtest::WaitFor;
using testsupport::HexBytes;

// The impossible-size test asks for more memory than the sanitizers'
// allocators hand out; they must answer with null as malloc does.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

struct Layer {
    FakePort port;
    TCommPackage pkg{&port};
    explicit Layer(TCommPackageType type)
    {
        pkg.fSetPkgType(type);
        pkg.fSetActive(true);
    }
};

// A compatible-mode slot record with the given data.
Bytes Record(const TCommPackage& pkg, const Bytes& data)
{
    Bytes rec(std::max<std::size_t>(pkg.PackageSize() + 4, 32), 0);
    std::uint32_t len = static_cast<std::uint32_t>(data.size());
    std::memcpy(rec.data(), &len, 4);
    std::copy(data.begin(), data.end(), rec.begin() + 4);
    return rec;
}

} // namespace

TEST(PackageFraming, EscapesMarksAndDoublesThemOnRequest)
{
    Layer l(cptFrameHeadTail);
    Bytes data = HexBytes("01 EB 02");
    EXPECT_EQ(l.pkg.WritePackage(data.data(), 3), 3u);
    EXPECT_EQ(l.port.TakeSent(), HexBytes("EB 01 EC EB 02 EE"));

    l.pkg.fSetDblFrameMark(true);
    EXPECT_EQ(l.pkg.WritePackage(data.data(), 3), 3u);
    EXPECT_EQ(l.port.TakeSent(), HexBytes("EB EB 01 EC EB 02 EE EE"));

    // Every mark in the data is escaped, the control byte included.
    l.pkg.fSetDblFrameMark(false);
    Bytes marks = HexBytes("EE EC EB 00");
    EXPECT_EQ(l.pkg.WritePackage(marks.data(), 4), 4u);
    EXPECT_EQ(l.port.TakeSent(), HexBytes("EB EC EE EC EC EC EB 00 EE"));

    // Nothing to send: no frame at all.
    EXPECT_EQ(l.pkg.WritePackage(data.data(), 0), 0u);
    EXPECT_EQ(l.pkg.WritePackage(nullptr, 3), 0u);
    EXPECT_TRUE(l.port.Sent().empty());
}

TEST(PackageFraming, CompatibleWritesWholeRecordsAndTimeoutSendsRaw)
{
    Layer l(cptCompatiblePkg);
    Bytes rec = Record(l.pkg, HexBytes("01 EB 02"));
    EXPECT_EQ(l.pkg.WritePackage(rec.data(), 0), 1u);
    EXPECT_EQ(l.port.TakeSent(), HexBytes("EB 01 EC EB 02 EE"));

    // A record claiming more than PackageSize is cut to PackageSize.
    l.pkg.fSetPkgSz(28);
    Bytes big(40, 0x11);
    rec = Record(l.pkg, Bytes(28, 0x11));
    std::uint32_t claimed = 40;
    std::memcpy(rec.data(), &claimed, 4);
    EXPECT_EQ(l.pkg.WritePackage(rec.data(), 0), 1u);
    Bytes expect{0xEB};
    expect.insert(expect.end(), 28, 0x11);
    expect.push_back(0xEE);
    EXPECT_EQ(l.port.TakeSent(), expect);

    l.pkg.fSetPkgType(cptFrameTimeout);
    Bytes raw = HexBytes("01 EB EE EC");
    EXPECT_EQ(l.pkg.WritePackage(raw.data(), 4), 4u);
    EXPECT_EQ(l.port.TakeSent(), raw);
    // Longer than PackageSize: cut, and the shorter count returned.
    EXPECT_EQ(l.pkg.WritePackage(big.data(), 40), 28u);
    EXPECT_EQ(l.port.TakeSent(), Bytes(28, 0x11));
}

struct ParseCase {
    const char* wire;
    std::vector<const char*> packages;
};

class HeadTailParser : public ::testing::TestWithParam<ParseCase> {};

TEST_P(HeadTailParser, CutsTheStreamAsTheStateTableSays)
{
    Layer l(cptFrameHeadTail);
    l.port.FeedAndNotify(HexBytes(GetParam().wire));
    std::vector<Bytes> want;
    for (const char* p : GetParam().packages)
        want.push_back(HexBytes(p));
    EXPECT_EQ(Drain(l.pkg), want);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HeadTailParser,
    ::testing::Values(ParseCase{"EB 05 EE", {"05"}},
                      ParseCase{"EB EC EE 06 EE", {"EE 06"}},
                      ParseCase{"EC EB 07 EE", {}},                 // escaped head starts no frame
                      ParseCase{"EB 01 02 EB 03 EE", {"03"}},       // a second head restarts
                      ParseCase{"EB EB 01 EC EB 02 EE EE", {"01 EB 02"}}, // doubled marks absorbed
                      ParseCase{"55 EE EB 09 EE 66 EB 0A EE", {"09", "0A"}},
                      ParseCase{"EB EC EC EE", {"EC"}},
                      ParseCase{"EB 01 EC", {}}));                  // unfinished frame waits

TEST(HeadTailParserState, SurvivesBetweenNotificationsAndResetsOnActivate)
{
    Layer l(cptFrameHeadTail);
    l.port.FeedAndNotify(HexBytes("EB 01 EC"));
    l.port.FeedAndNotify(HexBytes("EE 02"));
    l.port.FeedAndNotify(HexBytes("EE"));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{HexBytes("01 EE 02")});

    // Turning the layer on again forgets a half-received frame.
    l.port.FeedAndNotify(HexBytes("EB 01 02"));
    l.pkg.fSetActive(true);
    l.port.FeedAndNotify(HexBytes("03 EE EB 04 EE"));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{HexBytes("04")});
}

TEST(HeadTailParserState, EmptyPackageIsQueuedAndTakenWithCountZero)
{
    Layer l(cptFrameHeadTail);
    l.port.FeedAndNotify(HexBytes("EB EE EB 07 EE"));
    Bytes buf(16, 0xAA);
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 16), 0u); // the empty one, removed
    EXPECT_EQ(buf[0], 0xAA);
    EXPECT_EQ(l.pkg.ReadPackage(nullptr, 0), 1u);     // the next one is there
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 16), 1u);
    EXPECT_EQ(buf[0], 0x07);
}

TEST(HeadTailParserState, LongFrameIsCutAtPackageSizeAndQueuedAtItsTail)
{
    Layer l(cptFrameHeadTail);
    l.pkg.fSetPkgSz(30);
    Bytes wire{0xEB};
    for (int i = 0; i < 50; ++i)
        wire.push_back(static_cast<std::uint8_t>(i));
    wire.push_back(0xEE);
    l.port.FeedAndNotify(wire);
    auto got = Drain(l.pkg);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Bytes(wire.begin() + 1, wire.begin() + 31));
}

TEST(HeadTailParserState, MarkChangeAppliesFromTheNextByteWithoutReset)
{
    Layer l(cptFrameHeadTail);
    l.port.FeedAndNotify(HexBytes("EB 01"));
    l.pkg.FrameTail.store(0x55);
    l.port.FeedAndNotify(HexBytes("EE 55"));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{HexBytes("01 EE")});
}

TEST(PackageQueue, SixteenSlotsKeepFifteenPackagesInOrder)
{
    Layer l(cptFrameHeadTail);
    for (int i = 0; i < 16; ++i)
        l.port.FeedAndNotify(Bytes{0xEB, static_cast<std::uint8_t>(i), 0xEE});
    auto got = Drain(l.pkg);
    ASSERT_EQ(got.size(), 15u);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(got[i], Bytes{static_cast<std::uint8_t>(i)});
}

TEST(PackageQueue, PeekLeavesThePackageAndShortBufferLosesTheRest)
{
    Layer l(cptFrameHeadTail);
    l.port.FeedAndNotify(HexBytes("EB 01 02 03 04 EE EB 05 EE"));
    EXPECT_EQ(l.pkg.ReadPackage(nullptr, 0), 4u);
    Bytes buf(8, 0);
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 0), 4u);
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 2), 2u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 2), HexBytes("01 02"));
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 8), 1u);
    EXPECT_EQ(buf[0], 0x05);
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 8), 0u);
}

TEST(PackageQueue, CompatibleReadsWholeRecords)
{
    Layer l(cptCompatiblePkg);
    l.port.FeedAndNotify(HexBytes("EB 0A 0B EE"));
    Bytes rec(l.pkg.PackageSize() + 4, 0);
    EXPECT_EQ(l.pkg.ReadPackage(nullptr, 0), 0u); // no buffer: nothing taken
    EXPECT_EQ(l.pkg.ReadPackage(rec.data(), 0), 1u);
    std::uint32_t len;
    std::memcpy(&len, rec.data(), 4);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(Bytes(rec.begin() + 4, rec.begin() + 6), HexBytes("0A 0B"));
    EXPECT_EQ(l.pkg.ReadPackage(rec.data(), 0), 0u);
}

TEST(PackageLayerState, InactiveLayerDoesNothingButPassNotificationsOn)
{
    FakePort port;
    std::vector<int> prev;
    port.OnCommNotify = [&](TObject* s, int t) {
        EXPECT_EQ(s, &port);
        prev.push_back(t);
    };
    TCommPackage pkg(&port);
    std::vector<int> own;
    pkg.OnNotify = [&](TObject*, int t) { own.push_back(t); };
    pkg.fSetPkgType(cptFrameHeadTail);

    Bytes data = HexBytes("01");
    EXPECT_EQ(pkg.WritePackage(data.data(), 1), 0u);
    port.FeedAndNotify(HexBytes("EB 05 EE"));
    EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0u);
    EXPECT_EQ(port.Pending(), 3u); // the port was not read
    pkg.PurgeRead();
    pkg.PurgeWrite();
    EXPECT_TRUE(port.Purges().empty());
    EXPECT_TRUE(port.Sent().empty());
    EXPECT_TRUE(own.empty());
    EXPECT_EQ(prev, std::vector<int>{EV_RXCHAR});
}

TEST(PackageLayerState, PackageEventComesBeforeThePortEventWithOtherBitsPassedThrough)
{
    FakePort port;
    std::vector<std::string> log;
    port.OnCommNotify = [&](TObject*, int t) { log.push_back("port " + std::to_string(t)); };
    TCommPackage pkg(&port);
    pkg.OnNotify = [&](TObject* s, int t) {
        EXPECT_EQ(s, &pkg);
        log.push_back("pkg " + std::to_string(t));
    };
    pkg.fSetPkgType(cptFrameHeadTail);
    pkg.fSetActive(true);

    port.Feed(HexBytes("EB 01 EE"));
    port.Notify(EV_RXCHAR | EV_CTS);
    // While a package waits unread, every arrival of bytes reports it again.
    port.Feed(HexBytes("EB 02"));
    port.Notify(EV_RXCHAR);
    EXPECT_EQ(Drain(pkg).size(), 1u);
    // Bytes but no finished package: only the other bits reach OnNotify.
    port.Notify(EV_RXCHAR | EV_ERR);
    port.Notify(EV_TXEMPTY); // nothing left to send
    EXPECT_EQ(log, (std::vector<std::string>{"pkg 9", "port 9", "pkg 1", "port 1", "pkg 128", "port 129", "pkg 4",
                                             "port 4"}));
    // Nothing at all for OnNotify: only the port's handler hears it.
    log.clear();
    port.Notify(EV_RXCHAR);
    EXPECT_EQ(log, std::vector<std::string>{"port 1"});
}

TEST(PackageLayerState, DestructorPutsThePreviousHandlerBack)
{
    FakePort port;
    int calls = 0;
    port.OnCommNotify = [&](TObject*, int) { ++calls; };
    {
        TCommPackage pkg(&port);
        port.Notify(EV_RXCHAR);
        EXPECT_EQ(calls, 1);
    }
    port.Notify(EV_RXCHAR);
    EXPECT_EQ(calls, 2);
}

TEST(PackageSender, PartialWritesAreFinishedBeforeTheNextPackageAndNeverRepeated)
{
    Layer l(cptFrameTimeout);
    l.port.SetAcceptPerWrite(3);
    Bytes a = HexBytes("01 02 03 04 05"), b = HexBytes("06 07");
    EXPECT_EQ(l.pkg.WritePackage(a.data(), 5), 5u);
    EXPECT_EQ(l.pkg.WritePackage(b.data(), 2), 2u); // finishes a, b waits
    EXPECT_EQ(l.port.Sent(), HexBytes("01 02 03 04 05"));
    std::vector<int> masks;
    l.pkg.OnNotify = [&](TObject*, int t) { masks.push_back(t); };
    l.port.Notify(EV_TXEMPTY); // b goes, write queue now empty
    l.port.Notify(EV_TXEMPTY); // nothing left
    EXPECT_EQ(l.port.Sent(), HexBytes("01 02 03 04 05 06 07"));
    EXPECT_EQ(masks, (std::vector<int>{EV_TXEMPTY, EV_TXEMPTY}));
}

TEST(PackageSender, FullWriteQueueRefusesAndLosesNothingQueued)
{
    Layer l(cptFrameTimeout);
    l.port.SetAcceptPerWrite(0); // writing disabled on the port
    Bytes d{0x42};
    int accepted = 0;
    for (int i = 0; i < 20; ++i)
        accepted += l.pkg.WritePackage(d.data(), 1) ? 1 : 0;
    // One waits in the send buffer, fifteen in the queue.
    EXPECT_EQ(accepted, 16);
    l.port.SetAcceptPerWrite(1 << 20);
    for (int i = 0; i < 20; ++i)
        l.port.Notify(EV_TXEMPTY);
    EXPECT_EQ(l.port.Sent(), Bytes(16, 0x42));
}

TEST(PackageLayerPurge, PurgesReachThePortWithoutAbort)
{
    Layer l(cptFrameHeadTail);
    l.pkg.PurgeRead();
    l.pkg.PurgeWrite();
    EXPECT_EQ(l.port.Purges(), (std::vector<const char*>{"R", "W"}));
}

TEST(PackageReconfigure, ChangingSizeOrTypeWhileActiveDiscardsBothDirections)
{
    Layer l(cptFrameHeadTail);
    l.port.SetAcceptPerWrite(0);
    Bytes d = HexBytes("42");
    l.port.FeedAndNotify(HexBytes("EB 01 EE EB 02"));
    l.pkg.WritePackage(d.data(), 1);
    l.pkg.WritePackage(d.data(), 1);

    l.pkg.fSetPkgSz(100);
    EXPECT_TRUE(l.pkg.Active());
    EXPECT_EQ(l.pkg.PackageSize(), 100u);
    EXPECT_EQ(l.pkg.ReadPackage(nullptr, 0), 0u);
    l.port.SetAcceptPerWrite(1 << 20);
    l.port.Notify(EV_TXEMPTY);
    EXPECT_TRUE(l.port.Sent().empty());
    // The half-received frame went too.
    l.port.FeedAndNotify(HexBytes("03 EE EB 04 EE"));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{HexBytes("04")});

    l.port.FeedAndNotify(HexBytes("EB 05 EE"));
    l.pkg.fSetQSize(4);
    EXPECT_EQ(l.pkg.ReadPackage(nullptr, 0), 0u);
    for (int i = 0; i < 5; ++i)
        l.port.FeedAndNotify(Bytes{0xEB, static_cast<std::uint8_t>(i), 0xEE});
    EXPECT_EQ(Drain(l.pkg).size(), 3u);
}

TEST(PackageReconfigure, SizeBelowASlotKeepsTheValueAndStaysInBounds)
{
    Layer l(cptCompatiblePkg);
    l.pkg.fSetPkgSz(5);
    EXPECT_EQ(l.pkg.PackageSize(), 5u);
    // Slots are 32 bytes; records are copied whole into buffers of that size
    // (the sanitizer build checks the bounds).
    l.port.FeedAndNotify(HexBytes("EB 01 02 03 04 05 06 07 08 EE"));
    Bytes rec(32, 0);
    ASSERT_EQ(l.pkg.ReadPackage(rec.data(), 0), 1u);
    std::uint32_t len;
    std::memcpy(&len, rec.data(), 4);
    EXPECT_EQ(len, 5u);
    EXPECT_EQ(Bytes(rec.begin() + 4, rec.begin() + 9), HexBytes("01 02 03 04 05"));
    rec = Record(l.pkg, HexBytes("0A 0B 0C 0D 0E 0F"));
    EXPECT_EQ(l.pkg.WritePackage(rec.data(), 0), 1u);
    EXPECT_EQ(l.port.TakeSent(), HexBytes("EB 0A 0B 0C 0D 0E EE"));

    l.pkg.fSetPkgType(cptFrameHeadTail);
    l.pkg.fSetPkgSz(0);
    l.port.FeedAndNotify(HexBytes("EB 01 02 EE"));
    Bytes buf(4, 0xAA);
    EXPECT_EQ(l.pkg.ReadPackage(nullptr, 0), 0u);
    EXPECT_EQ(l.pkg.ReadPackage(buf.data(), 4), 0u);
    EXPECT_EQ(buf[0], 0xAA);
}

TEST(PackageReconfigure, ImpossibleSizeRaisesAndKeepsTheOldSetup)
{
    Layer l(cptFrameHeadTail);
    l.port.FeedAndNotify(HexBytes("EB 01 EE"));
    EXPECT_THROW(l.pkg.fSetPkgSz(static_cast<unsigned long>(-1)), EComm32Error);
    EXPECT_THROW(l.pkg.fSetPkgSz(TCommPackage::MaxPackageSize + 1), EComm32Error);
    EXPECT_EQ(l.pkg.PackageSize(), 4096u);
    EXPECT_TRUE(l.pkg.Active());
    // Nothing was reset by the failed attempt.
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{HexBytes("01")});
    EXPECT_THROW(l.pkg.fSetQSize(1ul << 40), EComm32Error);
    EXPECT_EQ(l.pkg.QueueSize(), 16u);
}
