// Serial devices of the Linux Win32 layer, over pseudo-terminal pairs: the
// layer opens the slave side, the test plays the device on the master side.
#include "tests/core_win32_Support.h"

#include "platform/win32/posix/Rs485.h"

#include <asm/termbits.h>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace win32test;
using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::HexBytes;

namespace {

const char* kMonitorThread = "kc-serial-mon";

class Win32Serial : public ::testing::Test {
protected:
    void SetUp() override
    {
        h = OpenPort(DeviceName(pty.slavePath()));
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    }
    void TearDown() override
    {
        win32posix::ResetFaults();
        win32posix::SetFakeModemLines(false);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }

    // Starts a WaitCommEvent on `ov`; true when it is pending.
    bool StartWait(DWORD& mask, OVERLAPPED& ov)
    {
        mask = 0xFFFF;
        if (WaitCommEvent(h, &mask, &ov))
            return false;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return true;
    }

    Bytes ReadAll()
    {
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(h, &errors, &stat));
        Bytes out(stat.cbInQue);
        if (out.empty())
            return out;
        OVERLAPPED ov{};
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &got, &ov));
        out.resize(got);
        return out;
    }

    testsupport::PtyPair pty;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST(Win32DeviceNames, ResolveTheDeviceNamespace)
{
    testsupport::DeviceMap map;
    map.map(3, "/dev/pts/77");
    ::symlink("relative-target", (map.path() + "/com12").c_str());

    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM3"), "/dev/pts/77");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\com3"), "/dev/pts/77") << "COM names are case-blind";
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM12"), map.path() + "/relative-target");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM4"), "/dev/ttyS3") << "unmapped COMn";
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\/dev/pts/5"), "/dev/pts/5");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\CNCA0"), "/dev/CNCA0");
    // No port number: used as a name like any other.
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM0"), "/dev/COM0");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM07"), "/dev/COM07");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM3x"), "/dev/COM3x");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\"), "");
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\a\\b"), "");
}

TEST(Win32DeviceNames, DeviceMapFolderDefaultsToTheUsersConfig)
{
    ScopedEnv devices("KELVORCOMM_DEVICES", nullptr);
    char tmpl[] = "/tmp/kelvor-home-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string home = tmpl;
    ScopedEnv homeEnv("HOME", home.c_str());
    std::string folder = home + "/.config/kelvorcomm/devices";
    ASSERT_EQ(system(("mkdir -p " + folder).c_str()), 0);
    ASSERT_EQ(::symlink("/dev/pts/9", (folder + "/com2").c_str()), 0);
    EXPECT_EQ(win32posix::ResolveDevicePath(u"\\\\.\\COM2"), "/dev/pts/9");
    EXPECT_EQ(system(("rm -rf " + home).c_str()), 0);
}

// Only terminals of a tty driver are opened, and the others are refused
// without being opened at all: opening a watchdog device arms it.
TEST(Win32Open, NamesThatAreNoSerialDeviceAreRefusedUnopened)
{
    char folder[] = "/tmp/kelvor-notty-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/fifo";
    const std::string file = std::string(folder) + "/file";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(system(("echo x > " + file).c_str()), 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (const std::string& path : {fifo, file, std::string("/dev/null")})
        ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_OPEN), 0) << path;
    for (const std::string& path : {fifo, file, std::string(folder), std::string("/dev/null"), std::string("/dev/zero")}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(DeviceName(path)), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_DEVICE)) << path;
    }
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "a refused name was opened";
    ::close(watch);
    EXPECT_EQ(system((std::string("rm -rf ") + folder).c_str()), 0);

    // /dev/tty is the program's own terminal, never a port.
    SetLastError(0);
    EXPECT_EQ(OpenPort(u"\\\\.\\tty"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_IN_USE));
}

