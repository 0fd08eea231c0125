// The package layer on a real port over a pseudo-terminal: what arrives on
// the wire becomes packages, what is written leaves in order, and the purges
// and reconfiguration reach both directions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "comm/TKelvorCommPkg.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/core_pkg_FakePort.h"
#include "tests/support/Pty.h"

using namespace KelvorComm32;
using namespace std::chrono_literals;
using pkgtest::Drain;
using pkgtest::WaitFor;
using testsupport::Bytes;
using testsupport::HexBytes;
using testsupport::PtyPair;

namespace {

class PackageOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        win32posix::ResetFaults();
        map.map(7, pty.slavePath());
        port.fSetPort(7);
        // Installed before the layer: it runs after the layer's own work.
        port.OnCommNotify = [this](TObject*, int t) {
            if (t & EV_RXCHAR)
                ++rxNotes;
        };
        pkg = std::make_unique<TCommPackage>(&port);
        pkg->OnNotify = [this](TObject*, int t) {
            std::lock_guard<std::mutex> g(lock);
            masks.push_back(t);
        };
        port.Open();
    }
    void TearDown() override
    {
        // The port's threads call into the layer: they stop first.
        port.Close();
        pkg.reset();
    }
    void Start(TCommPackageType type)
    {
        pkg->fSetPkgType(type);
        pkg->fSetActive(true);
    }
    int PackagesAnnounced()
    {
        std::lock_guard<std::mutex> g(lock);
        int n = 0;
        for (int m : masks)
            n += (m & EV_RXCHAR) != 0;
        return n;
    }
    // Waits until the reader has handed bytes through the layer once more.
    void AwaitParsed(int before) { ASSERT_TRUE(WaitFor([&] { return rxNotes.load() > before; })); }

    testsupport::DeviceMap map;
    PtyPair pty;
    TComm32 port;
    std::unique_ptr<TCommPackage> pkg;
    std::atomic<int> rxNotes{0};
    std::mutex lock;
    std::vector<int> masks;
};

Bytes Payload(int seq)
{
    // Lengths from 1 to 700 bytes, marks included, so framing has work.
    int n = 1 + (seq * 97) % 700;
    Bytes b(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xE8 + (seq + i) % 12);
    return b;
}

Bytes Frame(const Bytes& data)
{
    Bytes f{0xEB};
    for (std::uint8_t b : data) {
        if (b == 0xEB || b == 0xEE || b == 0xEC)
            f.push_back(0xEC);
        f.push_back(b);
    }
    f.push_back(0xEE);
    return f;
}

} // namespace

TEST_F(PackageOnPty, FramesFromTheWireBecomePackages)
{
    // Whole records tell an empty package from none.
    Start(cptCompatiblePkg);
    pkg->fSetPkgSz(30);
    Bytes longFrame{0xEB};
    for (int i = 0; i < 40; ++i)
        longFrame.push_back(static_cast<std::uint8_t>(i));
    longFrame.push_back(0xEE);
    pty.write(HexBytes("EB 05 EE  EB EC EE 06 EE  EC EB 07 EE  EB 01 02 EB 03 EE  EB EE"));
    pty.write(HexBytes("EB EB 09 EC EB EE EE")); // sent with doubled marks
    pty.write(longFrame);
    pty.write(HexBytes("EB 0A 0B"));
    std::this_thread::sleep_for(20ms); // a frame split over two arrivals
    pty.write(HexBytes("0C EE EB 7F EE"));

    std::vector<Bytes> got;
    Bytes rec(34);
    ASSERT_TRUE(WaitFor([&] {
        while (pkg->ReadPackage(rec.data(), 0) == 1) {
            std::uint32_t len;
            std::memcpy(&len, rec.data(), 4);
            got.emplace_back(rec.begin() + 4, rec.begin() + 4 + len);
        }
        return !got.empty() && got.back() == Bytes{0x7F};
    }));
    std::vector<Bytes> want{HexBytes("05"),    HexBytes("EE 06"), HexBytes("03"),
                            Bytes{},           HexBytes("09 EB"), Bytes(longFrame.begin() + 1, longFrame.begin() + 31),
                            HexBytes("0A 0B 0C"), HexBytes("7F")};
    EXPECT_EQ(got, want);
    EXPECT_GT(PackagesAnnounced(), 0);
}

TEST_F(PackageOnPty, FrameHeadChangeTakesEffectFromTheNextByte)
{
    Start(cptFrameHeadTail);
    int before = rxNotes.load();
    pty.write(HexBytes("EB 01"));
    AwaitParsed(before);
    pkg->FrameHead.store(0x01);
    pty.write(HexBytes("EB 01 02 EE"));
    ASSERT_TRUE(WaitFor([&] { return pkg->ReadPackage(nullptr, 0) > 0; }));
    // The old frame goes on until the new head restarts it.
    EXPECT_EQ(Drain(*pkg), std::vector<Bytes>{HexBytes("02")});
}

