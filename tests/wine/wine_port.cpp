// The serial port on the real Win32 API: opening and its failures, line
// settings, bytes both ways, notifications, purges and a pulled line. The far
// end of each COM port is a pty master held by wine_peer.
#include "comm/TKelvorComm32.h"
#include "tests/wine/WineSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using KelvorComm32::EComm32Error;
using KelvorComm32::TComm32;
using winetest::AsText;
using winetest::Bytes;
using winetest::Pattern;
using winetest::WaitUntil;

namespace {

constexpr int kCom = 5;

class WinePort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Connected()) << "no wine_peer: run these tests with scripts/test wine";
        peer.Open(kCom);
        port.fSetPort(kCom);
        port.OnCommNotify = [this](TObject*, int type) {
            std::lock_guard<std::mutex> g(lock);
            notes.push_back({type, port.OutQueue()->Count()});
        };
    }

    struct Note {
        int type;
        long outQueued; // bytes still in the output queue when it came
    };
    // Notifications of the I/O threads with this bit (open and close send
    // 0x0038, which is left out).
    int CountWith(int bit)
    {
        std::lock_guard<std::mutex> g(lock);
        return static_cast<int>(
            std::count_if(notes.begin(), notes.end(), [&](const Note& n) { return n.type != 0x0038 && (n.type & bit); }));
    }
    std::vector<Note> Notes()
    {
        std::lock_guard<std::mutex> g(lock);
        return notes;
    }
    void ForgetNotes()
    {
        std::lock_guard<std::mutex> g(lock);
        notes.clear();
    }
    Bytes ReadPort()
    {
        Bytes out(static_cast<std::size_t>(port.InQueue()->Count()));
        out.resize(static_cast<std::size_t>(port.Read(out.data(), static_cast<long>(out.size()))));
        return out;
    }
    // Once a byte got through, the reader is waiting for events.
    void WaitUntilWatching()
    {
        peer.Send(kCom, Bytes{0x55});
        ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() > 0; }));
        ReadPort();
    }
    DCB LineState()
    {
        DCB d{};
        d.DCBlength = sizeof d;
        EXPECT_TRUE(GetCommState(port.Handle(), &d)) << GetLastError();
        return d;
    }

    winetest::PeerLink peer;
    std::mutex lock;
    std::vector<Note> notes;
    TComm32 port; // last, so it closes before the rest goes
};

EComm32Error OpenError(TComm32& port)
{
    try {
        port.Open();
    } catch (const EComm32Error& e) {
        return e;
    }
    ADD_FAILURE() << "the port opened";
    return EComm32Error(static_cast<EComm32Error::TErrorCode>(0));
}

} // namespace

TEST_F(WinePort, OpensAndClosesWithItsNotifications)
{
    int afterOpen = 0, beforeClose = 0;
    port.OnAfterOpen = [&](TObject*) { ++afterOpen; };
    port.OnBeforeClose = [&](TObject*) {
        ++beforeClose;
        EXPECT_TRUE(port.Active());
    };
    for (int round = 0; round < 3; ++round) {
        port.Open();
        ASSERT_TRUE(port.Active());
        EXPECT_NE(port.Handle(), INVALID_HANDLE_VALUE);
        port.Close();
        EXPECT_FALSE(port.Active());
        EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(afterOpen, 3);
    EXPECT_EQ(beforeClose, 3);
    ASSERT_FALSE(Notes().empty());
    EXPECT_EQ(Notes().front().type, 0x0038);
    EXPECT_EQ(Notes().back().type, 0x0038);
}

TEST_F(WinePort, APortThatDoesNotExistFailsWithTheSystemsReason)
{
    port.fSetPort(42);
    const EComm32Error e = OpenError(port);
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOpenPort);
    EXPECT_EQ(e.SystemError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(e.PortName, u"COM42");
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
}

// A port is opened for one user at a time.
TEST_F(WinePort, ASecondOpeningOfTheSamePortIsRefused)
{
    if (winetest::UnderWine())
        GTEST_SKIP() << "Wine lets a second handle open a COM port that is already open";
    port.Open();
    TComm32 other;
    other.fSetPort(kCom);
    const EComm32Error e = OpenError(other);
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOpenPort);
    EXPECT_FALSE(other.Active());
    EXPECT_TRUE(e.SystemError == ERROR_ACCESS_DENIED || e.SystemError == ERROR_SHARING_VIOLATION) << e.SystemError;
    port.Close();
    EXPECT_NO_THROW(other.Open()); // free again
}

