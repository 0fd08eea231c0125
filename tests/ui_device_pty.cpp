// The device component on a real port over a pseudo-terminal: Active and
// UsePackage together, the open/close events around the package layer, a
// request and its reply as the main window runs them, purges and teardown.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "comm/ZuCommDevice.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/support/Pty.h"
#include "tests/support/QtPump.h"

using namespace KelvorComm32;
using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::HexBytes;
using testsupport::PtyPair;

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

class DeviceOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        win32posix::ResetFaults();
        map.map(9, pty.slavePath());
        dev.fSetPort(9);
        const auto ui = std::this_thread::get_id();
        dev.OnPackage = [this, ui](TObject* s, int t) { Log("package", s, t, ui); };
        dev.OnCommNotify = [this, ui](TObject* s, int t) { Log("comm", s, t, ui); };
        dev.AfterOpen = [this](TObject* s) {
            EXPECT_EQ(s, &dev);
            Log(std::string("after-open layer=") + (dev.Package()->Active() ? "on" : "off"));
        };
        dev.BeforeClose = [this](TObject* s) {
            EXPECT_EQ(s, &dev);
            Log(std::string("before-close layer=") + (dev.Package()->Active() ? "on" : "off"));
        };
    }
    void Log(const std::string& kind, TObject* s, int t, std::thread::id ui)
    {
        EXPECT_EQ(s, &dev);
        Log(kind + " " + std::to_string(t) + (std::this_thread::get_id() == ui ? "" : " (other thread)"));
    }
    void Log(const std::string& line)
    {
        std::lock_guard<std::mutex> g(lock);
        log.push_back(line);
    }
    std::vector<std::string> TakeLog()
    {
        std::lock_guard<std::mutex> g(lock);
        std::vector<std::string> out;
        out.swap(log);
        return out;
    }
    bool Logged(const std::string& line)
    {
        std::lock_guard<std::mutex> g(lock);
        return std::find(log.begin(), log.end(), line) != log.end();
    }

    testsupport::DeviceMap map;
    PtyPair pty;
    std::mutex lock;
    std::vector<std::string> log;
    TZuCommDevice dev; // last: goes first
};

} // namespace

TEST_F(DeviceOnPty, ActiveAndUsePackageWorkTogether)
{
    dev.fSetActive(true);
    EXPECT_TRUE(dev.Active());
    EXPECT_TRUE(dev.Comm()->Active());
    EXPECT_FALSE(dev.Package()->Active());
    pty.write(HexBytes("01 02"));
    ASSERT_TRUE(PumpUntil([&] { return dev.InQueue()->Count() == 2; }));
    char buf[16];
    EXPECT_EQ(dev.ReadPackage(buf, 16ul), 0u);

    // On while open: the layer starts, empty; the port is not reopened.
    dev.fSetUsePackage(true);
    EXPECT_TRUE(dev.Package()->Active());
    EXPECT_TRUE(dev.Active());
    auto lines = TakeLog();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "after-open layer=off"), 1);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("before-close", 0) == 0; }),
              0);

    // A closing setter leaves the component inactive until Active is set.
    dev.fSetBaud(TZuCustomCommDevice::br9600);
    EXPECT_FALSE(dev.Comm()->Active());
    EXPECT_FALSE(dev.Active());
    dev.fSetActive(true);
    EXPECT_TRUE(dev.Active());

    dev.fSetUsePackage(false);
    EXPECT_TRUE(dev.Comm()->Active());
    EXPECT_FALSE(dev.Package()->Active());
    dev.fSetActive(false);
    EXPECT_FALSE(dev.Comm()->Active());
}

TEST_F(DeviceOnPty, OpenAndCloseEventsSurroundThePackageLayer)
{
    dev.fSetUsePackage(true);
    dev.fSetActive(true);
    EXPECT_TRUE(dev.Package()->Active());
    dev.fSetActive(false);
    EXPECT_FALSE(dev.Package()->Active());
    ASSERT_TRUE(PumpUntil([&] { return Logged("comm 56") && Logged("package 56"); }));
    PumpUntil([] { return false; }, 50ms);
    // The open's notification passes the still inactive layer; the close's
    // reaches both events, the package one first.
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"after-open layer=off", "before-close layer=on", "comm 56",
                                                   "package 56", "comm 56"}));
}