class BackToBack : public PackageOnPty, public ::testing::WithParamInterface<TCommPackageType> {};

TEST_P(BackToBack, PackagesLeaveWholeAndInOrder)
{
    const TCommPackageType type = GetParam();
    Start(type);
    const int count = 120;
    Bytes expect;
    for (int seq = 0; seq < count; ++seq) {
        Bytes p = type == cptFrameTimeout ? Payload(seq) : Frame(Payload(seq));
        expect.insert(expect.end(), p.begin(), p.end());
    }
    // The far end reads all along, or the line would stall.
    Bytes got;
    std::thread farEnd([&] { got = pty.read(expect.size(), 30s); });
    Bytes rec(pkg->PackageSize() + 4);
    for (int seq = 0; seq < count; ++seq) {
        Bytes p = Payload(seq);
        auto write = [&] {
            if (type == cptCompatiblePkg) {
                std::uint32_t len = static_cast<std::uint32_t>(p.size());
                std::memcpy(rec.data(), &len, 4);
                std::memcpy(rec.data() + 4, p.data(), p.size());
                return pkg->WritePackage(rec.data(), 0) == 1;
            }
            return pkg->WritePackage(p.data(), static_cast<unsigned long>(p.size())) == p.size();
        };
        // A full write queue refuses; the reader's transmit-empty events
        // empty it meanwhile.
        EXPECT_TRUE(WaitFor(write, 10s)) << "package " << seq;
    }
    farEnd.join();
    ASSERT_EQ(got.size(), expect.size());
    EXPECT_TRUE(got == expect);
    EXPECT_TRUE(pty.readUntilQuiet(100ms, 1s).empty()); // nothing twice
}

INSTANTIATE_TEST_SUITE_P(AllTypes, BackToBack, ::testing::Values(cptCompatiblePkg, cptFrameHeadTail, cptFrameTimeout));

TEST_F(PackageOnPty, PauseEndsAPackageAndShortGapsDoNot)
{
    pkg->fSetPkgInterval(250); // gaps far below it, whatever the machine's load
    Start(cptFrameTimeout);
    for (int i = 0; i < 6; ++i) {
        pty.write(Bytes{static_cast<std::uint8_t>(i), 0xEB});
        std::this_thread::sleep_for(3ms);
    }
    ASSERT_TRUE(WaitFor([&] { return PackagesAnnounced() == 1; }));
    EXPECT_EQ(Drain(*pkg), std::vector<Bytes>{HexBytes("00 EB 01 EB 02 EB 03 EB 04 EB 05 EB")});

    pkg->fSetPkgInterval(50);
    pty.write(HexBytes("11 12"));
    std::this_thread::sleep_for(400ms);
    pty.write(HexBytes("13"));
    ASSERT_TRUE(WaitFor([&] { return PackagesAnnounced() == 3; }));
    EXPECT_EQ(Drain(*pkg), (std::vector<Bytes>{HexBytes("11 12"), HexBytes("13")}));
}

// An end test that says how many bytes it still needs lets them gather in
// the driver while they are on the line: the port wakes far fewer times than
// once a byte, and the package still leaves whole. A device that stops short
// loses nothing: the hold ends what it sent.
TEST_F(PackageOnPty, BytesAnEndTestAwaitsGatherWithoutAWakeUpEach)
{
    port.fSetBaud(9600);
    port.Open();
    ASSERT_TRUE(port.Active());
    constexpr unsigned long kWhole = 40;
    pkg->fSetPkgEnd([](TObject*, const std::uint8_t*, unsigned long n) {
        return n >= kWhole ? static_cast<int>(cpeYes) : cpeWaitFor(kWhole - n);
    });
    pkg->fSetPkgInterval(20);
    pkg->fSetPkgHold(300);
    Start(cptFrameTimeout);
    const auto paced = [&](unsigned long count) {
        Bytes sent;
        for (unsigned long i = 0; i < count; ++i) {
            sent.push_back(static_cast<std::uint8_t>(i * 7));
            pty.write(&sent.back(), 1);
            std::this_thread::sleep_for(1040us); // a character at 9600 baud
        }
        return sent;
    };
    const int before = rxNotes.load();
    const Bytes whole = paced(kWhole);
    ASSERT_TRUE(WaitFor([&] { return PackagesAnnounced() == 1; }));
    EXPECT_EQ(Drain(*pkg), std::vector<Bytes>{whole});
    EXPECT_LT(rxNotes.load() - before, static_cast<int>(kWhole / 2));

    const Bytes part = paced(kWhole - 5);
    ASSERT_TRUE(WaitFor([&] { return PackagesAnnounced() == 2; }));
    EXPECT_EQ(Drain(*pkg), std::vector<Bytes>{part});
}

