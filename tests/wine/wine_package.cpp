// The package layer on a port of the real Win32 API: packages ended by a
// pause, by an end test (against the libmodbus slave too), framed packages
// both ways, and the device component's Active cycle as it drives the port
// and the layer.
#include "comm/TKelvorCommPkg.h"
#include "tests/wine/WineSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace KelvorComm32;
using winetest::Bytes;
using winetest::WaitUntil;

namespace {

constexpr int kCom = 6;

std::uint16_t Crc16(const std::uint8_t* p, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

Bytes WithCrc(Bytes b)
{
    const std::uint16_t crc = Crc16(b.data(), b.size());
    b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    b.push_back(static_cast<std::uint8_t>(crc >> 8));
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

class WinePackage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Connected()) << "no wine_peer: run these tests with scripts/test wine";
        port.fSetPort(kCom);
        pkg = std::make_unique<TCommPackage>(&port);
        pkg->OnNotify = [this](TObject*, int mask) {
            std::lock_guard<std::mutex> g(lock);
            masks.push_back(mask);
        };
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
        if (!port.Active())
            port.Open();
    }
    int PackagesAnnounced()
    {
        std::lock_guard<std::mutex> g(lock);
        int n = 0;
        for (int m : masks)
            n += (m & EV_RXCHAR) != 0;
        return n;
    }
    std::vector<Bytes> Drain()
    {
        std::vector<Bytes> out;
        Bytes b(1 << 16);
        while (unsigned long got = pkg->ReadPackage(b.data(), static_cast<unsigned long>(b.size())))
            out.emplace_back(b.begin(), b.begin() + static_cast<long>(got));
        return out;
    }
    // What the device component does with UsePackage on: the port first,
    // then the layer; a failed opening leaves the layer as it was.
    void SetActive(bool value)
    {
        if (value != port.Active())
            port.fSetActive(value);
        if (value != pkg->Active())
            pkg->fSetActive(value);
    }

    winetest::PeerLink peer;
    TComm32 port;
    std::unique_ptr<TCommPackage> pkg;
    std::mutex lock;
    std::vector<int> masks;
};

} // namespace

TEST_F(WinePackage, APauseEndsAPackageAndShortGapsDoNot)
{
    peer.Open(kCom);
    pkg->fSetPkgInterval(250); // far above the gaps below, whatever the load
    Start(cptFrameTimeout);
    Bytes all;
    for (std::uint8_t i = 0; i < 6; ++i) {
        peer.Send(kCom, Bytes{i, 0xEB});
        all.insert(all.end(), {i, 0xEB});
    }
    ASSERT_TRUE(WaitUntil([&] { return PackagesAnnounced() == 1; }));
    EXPECT_EQ(Drain(), std::vector<Bytes>{all});

    pkg->fSetPkgInterval(50);
    peer.Send(kCom, Bytes{0x11, 0x12});
    std::this_thread::sleep_for(400ms);
    peer.Send(kCom, Bytes{0x13});
    ASSERT_TRUE(WaitUntil([&] { return PackagesAnnounced() == 3; }));
    EXPECT_EQ(Drain(), (std::vector<Bytes>{{0x11, 0x12}, {0x13}}));
}

// A pause of a minute never comes here: only the end test closes packages.
TEST_F(WinePackage, TheEndTestClosesEachPackageAsItsLastByteComes)
{
    peer.Open(kCom);
    pkg->fSetPkgInterval(60000);
    pkg->fSetPkgEnd([](TObject*, const std::uint8_t*, unsigned long n) { return n == 3; });
    Start(cptFrameTimeout);
    peer.Send(kCom, Bytes{1, 2, 3, 4, 5, 6, 7});
    ASSERT_TRUE(WaitUntil([&] { return PackagesAnnounced() == 2; }));
    EXPECT_EQ(Drain(), (std::vector<Bytes>{{1, 2, 3}, {4, 5, 6}}));
    peer.Send(kCom, Bytes{8, 9});
    ASSERT_TRUE(WaitUntil([&] { return PackagesAnnounced() == 3; }));
    EXPECT_EQ(Drain(), std::vector<Bytes>{(Bytes{7, 8, 9})});
}

