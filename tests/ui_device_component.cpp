// The device component without an open port: properties and their mapping,
// frame settings, read/write routing and the hand-over of events to the UI
// thread through the notification window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "comm/ZuCommDevice.h"
#include "platform/toolkit/NotifyWindow.h"
#include "platform/toolkit/Toolkit.h"
#include "tests/support/QtPump.h"

using namespace KelvorComm32;
using Dev = TZuCustomCommDevice;

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

// A port notification as the reader thread raises it, from another thread.
void NotifyFromThread(TZuCustomCommDevice& dev, int mask)
{
    std::thread t([&] { dev.Comm()->CommNotify(mask); });
    t.join();
}

struct Event {
    std::string kind;
    TObject* sender;
    int type;
    bool onUiThread;
};

struct Recorder {
    std::vector<Event> events;
    std::mutex lock;
    void Attach(TZuCustomCommDevice& dev)
    {
        const auto ui = std::this_thread::get_id();
        dev.OnPackage = [this, ui](TObject* s, int t) { Add({"package", s, t, std::this_thread::get_id() == ui}); };
        dev.OnCommNotify = [this, ui](TObject* s, int t) { Add({"comm", s, t, std::this_thread::get_id() == ui}); };
    }
    void Add(Event e)
    {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(std::move(e));
    }
    std::size_t Count()
    {
        std::lock_guard<std::mutex> g(lock);
        return events.size();
    }
};

} // namespace

TEST(DeviceProperties, NewComponentHoldsTheInitialValues)
{
    TZuCommDevice dev;
    EXPECT_FALSE(dev.Active());
    EXPECT_FALSE(dev.UsePackage());
    EXPECT_TRUE(dev.SyncEvents());
    EXPECT_EQ(dev.PackageType(), cptFrameTimeout);
    EXPECT_EQ(dev.PortNo(), 2);
    EXPECT_EQ(dev.PortNo(), TZuCommDevice::DefaultPortNo);
    EXPECT_EQ(dev.PortName(), u"COM2");
    EXPECT_EQ(dev.Baud(), Dev::br115200);
    EXPECT_EQ(dev.Parity(), Dev::ptNoParity);
    EXPECT_EQ(dev.ByteSize(), 8);
    EXPECT_EQ(dev.StopBits(), Dev::sbOneStopBit);
    EXPECT_EQ(dev.FlowControl(), Dev::fcNone);
    EXPECT_EQ(dev.AutoAnswer(), 0);
    EXPECT_FALSE(dev.DataOnly());
    EXPECT_EQ(dev.InBufSize(), 8192);
    EXPECT_EQ(dev.OutBufSize(), 8192);
    EXPECT_EQ(dev.HwInSize(), 1200);
    EXPECT_EQ(dev.HwOutSize(), 1200);
    EXPECT_EQ(dev.QueueSize(), 16);
    EXPECT_EQ(dev.PackageSize(), 4096);
    EXPECT_EQ(dev.PackageInterval(), 50);
    EXPECT_EQ(dev.FrameSettings()->FrameHead(), 0xEB);
    EXPECT_EQ(dev.FrameSettings()->FrameTail(), 0xEE);
    EXPECT_EQ(dev.FrameSettings()->FrameCtrl(), 0xEC);
    EXPECT_FALSE(dev.FrameSettings()->DoubleFrameMark());
    EXPECT_FALSE(dev.Package()->Active());
    EXPECT_EQ(dev.ModemStatus(), 0);
}