// A terminal someone uses gets its settings back when the port closes:
// left raw, it would no longer echo its user's typing.
TEST(Win32Open, ClosingGivesATerminalItsSettingsBack)
{
    testsupport::PtyPair pty;
    const int keeper = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(keeper, 0);
    termios2 cooked{};
    ASSERT_EQ(ioctl(keeper, TCGETS2, &cooked), 0);
    cooked.c_lflag |= ECHO | ICANON | ISIG;
    cooked.c_iflag |= ICRNL;
    cooked.c_oflag |= OPOST;
    ASSERT_EQ(ioctl(keeper, TCSETS2, &cooked), 0);
    HANDLE h = OpenPort(DeviceName(pty.slavePath()));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    termios2 t{};
    ASSERT_EQ(ioctl(keeper, TCGETS2, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_TRUE(CloseHandle(h));
    ASSERT_EQ(ioctl(keeper, TCGETS2, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), static_cast<tcflag_t>(ECHO | ICANON | ISIG));
    EXPECT_EQ(t.c_iflag & ICRNL, static_cast<tcflag_t>(ICRNL));
    EXPECT_EQ(t.c_oflag & OPOST, static_cast<tcflag_t>(OPOST));
    ::close(keeper);
}

TEST(Win32Open, ComNameOpensTheMappedDeviceAndMissingDevicesFail)
{
    testsupport::PtyPair pty;
    testsupport::DeviceMap map;
    map.map(7, pty.slavePath());
    HANDLE h = OpenPort(u"\\\\.\\COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED ov{};
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "ping", 4, &n, &ov));
    EXPECT_EQ(pty.read(4, 2s), (Bytes{'p', 'i', 'n', 'g'}));
    EXPECT_TRUE(CloseHandle(h));

    map.map(8, "/nonexistent/device");
    for (const char16_t* name : {u"\\\\.\\COM8", u"\\\\.\\/dev/kelvor-no-such-tty", u"\\\\.\\kelvor-no-such-tty"}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    SetLastError(0);
    EXPECT_EQ(CreateFileW(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Win32Open, PortsOpenExclusivelyAndReopenAfterClose)
{
    testsupport::PtyPair pty;
    const int fdsBefore = testsupport::CountOpenFds();
    const int threadsBefore = BaselineThreads();
    for (int round = 0; round < 20; ++round) {
        HANDLE first = OpenPort(DeviceName(pty.slavePath()));
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        SetLastError(0);
        EXPECT_EQ(OpenPort(DeviceName(pty.slavePath())), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_TRUE(CloseHandle(first));
    }
    EXPECT_EQ(testsupport::CountOpenFds(), fdsBefore);
    // The sanitizer runtime's helper thread may come and go; ours must not stay.
    EXPECT_LE(testsupport::CountThreads(), threadsBefore);
    // Other programs (not root) are kept out by TIOCEXCL; it must not stay set.
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    int excl = 0;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    ::close(fd);
}

TEST_F(Win32Serial, BytesFlowBothWaysThroughOverlappedCalls)
{
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY | EV_ERR));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    ASSERT_TRUE(StartWait(mask, wov));
    EXPECT_EQ(WaitForSingleObject(ev.h, 0), WAIT_TIMEOUT);

    pty.write(HexBytes("01 03 00 00 00 0A C5 CD"));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &wov, &n, FALSE));
    Bytes got;
    ASSERT_TRUE(Eventually([&] {
        Bytes more = ReadAll();
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 8;
    }));
    EXPECT_EQ(got, HexBytes("01 03 00 00 00 0A C5 CD"));

    Event wev;
    OVERLAPPED ov{};
    ov.hEvent = wev.h;
    const Bytes reply = HexBytes("01 03 14 00 01 00 02");
    ASSERT_TRUE(WriteFile(h, reply.data(), static_cast<DWORD>(reply.size()), &n, &ov));
    EXPECT_EQ(n, reply.size());
    EXPECT_EQ(WaitForSingleObject(wev.h, 0), WAIT_OBJECT_0) << "a finished write signals its event";
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, reply.size());
    EXPECT_EQ(pty.read(reply.size(), 2s), reply);
}

