// Pause packaging on the layer's timer thread, over a fake port, and the
// life of that thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "comm/TKelvorCommPkg.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/core_pkg_FakePort.h"
#include "tests/support/Pty.h"

using namespace KelvorComm32;
using namespace std::chrono_literals;
using pkgtest::Bytes;
using pkgtest::CountingPort;
using pkgtest::Drain;
using pkgtest::FakePort;
using pkgtest::WaitFor;

namespace {

struct TimeoutLayer {
    FakePort port;
    TCommPackage pkg{&port};
    std::atomic<int> notified{0};
    std::atomic<int> lastMask{0};
    std::atomic<bool> onOtherThread{false};
    explicit TimeoutLayer(unsigned long interval)
    {
        const auto self = std::this_thread::get_id();
        pkg.OnNotify = [this, self](TObject* s, int t) {
            EXPECT_EQ(s, &pkg);
            lastMask = t;
            onOtherThread = std::this_thread::get_id() != self;
            ++notified;
        };
        pkg.fSetPkgInterval(interval);
        pkg.fSetActive(true);
    }
};

Bytes Seq(int from, int n)
{
    Bytes b;
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(from + i));
    return b;
}

} // namespace

TEST(TimeoutPackaging, BytesWithShortGapsFormOnePackageAnnouncedFromTheTimerThread)
{
    // Gaps far below the interval, so a busy machine cannot split them.
    TimeoutLayer l(300);
    // Setting the interval and turning the layer on each wake the timer for
    // a poll of its own; a poll between two chunks would end the package.
    std::this_thread::sleep_for(100ms);
    Bytes all;
    for (int i = 0; i < 10; ++i) {
        Bytes chunk = Seq(i * 5, 5);
        all.insert(all.end(), chunk.begin(), chunk.end());
        l.port.Feed(chunk);
        l.port.Notify(EV_RXCHAR); // ignored in this type: the timer reads
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() > 0; }));
    EXPECT_EQ(l.lastMask.load(), 1);
    EXPECT_TRUE(l.onOtherThread.load());
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{all});
}

TEST(TimeoutPackaging, SilenceOfTwoIntervalsEndsThePackage)
{
    TimeoutLayer l(50);
    l.port.Feed(Seq(1, 3));
    std::this_thread::sleep_for(400ms);
    l.port.Feed(Seq(10, 4));
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() >= 2; }));
    EXPECT_EQ(Drain(l.pkg), (std::vector<Bytes>{Seq(1, 3), Seq(10, 4)}));
}

TEST(TimeoutPackaging, FullBufferDoesNotEndThePackageAndTheRestIsDropped)
{
    TimeoutLayer l(200);
    l.pkg.fSetPkgSz(30);
    l.port.Feed(Seq(0, 100));
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() > 0; }));
    std::this_thread::sleep_for(450ms); // room for a wrong second package
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{Seq(0, 30)});
    EXPECT_EQ(l.port.Pending(), 0u);
}

TEST(TimeoutPackaging, IntervalZeroStillPacksAndPollsAtMostAboutOnceAMillisecond)
{
    CountingPort port;
    TCommPackage pkg(&port);
    pkg.fSetPkgInterval(0);
    pkg.fSetActive(true);
    port.Feed(Seq(1, 5));
    ASSERT_TRUE(WaitFor([&] { return pkg.ReadPackage(nullptr, 0) == 5; }));
    long before = port.reads.load();
    auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(200ms);
    long polls = port.reads.load() - before;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    // A spinning thread would poll hundreds of times per millisecond.
    EXPECT_LE(polls, 2 * ms + 50) << "polls in " << ms << " ms";
    EXPECT_GT(polls, 0);
}

TEST(TimeoutPackaging, ThrowingHandlerOnTheTimerThreadIsContained)
{
    FakePort port;
    TCommPackage pkg(&port);
    std::atomic<int> calls{0};
    pkg.OnNotify = [&](TObject*, int) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    pkg.fSetPkgInterval(20);
    pkg.fSetActive(true);
    port.Feed(Seq(1, 2));
    ASSERT_TRUE(WaitFor([&] { return calls.load() == 1; }));
    port.Feed(Seq(5, 2));
    ASSERT_TRUE(WaitFor([&] { return calls.load() == 2; }));
    EXPECT_EQ(Drain(pkg), (std::vector<Bytes>{Seq(1, 2), Seq(5, 2)}));
}

TEST(TimeoutPackaging, OtherTypesLeaveTheBytesToTheReaderNotification)
{
    TimeoutLayer l(10);
    l.pkg.fSetPkgType(cptFrameHeadTail);
    l.port.Feed(Bytes{0xEB, 0x01, 0xEE});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(l.port.Pending(), 3u);
    EXPECT_EQ(l.notified.load(), 0);
    // And back: the timer takes up polling again at once.
    l.pkg.fSetPkgType(cptFrameTimeout);
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() == 1; }));
    EXPECT_EQ(Drain(l.pkg), (std::vector<Bytes>{Bytes{0xEB, 0x01, 0xEE}}));
}

TEST(TimerThreadLife, DestroyingBusyLayersWaitsForTheirThreads)
{
    {
        // Sanitizer runtimes start helper threads of their own with the
        // first thread; count from after that.
        FakePort port;
        TCommPackage warmUp(&port);
    }
    std::this_thread::sleep_for(50ms);
    const int baseline = testsupport::CountThreads();
    for (int round = 0; round < 30; ++round) {
        FakePort port;
        auto* pkg = new TCommPackage(&port);
        std::atomic<int> seen{0};
        pkg->OnNotify = [&](TObject*, int) { ++seen; };
        pkg->fSetPkgInterval(1);
        pkg->fSetActive(true);
        port.Feed(Seq(round, 3));
        if (round % 2)
            WaitFor([&] { return seen.load() > 0; }, 1s);
        delete pkg; // the sanitizer builds catch a thread still inside
    }
    EXPECT_TRUE(WaitFor([&] { return testsupport::CountThreads() <= baseline; }))
        << testsupport::CountThreads() << " threads, " << baseline << " before";
}

TEST(TimerThreadLife, LayerWithoutATimerThreadStillWorksAndGoesAway)
{
    win32posix::FailCall("_beginthread");
    FakePort port;
    {
        TCommPackage pkg(&port);
        pkg.fSetPkgType(cptFrameHeadTail);
        pkg.fSetActive(true);
        port.FeedAndNotify(Bytes{0xEB, 0x07, 0xEE});
        EXPECT_EQ(Drain(pkg), (std::vector<Bytes>{Bytes{0x07}}));
    }
    win32posix::ResetFaults();
}
