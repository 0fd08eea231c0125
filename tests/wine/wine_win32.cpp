// The Win32 serial calls themselves, as the port's threads use them: what the
// library counts on, checked against the system rather than our Linux layer.
#include "tests/wine/WineSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;
using winetest::Bytes;
using winetest::WaitUntil;

namespace {

constexpr int kCom = 7;

struct Event {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(h); }
};

class WineWin32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Connected()) << "no wine_peer: run these tests with scripts/test wine";
        peer.Open(kCom);
        h = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                        nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        wov.hEvent = wev.h;
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    // Starts a wait; true when it is pending.
    bool StartWait()
    {
        mask = 0xFFFF;
        if (WaitCommEvent(h, &mask, &wov))
            return false;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return true;
    }
    DWORD Waiting()
    {
        COMSTAT st{};
        DWORD errors = 0;
        return ClearCommError(h, &errors, &st) ? st.cbInQue : 0;
    }

    winetest::PeerLink peer;
    HANDLE h = INVALID_HANDLE_VALUE;
    Event wev;
    OVERLAPPED wov{};
    DWORD mask = 0;
};

} // namespace

// The reader asks for what ClearCommError counted and gets it at once; a
// read that has to wait is cancelled and reports what it did get.
TEST_F(WineWin32, CountedBytesAreReadAtOnceAndACancelledReadKeepsItsBytes)
{
    COMMTIMEOUTS none{}; // no time-outs: a read waits for all it asked for
    ASSERT_TRUE(SetCommTimeouts(h, &none));
    peer.Send(kCom, Bytes{1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return Waiting() == 3; }));
    Event ev;
    OVERLAPPED ov{};
    ov.hEvent = ev.h;
    std::uint8_t buf[16] = {};
    DWORD n = 0;
    // Done at once, though a driver may say it is pending (Wine does, and
    // ends it a moment later).
    if (!ReadFile(h, buf, 3, &n, &ov)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
        EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    }
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{1, 2, 3}));

    peer.Send(kCom, Bytes{4, 5});
    ASSERT_TRUE(WaitUntil([&] { return Waiting() == 2; }));
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ev.h, 100), WAIT_TIMEOUT);
    EXPECT_TRUE(CancelIo(h));
    n = 0;
    const BOOL ok = GetOverlappedResult(h, &ov, &n, TRUE);
    EXPECT_TRUE(ok || GetLastError() == ERROR_OPERATION_ABORTED) << GetLastError();
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{4, 5}));
}

TEST_F(WineWin32, ChangingTheMaskEndsAPendingWaitWithAnEmptyMask)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(StartWait());
    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG));
    ASSERT_EQ(WaitForSingleObject(wev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, 0u);
    // Windows reports success; Wine says the wait was aborted. The port's
    // reader reads only the mask.
    DWORD n = 0;
    if (!GetOverlappedResult(h, &wov, &n, FALSE))
        EXPECT_TRUE(winetest::UnderWine() && GetLastError() == ERROR_OPERATION_ABORTED) << GetLastError();
}

TEST_F(WineWin32, EventsWakeAPendingWait)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(StartWait());
    EXPECT_EQ(WaitForSingleObject(wev.h, 100), WAIT_TIMEOUT) << "an idle line has nothing to say";
    peer.Send(kCom, Bytes{0x10});
    ASSERT_EQ(WaitForSingleObject(wev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

    // Read, so that no byte is left to report (Wine reports unread bytes
    // again at every wait; Windows once, when they come).
    std::uint8_t b = 0;
    DWORD got = 0;
    OVERLAPPED rov{};
    Event rev;
    rov.hEvent = rev.h;
    ASSERT_TRUE(ReadFile(h, &b, 1, &got, &rov) || GetOverlappedResult(h, &rov, &got, TRUE));
    EXPECT_EQ(b, 0x10);
    ASSERT_TRUE(StartWait());
    OVERLAPPED ov{};
    Event ev;
    ov.hEvent = ev.h;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, &ov) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_EQ(WaitForSingleObject(wev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_TXEMPTY));
    EXPECT_EQ(peer.Recv(kCom, 3), (Bytes{'a', 'b', 'c'}));
}