TEST_F(Win32Serial, ReadWithNothingWaitingCompletesWhenBytesCome)
{
    Event ev;
    OVERLAPPED ov{};
    ov.hEvent = ev.h;
    std::uint8_t buf[16] = {};
    DWORD n = 99;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    pty.write(HexBytes("AA BB CC"));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    ASSERT_GE(n, 1u);
    Bytes got(buf, buf + n);
    while (got.size() < 3) {
        Bytes more = ReadAll();
        got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got, HexBytes("AA BB CC"));

    // A read of fewer bytes than asked completes with what is there.
    pty.write(HexBytes("01 02"));
    ASSERT_TRUE(Eventually([&] {
        COMSTAT st{};
        return ClearCommError(h, nullptr, &st) && st.cbInQue == 2;
    }));
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(n, 2u);
}

TEST_F(Win32Serial, WriteThatDoesNotFitCompletesLaterWithTheOriginalBytes)
{
    Event ev;
    OVERLAPPED ov{};
    ov.hEvent = ev.h;
    // Nobody reads the master: the pty fills up and a write has to wait.
    Bytes block(4096);
    std::size_t sent = 0;
    DWORD n = 0;
    BOOL ok = TRUE;
    for (int i = 0; i < 1000 && ok; ++i) {
        for (std::size_t k = 0; k < block.size(); ++k)
            block[k] = static_cast<std::uint8_t>((sent + k) * 7);
        ok = WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &n, &ov);
        if (ok)
            sent += n;
    }
    ASSERT_FALSE(ok) << "the pty never filled up";
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    const Bytes expectedTail = block;
    // The caller's buffer may be reused at once; what was handed over must go out.
    std::fill(block.begin(), block.end(), 0xEE);
    // The kernel may make room again on its own (its buffers drain in the
    // background), so the write is not always still pending here.
    if (!GetOverlappedResult(h, &ov, &n, FALSE))
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    std::thread drain([&] {
        Bytes all = pty.read(sent + expectedTail.size(), 10s);
        ASSERT_EQ(all.size(), sent + expectedTail.size());
        for (std::size_t k = 0; k < all.size(); ++k)
            ASSERT_EQ(all[k], static_cast<std::uint8_t>(k * 7)) << "byte " << k;
    });
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, expectedTail.size());
    drain.join();
}

TEST_F(Win32Serial, WaitCommEventReportsTransmitEmptyAndMaskChanges)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    DWORD got = 0;
    EXPECT_TRUE(GetCommMask(h, &got));
    EXPECT_EQ(got, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));

    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    DWORD second = 0;
    OVERLAPPED other{};
    EXPECT_FALSE(WaitCommEvent(h, &second, &other)) << "one wait at a time";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    OVERLAPPED ov{};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, &ov));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_TXEMPTY));
    EXPECT_EQ(pty.read(3, 2s).size(), 3u);

    // Changing the mask ends a pending wait with an empty mask.
    ASSERT_TRUE(StartWait(mask, wov));
    EXPECT_TRUE(SetCommMask(h, EV_RXFLAG));
    ASSERT_EQ(WaitForSingleObject(ev.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(mask, 0u);
    EXPECT_TRUE(GetOverlappedResult(h, &wov, &n, FALSE));

    // An event that happened while nobody waited is there for the next wait.
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    ASSERT_TRUE(WriteFile(h, "d", 1, &n, &ov));
    mask = 0;
    EXPECT_TRUE(WaitCommEvent(h, &mask, &wov));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_TXEMPTY));
    EXPECT_EQ(WaitForSingleObject(ev.h, 0), WAIT_OBJECT_0) << "an immediate completion still signals";

    EXPECT_FALSE(SetCommMask(h, 0x10000)) << "unknown event bits";
}