TEST(DeviceProperties, BaudMapsFifteenRatesAndFallsBackTo115200)
{
    TZuCommDevice dev;
    const unsigned long rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int i = 0; i < 15; ++i) {
        dev.fSetBaud(static_cast<Dev::TBaudRate>(i));
        EXPECT_EQ(dev.Comm()->Baud(), rates[i]);
        EXPECT_EQ(dev.Baud(), static_cast<Dev::TBaudRate>(i));
    }
    dev.fSetBaud(Dev::br300);
    dev.fSetBaud(static_cast<Dev::TBaudRate>(15));
    EXPECT_EQ(dev.Comm()->Baud(), 115200u);
    dev.fSetBaud(Dev::br300);
    dev.fSetBaud(static_cast<Dev::TBaudRate>(-1));
    EXPECT_EQ(dev.Comm()->Baud(), 115200u);
    dev.Comm()->fSetBaud(12345);
    EXPECT_EQ(dev.Baud(), Dev::br115200);
    dev.Comm()->fSetBaud(9600);
    EXPECT_EQ(dev.Baud(), Dev::br9600);
}

TEST(DeviceProperties, ParityStopBitsAndFlowControlMapOntoThePortCodes)
{
    TZuCommDevice dev;
    for (int p = 0; p <= 4; ++p) {
        dev.fSetParity(static_cast<Dev::TParity>(p));
        EXPECT_EQ(dev.Comm()->Parity(), p);
        EXPECT_EQ(dev.Parity(), p);
    }
    dev.fSetParity(static_cast<Dev::TParity>(9));
    EXPECT_EQ(dev.Comm()->Parity(), 0);
    dev.Comm()->fSetParity(7);
    EXPECT_EQ(dev.Parity(), Dev::ptNoParity);

    dev.fSetStopBits(Dev::sbTwoStopBit);
    EXPECT_EQ(dev.Comm()->StopBits(), 2);
    dev.fSetStopBits(Dev::sbOne_5_StopBits);
    EXPECT_EQ(dev.StopBits(), Dev::sbOne_5_StopBits);
    dev.fSetStopBits(static_cast<Dev::TStopBits>(3));
    EXPECT_EQ(dev.Comm()->StopBits(), 0);
    dev.Comm()->fSetStopBits(5);
    EXPECT_EQ(dev.StopBits(), Dev::sbOneStopBit);

    const struct {
        Dev::TFlowControl set;
        TComm32::TFlowControl port;
        Dev::TFlowControl read;
    } flows[] = {{Dev::fcNone, TComm32::fcNone, Dev::fcNone},
                 {Dev::fcRtsCts, TComm32::fcRtsCts, Dev::fcRtsCts},
                 {Dev::fcXonXoff, TComm32::fcXonXoff, Dev::fcXonXoff},
                 // The port keeps transparent XON/XOFF as plain XON/XOFF.
                 {Dev::fcTranXonXoff, TComm32::fcXonXoff, Dev::fcXonXoff},
                 {Dev::fcRtsCtsXonXoff, TComm32::fcRtsCtsXonXoff, Dev::fcRtsCtsXonXoff},
                 {static_cast<Dev::TFlowControl>(7), TComm32::fcNone, Dev::fcNone}};
    for (const auto& f : flows) {
        dev.fSetFlCtrl(Dev::fcRtsCts);
        dev.fSetFlCtrl(f.set);
        EXPECT_EQ(dev.Comm()->FlowControl(), f.port) << f.set;
        EXPECT_EQ(dev.FlowControl(), f.read) << f.set;
    }
}

TEST(DeviceProperties, ByteSizeAndAutoAnswerAreClampedToAByte)
{
    TZuCommDevice dev;
    dev.fSetByteSize(300);
    EXPECT_EQ(dev.ByteSize(), 255);
    dev.fSetByteSize(-1);
    EXPECT_EQ(dev.ByteSize(), 0);
    dev.fSetByteSize(7);
    EXPECT_EQ(dev.ByteSize(), 7);
    dev.fSetAutAns(1000);
    EXPECT_EQ(dev.AutoAnswer(), 255);
    dev.fSetAutAns(-5);
    EXPECT_EQ(dev.AutoAnswer(), 0);
    dev.fSetAutAns(3);
    EXPECT_EQ(dev.Comm()->AutoAnswer(), 3);
}