// A refused setting fails the opening, and the device is let go.
TEST_F(WinePort, ARefusedLineSettingFailsTheOpeningAndFreesThePort)
{
    port.fSetByteSize(9);
    EXPECT_EQ(OpenError(port).ErrorCode, EComm32Error::ecSetCommState);
    EXPECT_FALSE(port.Active());
    port.fSetByteSize(8);
    port.Open();
    peer.Send(kCom, "ok");
    EXPECT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 2; }));
}

TEST_F(WinePort, RateAndStopBitsReadBack)
{
    const struct {
        unsigned long baud;
        unsigned char stop;
    } cases[] = {{9600, ONESTOPBIT}, {19200, TWOSTOPBITS}, {115200, ONESTOPBIT}, {57600, TWOSTOPBITS}};
    for (const auto& c : cases) {
        port.fSetBaud(c.baud);
        port.fSetStopBits(c.stop);
        port.Open();
        const DCB d = LineState();
        EXPECT_EQ(d.BaudRate, c.baud);
        EXPECT_EQ(d.StopBits, c.stop);
        EXPECT_EQ(port.Baud(), c.baud);
        port.Close();
    }
}

TEST_F(WinePort, ParityAndDataBitsReadBack)
{
    if (winetest::UnderWine())
        GTEST_SKIP() << "Wine reads the line back from the tty, and a pty forces 8 data bits and no parity";
    port.fSetParity(EVENPARITY);
    port.fSetByteSize(7);
    port.Open();
    const DCB d = LineState();
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.ByteSize, 7);
}

TEST_F(WinePort, WhatTheFarEndSendsIsQueuedWholeAndAnnounced)
{
    port.Open();
    const Bytes data = Pattern(5000);
    peer.Send(kCom, data);
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 5000; }));
    EXPECT_EQ(ReadPort(), data);
    EXPECT_GT(CountWith(EV_RXCHAR), 0);
    // Small pieces one after another: each one is read, none twice.
    Bytes all;
    for (int i = 0; i < 20; ++i) {
        const Bytes piece = Pattern(1 + static_cast<std::size_t>(i) * 7, i);
        peer.Send(kCom, piece);
        all.insert(all.end(), piece.begin(), piece.end());
    }
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == static_cast<long>(all.size()); }));
    EXPECT_EQ(ReadPort(), all);
}

// A long write leaves chunk by chunk, each after the last has gone, and
// transmit-empty comes only once everything has left.
TEST_F(WinePort, WritesReachTheFarEndWholeAndTransmitEmptyComesAtTheEnd)
{
    port.Open();
    WaitUntilWatching();
    const Bytes data = Pattern(1300, 3);
    EXPECT_EQ(port.Write(data.data(), 1300), 1300);
    EXPECT_EQ(peer.Recv(kCom, 1300), data);
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_TXEMPTY) > 0; }));
    for (const Note& n : Notes())
        if (n.type != 0x0038 && (n.type & EV_TXEMPTY))
            EXPECT_EQ(n.outQueued, 0);

    for (int round = 0; round < 10; ++round) {
        ForgetNotes();
        const Bytes chunk = Pattern(700 + static_cast<std::size_t>(round) * 137, round);
        ASSERT_EQ(port.Write(chunk.data(), static_cast<long>(chunk.size())), static_cast<long>(chunk.size()));
        ASSERT_EQ(peer.Recv(kCom, chunk.size()), chunk) << round;
        ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_TXEMPTY) > 0; })) << round;
    }
}

// An idle port raises nothing: no event is reported again and again.
TEST_F(WinePort, AnIdlePortIsQuiet)
{
    port.Open();
    WaitUntilWatching();
    port.Write("x", 1);
    EXPECT_EQ(peer.Recv(kCom, 1), Bytes{'x'});
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_TXEMPTY) > 0; }));
    std::this_thread::sleep_for(100ms);
    ForgetNotes();
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(Notes().size(), 1u);
}

TEST_F(WinePort, PurgeReadEmptiesTheQueueAndLaterBytesStillCome)
{
    port.Open();
    peer.Send(kCom, "old");
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 3; }));
    port.PurgeRead(true);
    EXPECT_EQ(port.InQueue()->Count(), 0);
    peer.Send(kCom, "new");
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 3; }));
    EXPECT_EQ(AsText(ReadPort()), "new");
}