TEST_F(Win32Serial, ReceivedCharEventIsReportedOncePerArrival)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    pty.write(HexBytes("10 20"));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    ASSERT_TRUE(Eventually([&] {
        COMSTAT st{};
        return ClearCommError(h, nullptr, &st) && st.cbInQue == 2;
    }));

    // The bytes are still unread, but they were reported: no new event for them.
    ASSERT_TRUE(StartWait(mask, wov));
    EXPECT_EQ(WaitForSingleObject(ev.h, 150), WAIT_TIMEOUT);
    pty.write(HexBytes("30"));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

    // After everything was read, the next arrival is reported again.
    Bytes got;
    ASSERT_TRUE(Eventually([&] {
        Bytes more = ReadAll();
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 3;
    }));
    EXPECT_EQ(got, HexBytes("10 20 30"));
    ASSERT_TRUE(StartWait(mask, wov));
    EXPECT_EQ(WaitForSingleObject(ev.h, 50), WAIT_TIMEOUT);
    pty.write(HexBytes("40"));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

// The thread waiting on a wait's event watches for bytes itself; the
// monitor sleeps through them. A thread that then stops waiting that way
// (looks with a zero time-out, or in GetOverlappedResult) still gets the
// wait's end.
TEST_F(Win32Serial, TheWaitingThreadWatchesReceivedBytesAndGivesTheWatchBack)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    const std::uint64_t wakesBefore = win32posix::MonitorWakeups();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(StartWait(mask, wov));
        pty.write(Bytes{static_cast<std::uint8_t>(i)});
        ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
        ASSERT_TRUE(Eventually([&] { return ReadAll().size() == 1; }));
    }
    EXPECT_LE(win32posix::MonitorWakeups() - wakesBefore, 10u); // not one a byte

    ASSERT_TRUE(StartWait(mask, wov));
    EXPECT_EQ(WaitForSingleObject(ev.h, 0), WAIT_TIMEOUT);
    pty.write(HexBytes("41"));
    EXPECT_TRUE(Eventually([&] { return WaitForSingleObject(ev.h, 0) == WAIT_OBJECT_0; }));
    EXPECT_EQ(ReadAll(), HexBytes("41"));

    ASSERT_TRUE(StartWait(mask, wov));
    std::thread late([this] {
        std::this_thread::sleep_for(50ms);
        pty.write(HexBytes("42"));
    });
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
    late.join();
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
}

// The counts a reader asks for right after a wait, and the bytes that come
// between that wait and the next: nothing is reported that has gone, and
// nothing that came is left unreported, however the thread waits next.
TEST_F(Win32Serial, CountsAfterAWaitAreNeverStaleAndLateBytesAreReportedByTheNextWait)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    pty.write(HexBytes("01 02"));
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(Eventually([&] {
        COMSTAT st{};
        return ClearCommError(h, nullptr, &st) && st.cbInQue == 2;
    }));
    // A read since the count: only what is left may be reported.
    std::uint8_t b = 0;
    DWORD n = 0;
    OVERLAPPED rov{};
    ASSERT_TRUE(ReadFile(h, &b, 1, &n, &rov));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 1u);
    EXPECT_EQ(ReadAll(), HexBytes("02"));

    // Bytes that come after the read and before the next wait starts, for a
    // thread that goes on watching itself and for one that hands the watch
    // back (a zero time-out, then GetOverlappedResult).
    for (const bool handBack : {false, true}) {
        SCOPED_TRACE(handBack ? "handed back" : "watched");
        ASSERT_TRUE(StartWait(mask, wov));
        pty.write(HexBytes("03"));
        ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
        ASSERT_TRUE(Eventually([&] { return ReadAll() == HexBytes("03"); }));
        pty.write(HexBytes("04"));
        ASSERT_TRUE(Eventually([&] {
            COMSTAT now{};
            return ClearCommError(h, nullptr, &now) && now.cbInQue == 1;
        }));
        mask = 0;
        if (!WaitCommEvent(h, &mask, &wov)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            if (handBack) {
                ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(ev.h, 0) == WAIT_OBJECT_0; }));
            } else {
                ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
            }
        }
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
        EXPECT_EQ(ReadAll(), HexBytes("04"));
    }
}