TEST(DeviceFrameSettings, AssignmentCopiesTheThreeMarksButNotTheDoubling)
{
    TZuCommDevice a, b;
    b.FrameSettings()->fSetFrameHead(0x01);
    b.FrameSettings()->fSetFrameTail(0x02);
    b.FrameSettings()->fSetFrameCtrl(0x03);
    b.FrameSettings()->fSetDoubleFrameMark(true);
    a.fSetFrameSettings(b.FrameSettings());
    EXPECT_EQ(a.Package()->FrameHead.load(), 0x01);
    EXPECT_EQ(a.Package()->FrameTail.load(), 0x02);
    EXPECT_EQ(a.Package()->FrameCtrl.load(), 0x03);
    EXPECT_FALSE(a.Package()->DoubleFrameMark());
    EXPECT_TRUE(b.Package()->DoubleFrameMark());
    TZuCommFrameSettings* own = a.FrameSettings();
    a.fSetFrameSettings(nullptr);
    EXPECT_EQ(a.FrameSettings(), own);
    EXPECT_EQ(a.FrameSettings()->FrameHead(), 0x01);
}

TEST(DeviceRouting, ReadAndWriteGoToThePortOrTheLayer)
{
    TZuCommDevice dev;
    const char in[] = "abc";
    dev.InQueue()->In(in, 3);
    char buf[16] = {};
    EXPECT_EQ(dev.Read(buf, 16), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(dev.Write("xyz", 3), 3);
    EXPECT_EQ(dev.OutQueue()->Count(), 3);

    // Through the inactive layer: nothing moves.
    dev.fSetUsePackage(true);
    dev.InQueue()->In(in, 3);
    EXPECT_EQ(dev.Read(buf, 16), 0);
    EXPECT_EQ(dev.Write("xyz", 3), 0);
    EXPECT_FALSE(dev.ReadPackage(buf));
    EXPECT_EQ(dev.ReadPackage(buf, 16ul), 0u);
    EXPECT_EQ(dev.OutQueue()->Count(), 3);
    EXPECT_EQ(dev.InQueue()->Count(), 3);
    EXPECT_EQ(dev.Read(buf, -1), 0);
}

TEST(DeviceRouting, PackageCallsAnswerAsTheLayerDoes)
{
    TZuCommDevice dev;
    dev.fSetPkgType(cptFrameHeadTail);
    dev.Package()->fSetActive(true);
    const char frame[] = "\xEB\x05\x06\xEE";
    dev.InQueue()->In(frame, 4);
    dev.Comm()->CommNotify(EV_RXCHAR);
    char buf[8] = {};
    // Without a size it only tells that a package waits.
    EXPECT_TRUE(dev.ReadPackage(static_cast<void*>(buf)));
    EXPECT_EQ(dev.ReadPackage(buf, 8ul), 2u);
    EXPECT_EQ(std::string(buf, 2), "\x05\x06");
    EXPECT_FALSE(dev.ReadPackage(static_cast<void*>(buf)));
    EXPECT_FALSE(dev.WritePackage(static_cast<const void*>(buf)));
    EXPECT_EQ(dev.WritePackage(buf, 2ul), 2u);
    EXPECT_EQ(dev.OutQueue()->Count(), 4); // EB 05 06 EE, waiting for the port to open
    PumpFor(std::chrono::milliseconds(20));
}

TEST(DeviceEvents, PackageEventPrecedesThePortEventOnTheUiThread)
{
    TZuCommDevice dev;
    Recorder rec;
    rec.Attach(dev);
    dev.fSetPkgType(cptFrameHeadTail);
    dev.Package()->fSetActive(true);
    const char frame[] = "\xEB\x01\xEE";
    dev.InQueue()->In(frame, 3);
    NotifyFromThread(dev, EV_RXCHAR | EV_CTS);
    EXPECT_EQ(rec.Count(), 0u); // nothing runs before the UI thread's loop does
    ASSERT_TRUE(PumpUntil([&] { return rec.Count() == 2; }));
    EXPECT_EQ(rec.events[0].kind, "package");
    EXPECT_EQ(rec.events[0].type, EV_RXCHAR | EV_CTS);
    EXPECT_EQ(rec.events[1].kind, "comm");
    EXPECT_EQ(rec.events[1].type, EV_RXCHAR | EV_CTS);
    for (const Event& e : rec.events) {
        EXPECT_EQ(e.sender, &dev);
        EXPECT_TRUE(e.onUiThread);
    }
}

TEST(DeviceEvents, TimeoutPackageArrivesAsNotifyTypeOneFromTheComponent)
{
    TZuCommDevice dev;
    Recorder rec;
    rec.Attach(dev);
    dev.fSetPkgInterval(10);
    dev.Package()->fSetActive(true);
    dev.InQueue()->In("\x01\x02\x03", 3);
    ASSERT_TRUE(PumpUntil([&] { return rec.Count() >= 1; }));
    EXPECT_EQ(rec.events[0].kind, "package");
    EXPECT_EQ(rec.events[0].type, 1);
    EXPECT_EQ(rec.events[0].sender, &dev);
    EXPECT_TRUE(rec.events[0].onUiThread);
    char buf[8];
    EXPECT_EQ(dev.ReadPackage(buf, 8ul), 3u);
}

TEST(DeviceEvents, WithoutSyncEventsHandlersRunOnTheLibrarysThreads)
{
    TZuCommDevice dev;
    dev.fSetSyncEvents(false);
    Recorder rec;
    rec.Attach(dev);
    dev.fSetPkgInterval(10);
    dev.Package()->fSetActive(true);
    NotifyFromThread(dev, EV_RING);
    ASSERT_EQ(rec.Count(), 2u); // package then port, already delivered
    EXPECT_FALSE(rec.events[0].onUiThread);
    EXPECT_EQ(rec.events[0].kind, "package");
    EXPECT_EQ(rec.events[1].kind, "comm");
    dev.InQueue()->In("\x01", 1);
    // The timer thread delivers this one; no event loop runs here.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (rec.Count() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(rec.Count(), 3u);
    EXPECT_EQ(rec.events[2].type, 1);
    EXPECT_FALSE(rec.events[2].onUiThread);
    EXPECT_EQ(rec.events[2].sender, &dev);
}

TEST(DeviceEvents, ManyNotificationsFromSeveralThreadsKeepEachThreadsOrder)
{
    TZuCommDevice dev;
    std::vector<int> seen;
    dev.OnCommNotify = [&](TObject*, int t) { seen.push_back(t); };
    dev.OnPackage = [&](TObject*, int t) { seen.push_back(-t); };
    constexpr int perThread = 400;
    std::thread a([&] {
        for (int i = 1; i <= perThread; ++i) {
            dev._EvPackage(dev.Package(), i);
            dev._EvComm(dev.Comm(), i);
        }
    });
    std::thread b([&] {
        for (int i = 1; i <= perThread; ++i)
            dev._EvComm(dev.Comm(), 100000 + i);
    });
    a.join();
    b.join();
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3 * perThread; }));
    int nextA = 1, nextB = 100001;
    bool packagePending = false;
    for (int v : seen) {
        if (v >= 100000) {
            EXPECT_EQ(v, nextB++);
        } else if (v < 0) {
            EXPECT_FALSE(packagePending);
            EXPECT_EQ(-v, nextA);
            packagePending = true;
        } else {
            EXPECT_TRUE(packagePending) << v;
            EXPECT_EQ(v, nextA++);
            packagePending = false;
        }
    }
}

