// Every way opening and closing can fail: each reports its own code, leaves
// the port closed with nothing running, and the port works again afterwards.
// Late threads: a reader stuck in a handler past the close, and a port
// destroyed while that happens.
#include "comm/TKelvorComm32.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/support/Pty.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using KelvorComm32::EComm32Error;
using KelvorComm32::TComm32;
using testsupport::Bytes;

using testsupport::WaitUntil;

namespace {

int OpenError(TComm32& port)
{
    try {
        port.Open();
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.PortName, port.PortName());
        return e.ErrorCode;
    }
    return 0;
}

int CloseError(TComm32& port)
{
    try {
        port.Close();
    } catch (const EComm32Error& e) {
        return e.ErrorCode;
    }
    return 0;
}

class PortFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        win32posix::ResetFaults();
        map.map(5, pty.slavePath());
        // Sanitizers start a helper thread with the first thread; have it now.
        std::thread([] {}).join();
        threads = testsupport::CountThreads();
        fds = testsupport::CountOpenFds();
    }
    void TearDown() override { win32posix::ResetFaults(); }

    // Closed, nothing left running or open, and usable again.
    void ExpectCleanAndUsable(TComm32& port)
    {
        EXPECT_FALSE(port.Active());
        EXPECT_TRUE(WaitUntil([&] { return testsupport::CountThreads() <= threads; }))
            << testsupport::CountThreads() << " threads, " << threads << " before";
        EXPECT_TRUE(WaitUntil([&] { return testsupport::CountOpenFds() <= fds; }));
        win32posix::ResetFaults();
        ASSERT_EQ(OpenError(port), 0);
        port.Write("ok", 2);
        Bytes got = pty.read(2, 5000ms);
        EXPECT_EQ(got, (Bytes{'o', 'k'}));
        port.Close();
    }

    testsupport::DeviceMap map;
    testsupport::PtyPair pty;
    int threads = 0;
    int fds = 0;
};

} // namespace

TEST_F(PortFaults, EachFailingStepOfOpenHasItsCode)
{
    struct Case {
        const char* call;
        int nth;
        int code;
    };
    const Case cases[] = {
        {"CreateFileW", 1, EComm32Error::ecOpenPort},
        {"SetCommMask", 1, EComm32Error::ecSetCommMask},
        {"SetupComm", 1, EComm32Error::ecSetupComm},
        {"SetCommState", 1, EComm32Error::ecSetCommState},
        {"CreateEventW", 1, EComm32Error::ecCreateReadEvent},
        {"CreateEventW", 2, EComm32Error::ecCreateReadEvent},
        {"CreateEventW", 3, EComm32Error::ecCreateWriteEvent},
        {"CreateEventW", 4, EComm32Error::ecCreateWriteEvent},
        {"CreateEventW", 5, EComm32Error::ecCreateWriteEvent},
        {"_beginthread", 1, EComm32Error::ecCreateReadThread},
        // The reader already runs here and has to be stopped again.
        {"_beginthread", 2, EComm32Error::ecCreateWriteThread},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        TComm32 port;
        int notifications = 0;
        port.OnCommNotify = [&](TObject*, int) { ++notifications; };
        port.fSetPort(5);
        win32posix::FailCall(c.call, c.nth);
        EXPECT_EQ(OpenError(port), c.code);
        EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(notifications, 0);
        ExpectCleanAndUsable(port);
    }
}

TEST_F(PortFaults, QueuesWithoutBuffer)
{
    TComm32 port;
    port.fSetPort(5);
    port.fSetInBufSize(0);
    EXPECT_EQ(OpenError(port), EComm32Error::ecInitReadBuf);
    port.fSetInBufSize(8192);
    port.fSetOutBufSize(0);
    EXPECT_EQ(OpenError(port), EComm32Error::ecInitWriteBuf);
    port.fSetOutBufSize(8192);
    ExpectCleanAndUsable(port);
}

TEST_F(PortFaults, SettingsTheDeviceCannotTake)
{
    TComm32 port;
    port.fSetPort(5);
    port.fSetStopBits(ONE5STOPBITS); // one and a half with eight data bits
    EXPECT_EQ(OpenError(port), EComm32Error::ecSetCommState);
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    port.fSetStopBits(ONESTOPBIT);
    ExpectCleanAndUsable(port);
}