// The driver's output count is asked for while written bytes may be queued
// (the seam plays a line that holds them; a pty always reports 0).
TEST_F(Win32Serial, QueuedOutputIsReportedUntilTheDriverHasItAllSent)
{
    auto queued = std::make_shared<std::atomic<int>>(5);
    win32posix::SetIoctlSeam([queued](int, unsigned long request, void* arg, int result) {
        if (request == TIOCOUTQ && result == 0)
            *static_cast<int*>(arg) = queued->load();
        return result;
    });
    COMSTAT st{};
    OVERLAPPED ov{};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "12345", 5, &n, &ov));
    ASSERT_TRUE(ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 5u);
    *queued = 0;
    ASSERT_TRUE(ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 0u);
    *queued = 3;
    ASSERT_TRUE(WriteFile(h, "678", 3, &n, &ov));
    ASSERT_TRUE(ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 3u);
    EXPECT_EQ(pty.read(8, 2s).size(), 8u);
}

TEST_F(Win32Serial, HangUpEndsAPendingWaitOnceAndDoesNotSpin)
{
    ASSERT_TRUE(SetCommMask(h, 0x05BF));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));

    pty.closeMaster();
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_ERR));

    // Reported once: the next wait stays pending, and nothing spins meanwhile.
    ASSERT_TRUE(StartWait(mask, wov));
    const long before = ThreadCpuTicks(kMonitorThread);
    const std::uint64_t wakesBefore = win32posix::MonitorWakeups();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(WaitForSingleObject(ev.h, 0), WAIT_TIMEOUT);
    const long used = ThreadCpuTicks(kMonitorThread) - before;
    const std::uint64_t wakes = win32posix::MonitorWakeups() - wakesBefore;
    EXPECT_LT(used, 10) << "monitor used " << used << " ticks in 300 ms after the hang-up";
    EXPECT_LE(wakes, 3u) << "monitor woke " << wakes << " times in 300 ms after the hang-up";

    std::uint8_t buf[4];
    DWORD n = 0;
    OVERLAPPED ov{};
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(ClearCommError(h, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    // Closing still works: the mask change ends the wait, the handle closes.
    EXPECT_TRUE(SetCommMask(h, EV_RXFLAG));
    ASSERT_EQ(WaitForSingleObject(ev.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(mask, 0u);
    EXPECT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
}

TEST_F(Win32Serial, PendingReadAndWriteFailWhenTheLineHangsUp)
{
    Event ev, wev;
    OVERLAPPED ov{}, wov{};
    ov.hEvent = ev.h;
    wov.hEvent = wev.h;
    std::uint8_t buf[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    Bytes block(4096, 0x55);
    BOOL ok = TRUE;
    for (int i = 0; i < 1000 && ok; ++i)
        ok = WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &n, &wov);
    ASSERT_FALSE(ok);
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    pty.closeMaster();
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    ASSERT_EQ(WaitForSingleObject(wev.h, 5000), WAIT_OBJECT_0);
    // Unless the kernel drained its buffers and took the write before the
    // hang-up, the write fails too.
    if (!GetOverlappedResult(h, &wov, &n, TRUE))
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(Win32Serial, AnIdlePortWithAPendingWaitCostsNoCpu)
{
    ASSERT_TRUE(SetCommMask(h, 0x05BF));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    const long before = ThreadCpuTicks(kMonitorThread);
    ASSERT_GE(before, 0);
    const std::uint64_t wakesBefore = win32posix::MonitorWakeups();
    std::this_thread::sleep_for(500ms);
    const long used = ThreadCpuTicks(kMonitorThread) - before;
    const std::uint64_t wakes = win32posix::MonitorWakeups() - wakesBefore;
    EXPECT_LT(used, 10) << "monitor used " << used << " ticks in 500 ms while idle";
    EXPECT_LE(wakes, 3u) << "monitor woke " << wakes << " times in 500 ms while idle";
    EXPECT_EQ(WaitForSingleObject(ev.h, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetCommMask(h, EV_RXFLAG));
}

TEST_F(Win32Serial, LineSettingsApplyAndImpossibleOnesAreRefused)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.ByteSize, 8);

    auto set = [&](DWORD baud, BYTE size, BYTE parity, BYTE stop) {
        DCB d = dcb;
        d.BaudRate = baud;
        d.ByteSize = size;
        d.Parity = parity;
        d.StopBits = stop;
        return SetCommState(h, &d);
    };
    // The pty forces 8N on its own; ordinary settings must still be taken.
    EXPECT_TRUE(set(9600, 7, EVENPARITY, ONESTOPBIT));
    EXPECT_TRUE(set(19200, 8, MARKPARITY, TWOSTOPBITS));
    EXPECT_TRUE(set(250000, 8, SPACEPARITY, ONESTOPBIT)) << "any rate";
    EXPECT_TRUE(set(1200, 5, ODDPARITY, ONE5STOPBITS));
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 1200u);
    EXPECT_EQ(back.ByteSize, 5);
    EXPECT_EQ(back.Parity, ODDPARITY);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);

    struct Bad {
        DWORD baud;
        BYTE size, parity, stop;
    };
    for (Bad b : {Bad{9600, 8, NOPARITY, ONE5STOPBITS}, Bad{9600, 6, NOPARITY, ONE5STOPBITS},
                  Bad{9600, 5, NOPARITY, TWOSTOPBITS}, Bad{9600, 4, NOPARITY, ONESTOPBIT},
                  Bad{9600, 9, NOPARITY, ONESTOPBIT}, Bad{0, 8, NOPARITY, ONESTOPBIT},
                  Bad{9600, 8, 5, ONESTOPBIT}, Bad{9600, 8, NOPARITY, 3}}) {
        SetLastError(0);
        EXPECT_FALSE(set(b.baud, b.size, b.parity, b.stop))
            << b.baud << " " << int(b.size) << int(b.parity) << int(b.stop);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 1200u) << "a refused DCB changes nothing";
    EXPECT_FALSE(SetCommState(h, nullptr));
}

TEST_F(Win32Serial, LineSettingsReachTheTerminal)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 57600;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x23;
    ASSERT_TRUE(SetCommState(h, &dcb));

    // The slave's settings as any other program sees them.
    int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios2 t{};
    ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_ospeed, 57600u);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & HUPCL);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_iflag & IXANY);
    EXPECT_EQ(t.c_cc[VSTART], 0x21);
    EXPECT_EQ(t.c_cc[VSTOP], 0x23);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));

    dcb.XoffChar = dcb.XonChar;
    EXPECT_FALSE(SetCommState(h, &dcb)) << "XON and XOFF must differ";
}