TEST(DeviceEvents, HandlerExceptionIsShownAndLaterEventsStillCome)
{
    TZuCommDevice dev;
    std::vector<QString> shown;
    auto old = Toolkit::SetMessageSink([&](const Toolkit::MessageBoxCall& c) {
        shown.push_back(c.text);
        return Toolkit::mrOK;
    });
    std::vector<int> seen;
    dev.OnCommNotify = [&](TObject*, int t) {
        seen.push_back(t);
        if (t == 1)
            throw std::runtime_error("handler failed");
    };
    dev._EvComm(dev.Comm(), 1);
    dev._EvComm(dev.Comm(), 2);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    Toolkit::SetMessageSink(old);
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "handler failed");
}

TEST(DeviceEvents, NestedEventLoopInAHandlerStillGetsTheFollowingEvents)
{
    TZuCommDevice dev;
    std::vector<int> seen;
    dev.OnCommNotify = [&](TObject*, int t) {
        seen.push_back(t);
        if (t == 1) // a modal box would run a loop like this
            PumpUntil([&] { return seen.size() == 3; }, std::chrono::seconds(2));
    };
    for (int i = 1; i <= 3; ++i)
        dev._EvComm(dev.Comm(), i);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 3; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(DeviceEvents, EventsStillQueuedWhenTheComponentGoesAreDropped)
{
    int calls = 0;
    {
        auto* dev = new TZuCommDevice;
        dev->OnCommNotify = [&](TObject*, int) { ++calls; };
        dev->OnPackage = [&](TObject*, int) { ++calls; };
        std::thread t([&] {
            for (int i = 0; i < 50; ++i) {
                dev->_EvComm(dev->Comm(), 1);
                dev->_EvPackage(dev->Package(), 1);
            }
        });
        t.join();
        delete dev;
    }
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, 0);
}