// The driver keeps an event that came while nobody waited for the next
// wait; the reader is between two waits whenever it hands bytes over.
TEST_F(WineWin32, AnEventWhileNobodyWaitedIsKeptForTheNextWait)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    OVERLAPPED ov{};
    Event ev;
    ov.hEvent = ev.h;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "d", 1, &n, &ov) || GetLastError() == ERROR_IO_PENDING);
    ASSERT_EQ(peer.Recv(kCom, 1), Bytes{'d'});
    std::this_thread::sleep_for(50ms);
    if (StartWait())
        ASSERT_EQ(WaitForSingleObject(wev.h, 2000), WAIT_OBJECT_0) << "the transmit-empty of the write was lost";
    EXPECT_EQ(mask, static_cast<DWORD>(EV_TXEMPTY));
}

// An aborted write tells how much of it went, so nothing is sent twice.
TEST_F(WineWin32, AnAbortedWriteTellsWhatWent)
{
    Bytes block(4096);
    OVERLAPPED ov{};
    Event ev;
    ov.hEvent = ev.h;
    DWORD n = 0;
    std::size_t sent = 0;
    BOOL ok = TRUE;
    for (int i = 0; i < 1000 && ok; ++i) {
        for (std::size_t k = 0; k < block.size(); ++k)
            block[k] = static_cast<std::uint8_t>((sent + k) * 7);
        ok = WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &n, &ov);
        if (ok)
            sent += n;
    }
    ASSERT_FALSE(ok) << "the line never filled up";
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    n = 0;
    if (WaitForSingleObject(ev.h, 2000) != WAIT_OBJECT_0) {
        CancelIo(h);
        if (winetest::UnderWine())
            GTEST_SKIP() << "Wine's PURGE_TXABORT leaves a pending write to finish when the line drains";
        FAIL() << "PURGE_TXABORT did not end the pending write";
    }
    if (!GetOverlappedResult(h, &ov, &n, TRUE))
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // PURGE_TXCLEAR also drops what completed writes left in the driver's
    // buffer, so the far end sees at most what went, and never a byte twice.
    const Bytes got = peer.RecvUntilQuiet(kCom, 300ms);
    ASSERT_LE(got.size(), sent + n);
    for (std::size_t k = 0; k < got.size(); ++k)
        ASSERT_EQ(got[k], static_cast<std::uint8_t>(k * 7)) << "byte " << k;
}

// The far end closed: the pending wait ends, and the calls that tell the
// library its device has gone fail from then on.
TEST_F(WineWin32, APulledLineEndsTheWaitAndFailsTheCalls)
{
    ASSERT_TRUE(SetCommMask(h, 0x05BF));
    ASSERT_TRUE(StartWait());
    peer.HangUp(kCom);
    ASSERT_EQ(WaitForSingleObject(wev.h, 5000), WAIT_OBJECT_0);
    DWORD errors = 0;
    COMSTAT st{};
    EXPECT_FALSE(ClearCommError(h, &errors, &st));
    std::uint8_t buf[4];
    DWORD n = 0;
    OVERLAPPED ov{};
    Event ev;
    ov.hEvent = ev.h;
    const BOOL read = ReadFile(h, buf, sizeof buf, &n, &ov) || GetOverlappedResult(h, &ov, &n, TRUE);
    EXPECT_FALSE(read && n > 0);
    EXPECT_TRUE(SetCommMask(h, EV_RXFLAG));
    EXPECT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
}

// 1.5 stop bits go with 5 data bits only, 2 stop bits with 6 to 8.
TEST_F(WineWin32, StopBitsThatDoNotFitTheDataBitsAreRefused)
{
    DCB d{};
    d.DCBlength = sizeof d;
    ASSERT_TRUE(GetCommState(h, &d));
    d.BaudRate = 9600;
    d.ByteSize = 8;
    d.StopBits = ONE5STOPBITS;
    const BOOL oneAndAHalf = SetCommState(h, &d);
    d.ByteSize = 5;
    d.StopBits = TWOSTOPBITS;
    const BOOL two = SetCommState(h, &d);
    if ((oneAndAHalf || two) && winetest::UnderWine())
        GTEST_SKIP() << "Wine takes 1.5 stop bits with 8 data bits and 2 with 5 (as CSTOPB)";
    EXPECT_FALSE(oneAndAHalf);
    EXPECT_FALSE(two);
    d.ByteSize = 5;
    d.StopBits = ONE5STOPBITS;
    EXPECT_TRUE(SetCommState(h, &d)) << GetLastError();
}