// Requests to the libmodbus slave; each reply ends by its own length.
TEST_F(WinePackage, ModbusRepliesEndByTheirLength)
{
    peer.OpenModbusSlave(kCom);
    pkg->fSetPkgInterval(60000);
    pkg->fSetPkgEnd([](TObject*, const std::uint8_t* d, unsigned long n) {
        if (n >= 2 && (d[1] & 0x80))
            return n == 5;
        return n >= 3 && n == 5ul + d[2];
    });
    port.fSetBaud(9600);
    Start(cptFrameTimeout);
    for (std::uint16_t start = 0; start < 4; ++start) {
        const Bytes request = WithCrc({1, 3, 0, static_cast<std::uint8_t>(start), 0, 2});
        ASSERT_EQ(pkg->WritePackage(request.data(), static_cast<unsigned long>(request.size())), request.size());
        ASSERT_TRUE(WaitUntil([&] { return PackagesAnnounced() == start + 1; })) << start;
        const std::vector<Bytes> got = Drain();
        ASSERT_EQ(got.size(), 1u);
        const std::uint8_t lo = static_cast<std::uint8_t>(start);
        EXPECT_EQ(got[0], WithCrc({1, 3, 4, 0x10, lo, 0x10, static_cast<std::uint8_t>(lo + 1)})) << start;
    }
}

TEST_F(WinePackage, FramedPackagesTravelBothWays)
{
    peer.Open(kCom);
    Start(cptFrameHeadTail);
    Bytes wire;
    std::vector<Bytes> sent;
    for (int seq = 0; seq < 40; ++seq) {
        Bytes p(static_cast<std::size_t>(1 + seq * 17 % 300));
        for (std::size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<std::uint8_t>(0xE8 + (seq + i) % 12); // marks among them
        ASSERT_TRUE(WaitUntil([&] { return pkg->WritePackage(p.data(), static_cast<unsigned long>(p.size())) == p.size(); }))
            << seq;
        const Bytes f = Frame(p);
        wire.insert(wire.end(), f.begin(), f.end());
        sent.push_back(p);
    }
    EXPECT_EQ(peer.Recv(kCom, wire.size()), wire);
    EXPECT_TRUE(peer.RecvUntilQuiet(kCom, 100ms).empty()); // nothing twice

    // Ten at a time: the read queue holds fifteen.
    std::vector<Bytes> got;
    for (std::size_t first = 0; first < sent.size(); first += 10) {
        Bytes batch;
        for (std::size_t i = first; i < first + 10; ++i) {
            const Bytes f = Frame(sent[i]);
            batch.insert(batch.end(), f.begin(), f.end());
        }
        peer.Send(kCom, batch);
        ASSERT_TRUE(WaitUntil([&] {
            for (Bytes& b : Drain())
                got.push_back(std::move(b));
            return got.size() >= first + 10;
        }));
    }
    EXPECT_EQ(got, sent);
}

// Each activation starts afresh: half a frame from the last session is gone,
// and what is written goes out on the new one.
TEST_F(WinePackage, TheActiveCycleOfTheDeviceComponent)
{
    peer.Open(kCom);
    pkg->fSetPkgType(cptFrameHeadTail);
    SetActive(true);
    ASSERT_TRUE(port.Active() && pkg->Active());
    peer.Send(kCom, Bytes{0xEB, 0x01});
    std::this_thread::sleep_for(100ms);
    SetActive(false);
    EXPECT_FALSE(port.Active() || pkg->Active());

    SetActive(true);
    peer.Send(kCom, Bytes{0x02, 0xEE, 0xEB, 0x03, 0xEE});
    ASSERT_TRUE(WaitUntil([&] { return PackagesAnnounced() > 0; }));
    EXPECT_EQ(Drain(), std::vector<Bytes>{Bytes{0x03}});
    const Bytes out{0x42};
    EXPECT_EQ(pkg->WritePackage(out.data(), 1), 1u);
    EXPECT_EQ(peer.Recv(kCom, 3), (Bytes{0xEB, 0x42, 0xEE}));
    SetActive(false);

    // No such port: the opening fails and the layer stays off.
    port.fSetPort(43);
    EXPECT_THROW(SetActive(true), EComm32Error);
    EXPECT_FALSE(port.Active());
    EXPECT_FALSE(pkg->Active());
    port.fSetPort(kCom);
    SetActive(true);
    EXPECT_TRUE(port.Active() && pkg->Active());
}