TEST(DeviceEvents, DestroyingWhileTheTimerDeliversIsSafeAndEndsTheEvents)
{
    std::atomic<int> calls{0};
    int delivered = 0;
    for (int round = 0; round < 20; ++round) {
        auto* dev = new TZuCommDevice;
        dev->fSetSyncEvents(round % 2 == 0);
        dev->OnPackage = [&](TObject*, int) { ++calls; };
        dev->fSetPkgInterval(1);
        dev->Package()->fSetActive(true);
        for (int i = 0; i < 5; ++i) {
            dev->InQueue()->In("\x01\x02", 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        QCoreApplication::processEvents();
        delete dev;
        delivered = calls.load();
        // Nothing may arrive for a component that is gone.
        PumpFor(std::chrono::milliseconds(5));
        EXPECT_EQ(calls.load(), delivered);
    }
    EXPECT_GT(delivered, 0);
}

TEST(DeviceSettingsDialog, ReturnsTrueExactlyWhenTheDialogEndsWithOK)
{
    TZuCommDevice dev;
    auto closeWith = [](int result) {
        QTimer::singleShot(0, [result] {
            auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dlg)
                dlg->done(result);
        });
    };
    closeWith(2);
    EXPECT_FALSE(dev.SettingsDialog(nullptr, false));
    closeWith(1);
    EXPECT_TRUE(dev.SettingsDialog(nullptr, false));
    closeWith(0);
    EXPECT_FALSE(dev.SettingsDialog(nullptr, false));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(DeviceEvents, PortEventsReachAHandlerAssignedWhileThePortRuns)
{
    TZuCommDevice dev;
    // With no handler nothing is queued for the UI thread...
    dev._EvComm(dev.Comm(), 1);
    std::vector<int> seen;
    dev.OnCommNotify = [&](TObject*, int t) { seen.push_back(t); };
    // ...and once one is set, every event reaches it, until it is taken away.
    dev._EvComm(dev.Comm(), 2);
    dev._EvComm(dev.Comm(), 3);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));
    dev.OnCommNotify = nullptr;
    dev._EvComm(dev.Comm(), 4);
    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(seen, (std::vector<int>{2, 3}));
}