// An attached handle is configured as it is, never closed by the port, and
// dropped (not closed) when the port goes back to a name.
TEST_F(PortFaults, AttachedHandle)
{
    const std::u16string name = u"\\\\.\\" + FromUtf8(pty.slavePath());
    HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    {
        TComm32 port;
        port.fSetHandle(h);
        EXPECT_EQ(port.PortNo(), 0);
        EXPECT_EQ(port.PortName(), u"");
        win32posix::FailCall("GetCommState");
        try {
            port.Open();
            ADD_FAILURE() << "opened";
        } catch (const EComm32Error& e) {
            EXPECT_EQ(e.ErrorCode, EComm32Error::ecGetCommState);
            EXPECT_EQ(ToUtf8(e.Message()).find("Serial port"), std::string::npos); // no name, no prefix
        }
        EXPECT_EQ(port.Handle(), h);
        win32posix::FailCall("SetCommState");
        EXPECT_EQ(OpenError(port), EComm32Error::ecSetCommState);

        port.Open();
        port.Write("hi", 2);
        EXPECT_EQ(pty.read(2, 5000ms), (Bytes{'h', 'i'}));
        port.Close();
        EXPECT_EQ(port.Handle(), h);
        port.fSetPort(5); // back to a name: the handle is left to its owner
        EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
        port.Close();
    }
    DWORD status = 0;
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(h, &status, &stat)); // still open
    EXPECT_TRUE(CloseHandle(h));
}

// The reader is kept in a handler past the close: the close reports it and
// still closes; the late reader ends on its own once the handler returns.
TEST_F(PortFaults, ReaderThatDoesNotStopInTime)
{
    std::atomic<bool> entered{false}, release{false};
    TComm32 port;
    port.fSetPort(5);
    port.OnCommNotify = [&](TObject*, int type) {
        if (type & EV_RXCHAR) {
            entered = true;
            WaitUntil([&] { return release.load(); }, 20000ms);
        }
    };
    port.Open();
    pty.write(Bytes{1});
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    EXPECT_EQ(CloseError(port), EComm32Error::ecCloseReadThread);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    release = true;
    ExpectCleanAndUsable(port);
}

TEST_F(PortFaults, WriterThatDoesNotStopInTime)
{
    TComm32 port;
    port.fSetPort(5);
    std::atomic<int> txEmpty{0};
    port.OnCommNotify = [&](TObject*, int type) { txEmpty += type != 0x0038 && (type & EV_TXEMPTY); };
    // A writer that has not reached its wait yet stops by itself; let it
    // settle there after a write, and try again if it was still too early.
    int code = 0;
    for (int attempt = 0; attempt < 5 && code == 0; ++attempt) {
        port.Open();
        txEmpty = 0;
        port.Write("w", 1);
        ASSERT_EQ(pty.read(1, 5000ms), Bytes{'w'});
        ASSERT_TRUE(WaitUntil([&] { return txEmpty.load() > 0; }));
        std::this_thread::sleep_for(50ms);
        // The second signal of the close is the writer's stop.
        win32posix::FailCall("SetEvent", 2);
        code = CloseError(port);
        win32posix::ResetFaults();
        EXPECT_FALSE(port.Active());
        EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(code, EComm32Error::ecCloseWriteThread);
    ExpectCleanAndUsable(port);
}

// Destroying the port while its reader is stuck in a handler waits for that
// reader: the handler may still use the port when it comes back.
TEST_F(PortFaults, DestructorWaitsForALateReader)
{
    std::atomic<bool> entered{false}, release{false}, deleted{false};
    auto* port = new TComm32();
    port->fSetPort(5);
    port->OnCommNotify = [&, port](TObject*, int type) {
        if (type & EV_RXCHAR) {
            entered = true;
            WaitUntil([&] { return release.load(); }, 20000ms);
            EXPECT_EQ(port->PortName(), u"COM5");
            EXPECT_EQ(port->InQueue()->Count(), 1);
        }
    };
    port->Open();
    pty.write(Bytes{7});
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    std::thread killer([&] {
        delete port;
        deleted = true;
    });
    std::this_thread::sleep_for(800ms); // past the close's own half second
    EXPECT_FALSE(deleted.load());
    release = true;
    killer.join();
    EXPECT_TRUE(deleted.load());
    EXPECT_TRUE(WaitUntil([&] { return testsupport::CountThreads() <= threads; }));
}