// The far end reads nothing, so the device fills and a write stays pending;
// a purge drops what has not gone, the chunk under way included: what
// arrives is an unbroken start of the data, then the next write.
TEST_F(WinePort, PurgeWriteDropsWhatHasNotGone)
{
    if (winetest::UnderWine())
        GTEST_SKIP() << "Wine's PURGE_TXABORT leaves a pending write to finish after the purge cleared the line";
    port.Open();
    WaitUntilWatching();
    const Bytes data = Pattern(256 * 1024, 5);
    long queued = 0, stuckAt = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            queued += port.Write(data.data() + queued, std::min<long>(4096, static_cast<long>(data.size()) - queued));
            const long waiting = port.OutQueue()->Count();
            if (waiting == 0 || waiting != stuckAt) {
                stuckAt = waiting;
                return false;
            }
            std::this_thread::sleep_for(100ms);
            return port.OutQueue()->Count() == waiting;
        },
        20s));
    port.PurgeWrite(true);
    EXPECT_EQ(port.OutQueue()->Count(), 0);
    port.Write("END", 3);
    const Bytes got = peer.RecvUntilQuiet(kCom, 500ms);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(AsText(Bytes(got.end() - 3, got.end())), "END");
    const std::size_t before = got.size() - 3;
    ASSERT_LT(before, static_cast<std::size_t>(queued));
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(before), data.begin()))
        << before << " bytes before the next write are not the start of the data";
}

// The far end goes away while the port is open: the reader says so once,
// nothing spins, the port closes without an error and opens again once the
// line is back.
TEST_F(WinePort, APulledLineIsNoticedAndThePortOpensAgainLater)
{
    port.Open();
    WaitUntilWatching();
    ForgetNotes();
    peer.HangUp(kCom);
    EXPECT_TRUE(WaitUntil([&] { return port.DeviceLost(); }));
    port.Write("lost", 4);
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(Notes().size(), 10u);
    EXPECT_NO_THROW(port.Close());
    EXPECT_FALSE(port.Active());

    peer.Open(kCom);
    port.OutQueue()->Clear();
    port.Open();
    peer.Send(kCom, "ok");
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 2; }));
    port.Write("back", 4);
    EXPECT_EQ(AsText(peer.Recv(kCom, 4)), "back");
}

// Reading and writing at once: the reader is often busy handing bytes over
// when a chunk's transmit-empty comes, and the next chunk must still go.
TEST_F(WinePort, LongWritesAndReadsAtOnceBothArriveWhole)
{
    port.fSetInBufSize(65536); // holds all that comes in: nothing is dropped
    port.Open();
    WaitUntilWatching();
    const Bytes out = Pattern(40000, 11), in = Pattern(40000, 12);
    long written = 0;
    std::thread writer([&] {
        while (written < static_cast<long>(out.size())) {
            const long n = port.Write(out.data() + written, static_cast<long>(out.size()) - written);
            written += n;
            if (n == 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    for (std::size_t at = 0; at < in.size(); at += 1000)
        peer.Send(kCom, Bytes(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + 1000)));
    const Bytes got = peer.Recv(kCom, out.size(), 30s);
    writer.join();
    EXPECT_TRUE(got == out) << got.size() << " of " << out.size() << " bytes arrived";
    EXPECT_TRUE(WaitUntil([&] { return port.InQueue()->Count() >= static_cast<long>(in.size()); }))
        << port.InQueue()->Count() << " of " << in.size() << " bytes came in";
    EXPECT_TRUE(ReadPort() == in);
}

// Closing while a write waits for a full device neither hangs nor loses the
// port: it opens again and writes.
TEST_F(WinePort, ClosingWithAWritePendingLetsThePortOpenAgain)
{
    port.Open();
    const Bytes data = Pattern(256 * 1024, 5);
    long queued = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            queued += port.Write(data.data() + queued, std::min<long>(4096, static_cast<long>(data.size()) - queued));
            const long waiting = port.OutQueue()->Count();
            std::this_thread::sleep_for(50ms);
            return waiting > 0 && port.OutQueue()->Count() == waiting;
        },
        20s));
    EXPECT_NO_THROW(port.Close());
    const Bytes got = peer.RecvUntilQuiet(kCom, 300ms);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())); // what went, went in order
    port.OutQueue()->Clear();
    port.Open();
    port.Write("next", 4);
    EXPECT_EQ(AsText(peer.Recv(kCom, 4)), "next");
}

TEST_F(WinePort, ManyOpensLeakNoHandles)
{
    port.Open();
    port.Close();
    DWORD before = 0, after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    // Closing at once, often before the reader has begun to wait, and later.
    for (int i = 0; i < 200; ++i) {
        port.Open();
        if (i % 10 == 0) {
            peer.Send(kCom, Bytes{static_cast<std::uint8_t>(i)});
            port.Write("z", 1);
        }
        port.Close();
    }
    EXPECT_TRUE(WaitUntil([&] { return GetProcessHandleCount(GetCurrentProcess(), &after) && after <= before; }))
        << after << " handles, " << before << " before";
}