TEST_F(PackageOnPty, PurgesDropWhatIsQueuedOnEachSide)
{
    pkg->fSetPkgInterval(10);
    Start(cptFrameTimeout);
    pty.write(HexBytes("01 02 03"));
    ASSERT_TRUE(WaitFor([&] { return pkg->ReadPackage(nullptr, 0) == 3; }));
    pkg->PurgeRead();
    EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 0u);
    pty.write(HexBytes("04"));
    ASSERT_TRUE(WaitFor([&] { return pkg->ReadPackage(nullptr, 0) == 1; }));

    // Held back by the port: the first package waits in the send buffer,
    // the next two in the write queue.
    port.DisableWrite.store(true);
    Bytes a = HexBytes("A1 A2"), b = HexBytes("B1"), c = HexBytes("C1");
    EXPECT_EQ(pkg->WritePackage(a.data(), 2), 2u);
    EXPECT_EQ(pkg->WritePackage(b.data(), 1), 1u);
    EXPECT_EQ(pkg->WritePackage(c.data(), 1), 1u);
    pkg->PurgeWrite();
    port.DisableWrite.store(false);
    Bytes d = HexBytes("D1");
    EXPECT_EQ(pkg->WritePackage(d.data(), 1), 1u); // finishes the package under way
    Bytes got = pty.read(3, 5s);
    EXPECT_EQ(got, HexBytes("A1 A2 D1"));
    EXPECT_TRUE(pty.readUntilQuiet(100ms, 1s).empty());
}

TEST_F(PackageOnPty, SizeChangeWhileActiveDiscardsBothDirections)
{
    Start(cptFrameHeadTail);
    pty.write(HexBytes("EB 01 EE"));
    ASSERT_TRUE(WaitFor([&] { return pkg->ReadPackage(nullptr, 0) == 1; }));
    port.DisableWrite.store(true);
    Bytes a = HexBytes("A1"), b = HexBytes("B1");
    pkg->WritePackage(a.data(), 1);
    pkg->WritePackage(b.data(), 1);

    pkg->fSetPkgSz(8192);
    EXPECT_TRUE(pkg->Active());
    port.DisableWrite.store(false);
    EXPECT_EQ(pkg->ReadPackage(nullptr, 0), 0u);
    Bytes c = HexBytes("C1");
    EXPECT_EQ(pkg->WritePackage(c.data(), 1), 1u);
    EXPECT_EQ(pty.read(3, 5s), HexBytes("EB C1 EE"));
    EXPECT_TRUE(pty.readUntilQuiet(100ms, 1s).empty());
    pty.write(HexBytes("EB 04 EE"));
    ASSERT_TRUE(WaitFor([&] { return pkg->ReadPackage(nullptr, 0) > 0; }));
    EXPECT_EQ(Drain(*pkg), std::vector<Bytes>{HexBytes("04")});
}

// The reader is held in the layer's handler past the port's close; the
// layer deleted then (as after any failed close) waits for the reader to
// leave it, and the port's previous handler is back for what comes later.
TEST(PackageLayerLife, LayerDeletedAfterAFailedCloseWaitsForTheReaderInsideIt)
{
    testsupport::DeviceMap map;
    PtyPair pty;
    map.map(7, pty.slavePath());
    TComm32 port;
    port.fSetPort(7);
    auto portNotes = std::make_shared<std::atomic<int>>(0);
    port.OnCommNotify = [portNotes](TObject*, int t) { *portNotes += (t & EV_RXCHAR) != 0; };
    struct Held {
        std::atomic<bool> entered{false}, release{false}, left{false};
    };
    auto held = std::make_shared<Held>();
    auto* pkg = new TCommPackage(&port);
    pkg->OnNotify = [held](TObject*, int t) {
        if ((t & EV_RXCHAR) && !held->entered.exchange(true)) {
            WaitFor([&] { return held->release.load(); }, 20s);
            held->left = true;
        }
    };
    pkg->fSetPkgType(cptFrameHeadTail);
    pkg->fSetActive(true);
    port.Open();
    pty.write(HexBytes("EB 01 EE"));
    ASSERT_TRUE(WaitFor([&] { return held->entered.load(); }));
    int code = 0;
    try {
        port.Close();
    } catch (const EComm32Error& e) {
        code = e.ErrorCode;
    }
    EXPECT_EQ(code, EComm32Error::ecCloseReadThread);

    std::atomic<bool> deleted{false};
    std::thread owner([&] {
        delete pkg;
        deleted = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(deleted.load()) << "the layer went while the reader was inside it";
    held->release = true;
    owner.join();
    EXPECT_TRUE(held->left.load());

    const int before = portNotes->load();
    // The device is free once the late reader has let go of it.
    ASSERT_TRUE(WaitFor([&] {
        try {
            port.Open();
            return true;
        } catch (const EComm32Error&) {
            return false;
        }
    }));
    pty.write(HexBytes("05"));
    EXPECT_TRUE(WaitFor([&] { return portNotes->load() > before; }));
    port.Close();
}