TEST_F(Win32Serial, PurgeDropsWaitingBytesAndAbortsPendingReads)
{
    pty.write(HexBytes("01 02 03 04"));
    ASSERT_TRUE(Eventually([&] {
        COMSTAT st{};
        return ClearCommError(h, nullptr, &st) && st.cbInQue == 4;
    }));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 0u);

    Event ev;
    OVERLAPPED ov{};
    ov.hEvent = ev.h;
    std::uint8_t buf[4];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
    ASSERT_EQ(WaitForSingleObject(ev.h, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    EXPECT_FALSE(PurgeComm(h, 0));
    EXPECT_FALSE(PurgeComm(h, 0x10));
}

TEST_F(Win32Serial, CancelIoEndsOnlyTheCallingThreadsOperations)
{
    Event mine, theirs;
    OVERLAPPED myOv{};
    myOv.hEvent = mine.h;
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    ASSERT_TRUE(StartWait(mask, myOv));

    std::atomic<bool> started{false}, cancelled{false};
    std::uint8_t buf[4];
    OVERLAPPED theirOv{};
    theirOv.hEvent = theirs.h;
    std::thread other([&] {
        DWORD n = 0;
        EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &theirOv));
        started = true;
        while (!cancelled)
            std::this_thread::sleep_for(1ms);
        EXPECT_TRUE(CancelIo(h));
    });
    ASSERT_TRUE(Eventually([&] { return started.load(); }));
    ASSERT_TRUE(CancelIo(h));
    ASSERT_EQ(WaitForSingleObject(mine.h, 0), WAIT_OBJECT_0);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &myOv, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(WaitForSingleObject(theirs.h, 0), WAIT_TIMEOUT) << "another thread's read is not mine to cancel";
    cancelled = true;
    other.join();
    EXPECT_FALSE(GetOverlappedResult(h, &theirOv, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST_F(Win32Serial, ModemLinesFailOnAPtyAndFollowTheFakeLines)
{
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(h, &status));
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_FALSE(EscapeCommFunction(h, 77));

    win32posix::SetFakeModemLines(true, MS_CTS_ON | MS_DSR_ON);
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON));
    EXPECT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_EQ(win32posix::FakeModemOutputs(), win32posix::kFakeRts);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_EQ(win32posix::FakeModemOutputs(), win32posix::kFakeDtr);

    // A line change while a wait asks for it completes the wait.
    ASSERT_TRUE(SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    win32posix::SetFakeModemLines(true, MS_DSR_ON | MS_RLSD_ON);
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_CTS | EV_RLSD));
}