TEST_F(DeviceOnPty, RequestAndReplyAsTheMainWindowDoesThem)
{
    dev.fSetBaud(TZuCustomCommDevice::br9600);
    dev.fSetActive(true);
    dev.fSetPkgSz(8192);
    dev.fSetPkgType(cptFrameTimeout);
    dev.fSetUsePackage(true);
    TakeLog();

    Bytes request = HexBytes("01 03 00 00 00 01 84 0A");
    EXPECT_EQ(dev.Write(request.data(), static_cast<long>(request.size())), static_cast<long>(request.size()));
    EXPECT_EQ(pty.read(request.size(), 5s), request);

    Bytes reply = HexBytes("01 03 02 00 2A 38 5B");
    Bytes got;
    dev.OnPackage = [&](TObject* s, int t) {
        EXPECT_EQ(s, &dev);
        if (t != 1)
            return;
        Bytes buf(8192);
        long n = dev.Read(buf.data(), 4); // takes at most what it expects
        got.assign(buf.begin(), buf.begin() + n);
    };
    pty.write(reply);
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got, HexBytes("01 03 02 00"));
    EXPECT_EQ(dev.ReadPackage(nullptr, 0ul), 0u); // the rest went with it
}

TEST_F(DeviceOnPty, PurgeReadWithAbortPurgesLikeWithout)
{
    dev.fSetUsePackage(true);
    dev.fSetPkgInterval(10);
    dev.fSetActive(true);
    pty.write(HexBytes("0A 0B"));
    ASSERT_TRUE(PumpUntil([&] { return dev.ReadPackage(nullptr, 0ul) == 2; }));
    dev.PurgeRead(true);
    EXPECT_EQ(dev.ReadPackage(nullptr, 0ul), 0u);
    EXPECT_TRUE(dev.Active()); // nothing was closed or stopped
    pty.write(HexBytes("0D"));
    ASSERT_TRUE(PumpUntil([&] { return dev.ReadPackage(nullptr, 0ul) == 1; }));
    char b;
    EXPECT_EQ(dev.Read(&b, 1), 1);
    EXPECT_EQ(b, 0x0D);
}

TEST_F(DeviceOnPty, WithoutSyncEventsPortEventsComeFromTheReaderThread)
{
    dev.fSetSyncEvents(false);
    dev.fSetActive(true);
    TakeLog();
    pty.write(HexBytes("55"));
    ASSERT_TRUE(PumpUntil([&] { return Logged("comm 1 (other thread)"); }));
}

TEST(DeviceTeardown, DestroyingAnOpenBusyComponentStopsEverything)
{
    win32posix::ResetFaults();
    testsupport::DeviceMap map;
    PtyPair pty;
    map.map(9, pty.slavePath());
    std::atomic<int> calls{0};
    for (int round = 0; round < 6; ++round) {
        auto* dev = new TZuCommDevice;
        dev->fSetPort(9);
        dev->fSetSyncEvents(round % 2 == 0);
        dev->OnPackage = [&](TObject*, int) { ++calls; };
        dev->OnCommNotify = [&](TObject*, int) { ++calls; };
        dev->fSetUsePackage(true);
        dev->fSetPkgInterval(1);
        dev->fSetActive(true);
        for (int i = 0; i < 10; ++i) {
            pty.write(HexBytes("01 02 03"));
            Bytes b{0x42};
            dev->Write(b.data(), 1);
            std::this_thread::sleep_for(2ms);
        }
        delete dev; // with events still posted and the threads busy
        const int after = calls.load();
        PumpUntil([] { return false; }, 20ms);
        EXPECT_EQ(calls.load(), after);
        pty.readUntilQuiet(20ms, 1s);
    }
    EXPECT_GT(calls.load(), 0);
}