TEST_F(Win32Serial, ClosingWithOperationsPendingWakesTheirOwners)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    Event wev, rev;
    OVERLAPPED wov{}, rov{};
    wov.hEvent = wev.h;
    rov.hEvent = rev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    std::uint8_t buf[4];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, &n, &rov));

    std::atomic<BOOL> waitedResult{TRUE};
    std::atomic<DWORD> waitedError{0};
    std::atomic<bool> waiting{false};
    std::thread waiter([&] {
        DWORD got = 0;
        waiting = true;
        waitedResult = GetOverlappedResult(h, &rov, &got, TRUE);
        waitedError = GetLastError();
    });
    ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
    std::this_thread::sleep_for(20ms);
    HANDLE old = h;
    ASSERT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    waiter.join();
    EXPECT_FALSE(waitedResult.load());
    EXPECT_TRUE(waitedError.load() == ERROR_OPERATION_ABORTED || waitedError.load() == ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(wev.h, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(rev.h, 0), WAIT_OBJECT_0);

    // Every call on the closed handle fails; none crashes.
    SetLastError(0);
    EXPECT_FALSE(ReadFile(old, buf, sizeof buf, &n, &rov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WriteFile(old, buf, 1, &n, &rov));
    EXPECT_FALSE(SetCommMask(old, EV_RXCHAR));
    EXPECT_FALSE(WaitCommEvent(old, &mask, &wov));
    EXPECT_FALSE(GetOverlappedResult(old, &rov, &n, TRUE));
    EXPECT_FALSE(SetupComm(old, 1200, 1200));
    EXPECT_FALSE(CloseHandle(old));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // The device is free again at once.
    h = OpenPort(DeviceName(pty.slavePath()));
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
}

TEST_F(Win32Serial, FaultInjectionFailsSerialCallsWithTheChosenError)
{
    struct Case {
        const char* name;
        std::function<BOOL()> call;
    };
    DCB dcb{};
    DWORD mask = 0, n = 0;
    COMSTAT st{};
    OVERLAPPED ov{};
    std::uint8_t buf[4];
    const Case cases[] = {
        {"SetupComm", [&] { return SetupComm(h, 1200, 1200); }},
        {"GetCommState", [&] { return GetCommState(h, &dcb); }},
        {"SetCommState", [&] { return SetCommState(h, &dcb); }},
        {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR); }},
        {"ClearCommError", [&] { return ClearCommError(h, nullptr, &st); }},
        {"WriteFile", [&] { return WriteFile(h, "a", 1, &n, &ov); }},
        {"GetOverlappedResult", [&] { return GetOverlappedResult(h, &ov, &n, FALSE); }},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXCLEAR); }},
    };
    ASSERT_TRUE(GetCommState(h, &dcb));
    for (const Case& c : cases) {
        win32posix::FailCall(c.name, 2, ERROR_GEN_FAILURE);
        EXPECT_TRUE(c.call()) << c.name << ": first call passes";
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << c.name;
        EXPECT_TRUE(c.call()) << c.name << ": only the chosen call fails";
    }
    win32posix::FailCall("ReadFile", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    win32posix::FailCall("WaitCommEvent");
    EXPECT_FALSE(WaitCommEvent(h, &mask, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    win32posix::FailCall("CreateFileW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenPort(u"\\\\.\\COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

} // namespace

// Flow control holds the line, so the driver's output count does not move
// (the ioctl seam plays that; a pty always reports 0). The monitor backs off
// instead of looking every millisecond, and still reports transmit-empty as
// soon as the line has drained.
TEST_F(Win32Serial, AnOutputQueueThatDoesNotDrainIsWatchedWithBackOff)
{
    auto held = std::make_shared<std::atomic<bool>>(true);
    win32posix::SetIoctlSeam([held](int, unsigned long request, void* arg, int result) {
        if (request == TIOCOUTQ && result == 0 && held->load())
            *static_cast<int*>(arg) = 8;
        return result;
    });
    ASSERT_TRUE(SetCommMask(h, EV_TXEMPTY));
    Event ev;
    OVERLAPPED wov{};
    wov.hEvent = ev.h;
    DWORD mask = 0;
    ASSERT_TRUE(StartWait(mask, wov));
    OVERLAPPED ov{};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "12345678", 8, &n, &ov));
    EXPECT_EQ(pty.read(8, 2s).size(), 8u);
    std::this_thread::sleep_for(300ms); // past the first, quick looks
    const std::uint64_t before = win32posix::MonitorWakeups();
    std::this_thread::sleep_for(1s);
    const std::uint64_t wakes = win32posix::MonitorWakeups() - before;
    EXPECT_LE(wakes, 30u) << "monitor woke " << wakes << " times in a second for a line that does not move";
    EXPECT_EQ(WaitForSingleObject(ev.h, 0), WAIT_TIMEOUT);
    *held = false;
    ASSERT_EQ(WaitForSingleObject(ev.h, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, static_cast<DWORD>(EV_TXEMPTY));
}

// What SetCommState asks of the driver for RS-485, seen through the ioctl
// seam, which plays a driver that has the mode: a pty has none.
TEST_F(Win32Serial, ToggledRtsAsksTheDriverForRs485ModeAndPutsItsSettingBack)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.BaudRate = 19200;
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_NE(back.BaudRate, 19200u) << "a refused mode changes nothing";

    auto sets = std::make_shared<std::vector<serial_rs485>>(); // SetCommState runs on this thread
    win32posix::SetIoctlSeam([sets](int, unsigned long request, void* arg, int result) {
        if (request == TIOCGRS485) // the driver's own setting: off, RTS low while sending
            *static_cast<serial_rs485*>(arg) = serial_rs485{SER_RS485_RTS_AFTER_SEND};
        else if (request == TIOCSRS485)
            sets->push_back(*static_cast<serial_rs485*>(arg));
        return request == TIOCGRS485 || request == TIOCSRS485 ? 0 : result;
    });
    ASSERT_TRUE(win32posix::SetRs485Options(h, {false, 5, 7}));
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_EQ(sets->size(), 1u);
    EXPECT_EQ((*sets)[0].flags, static_cast<__u32>(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND));
    EXPECT_EQ((*sets)[0].delay_rts_before_send, 5u);
    EXPECT_EQ((*sets)[0].delay_rts_after_send, 7u);

    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_EQ(sets->size(), 2u) << "off once, and a port without the mode is not asked";
    EXPECT_EQ((*sets)[1].flags, static_cast<__u32>(SER_RS485_RTS_AFTER_SEND)) << "the driver's own setting";

    // Closing gives the driver its setting back too.
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    CloseHandle(std::exchange(h, INVALID_HANDLE_VALUE));
    ASSERT_EQ(sets->size(), 4u);
    EXPECT_EQ((*sets)[3].flags, static_cast<__u32>(SER_RS485_RTS_AFTER_SEND));
}
