// The end-of-package test of frame-timeout packaging: a package ends when the
// test says it is whole, read on the port's notification; the pause stays the
// rule for bytes that never pass it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "comm/TKelvorCommPkg.h"
#include "tests/core_pkg_FakePort.h"

using namespace KelvorComm32;
using namespace std::chrono_literals;
using pkgtest::Bytes;
using pkgtest::CountingPort;
using pkgtest::Drain;
using pkgtest::WaitFor;

namespace {

struct EndLayer {
    CountingPort port;
    TCommPackage pkg{&port};
    std::atomic<int> notified{0}; // announcements of a package (1)
    std::atomic<int> others{0};   // anything else
    explicit EndLayer(unsigned long interval, unsigned long wholeLength)
    {
        pkg.OnNotify = [this](TObject*, int mask) { ++(mask == EV_RXCHAR ? notified : others); };
        pkg.fSetPkgEnd([wholeLength](TObject*, const std::uint8_t*, unsigned long n) { return n == wholeLength; });
        pkg.fSetPkgInterval(interval);
        Reconfigure([&] { pkg.fSetActive(true); });
    }
    // Makes a change that wakes the timer thread and waits for its poll, so
    // the test's own bytes are not taken by it.
    void Reconfigure(const std::function<void()>& change)
    {
        const long before = port.reads.load();
        change();
        EXPECT_TRUE(WaitFor([&] { return port.reads.load() > before; }));
    }
};

} // namespace

TEST(PackageEnd, WholePackagesEndOnTheNotificationEachAnnouncedOnItsOwn)
{
    // A pause of a minute never comes during the test: only the end test
    // can close these packages.
    EndLayer l(60000, 3);
    l.port.FeedAndNotify(Bytes{1, 2, 3});
    EXPECT_EQ(l.notified.load(), 1); // at once, on the notifying thread
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{(Bytes{1, 2, 3})});

    // Two packages and the start of a third in one read.
    l.port.FeedAndNotify(Bytes{4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(l.notified.load(), 3);
    EXPECT_EQ(Drain(l.pkg), (std::vector<Bytes>{Bytes{4, 5, 6}, Bytes{7, 8, 9}}));
    // A reply that comes with the transmitter's empty event is still
    // announced with 1 alone: the application reads on exactly that.
    l.port.Feed(Bytes{11, 12});
    l.port.Notify(EV_RXCHAR | EV_TXEMPTY);
    EXPECT_EQ(l.notified.load(), 4);
    EXPECT_EQ(l.others.load(), 1);
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{(Bytes{10, 11, 12})});
}

TEST(PackageEnd, BytesThatNeverPassEndByThePauseNotByTheFirstPollAfterTheyWereTaken)
{
    // The notification takes the bytes out of the port; the timer must still
    // see them as new and wait for a whole silent period.
    EndLayer l(300, 100);
    Bytes all;
    for (int i = 0; i < 8; ++i) {
        const Bytes b{static_cast<std::uint8_t>(i)};
        all.push_back(b[0]);
        l.port.FeedAndNotify(b);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(l.port.Pending(), 0u);
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() > 0; }));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{all});
}

TEST(PackageEnd, WithoutATestTheNotificationLeavesTheBytesToThePause)
{
    EndLayer l(60000, 3);
    l.pkg.fSetPkgEnd({});
    EXPECT_FALSE(l.pkg.OnPackageEnd());
    l.port.FeedAndNotify(Bytes{1, 2, 3});
    EXPECT_EQ(l.notified.load(), 0);
    l.pkg.fSetPkgInterval(20);
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() == 1; }));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{(Bytes{1, 2, 3})});
}

TEST(PackageEnd, PackagesCarryTheTimeTheirLastByteWasRead)
{
    EndLayer l(60000, 2);
    EXPECT_EQ(l.pkg.LastPackageTime(), 0);
    const std::int64_t before = TComm32::RxTimeNow();
    l.port.FeedAndNotify(Bytes{1, 2});
    std::this_thread::sleep_for(20ms);
    const std::int64_t between = TComm32::RxTimeNow();
    l.port.FeedAndNotify(Bytes{3, 4});
    Bytes b(8);
    ASSERT_EQ(l.pkg.ReadPackage(b.data(), 8), 2u);
    const std::int64_t first = l.pkg.LastPackageTime();
    EXPECT_GE(first, before);
    EXPECT_LE(first, between);
    ASSERT_EQ(l.pkg.ReadPackage(b.data(), 8), 2u);
    EXPECT_GT(l.pkg.LastPackageTime(), between);
}

TEST(PackageEnd, TheTestSeesAFullBufferButNothingBeyondIt)
{
    EndLayer l(60000, 1000); // never whole
    l.Reconfigure([&] { l.pkg.fSetPkgSz(32); });
    std::atomic<unsigned long> longest{0};
    l.pkg.fSetPkgEnd([&longest](TObject*, const std::uint8_t*, unsigned long n) {
        longest = std::max(longest.load(), n);
        return false;
    });
    l.port.FeedAndNotify(Bytes(100, 0x55));
    EXPECT_EQ(longest, 32u);
    l.pkg.fSetPkgInterval(20);
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() == 1; }));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{Bytes(32, 0x55)});
}

TEST(PackageEnd, TheTimerRestsWhileTheTestLeavesItNothingAndPollsAgainWithoutATest)
{
    EndLayer l(10, 3);
    l.port.FeedAndNotify(Bytes{1, 2, 3});
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{(Bytes{1, 2, 3})});
    // Nothing waits for a pause: a timer still polling would read every 10 ms.
    std::this_thread::sleep_for(50ms);
    const long before = l.port.reads.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(l.port.reads.load() - before, 1);

    // Without a test only the pause ends packages, so the resting timer
    // must take up its polls again.
    l.pkg.fSetPkgEnd({});
    l.port.FeedAndNotify(Bytes{4, 5});
    ASSERT_TRUE(WaitFor([&] { return l.notified.load() == 2; }));
    EXPECT_EQ(Drain(l.pkg), std::vector<Bytes>{(Bytes{4, 5})});
}

TEST(PackageEnd, BytesTheTestWaitsForAreHeldWithoutPollingAndEndByThePauseOnceItGivesUp)
{
    CountingPort port;
    TCommPackage pkg(&port);
    std::atomic<int> notified{0};
    pkg.OnNotify = [&](TObject*, int mask) { notified += mask == EV_RXCHAR ? 1 : 0; };
    // Whole at five bytes; a 0xFF makes it hopeless.
    pkg.fSetPkgEnd([](TObject*, const std::uint8_t* d, unsigned long n) {
        if (std::find(d, d + n, 0xFF) != d + n)
            return static_cast<int>(cpeNo);
        return static_cast<int>(n >= 5 ? cpeYes : cpeWait);
    });
    pkg.fSetPkgInterval(10);
    pkg.fSetPkgHold(60000);
    const long first = port.reads.load();
    pkg.fSetActive(true);
    ASSERT_TRUE(WaitFor([&] { return port.reads.load() > first; }));

    // Far past the pause but inside the hold: kept, and the timer sleeps
    // to the hold's end instead of reading every 10 ms.
    port.FeedAndNotify(Bytes{1, 2});
    std::this_thread::sleep_for(50ms);
    const long before = port.reads.load();
    std::this_thread::sleep_for(200ms);
    EXPECT_LE(port.reads.load() - before, 1);
    EXPECT_EQ(notified.load(), 0);

    // The test gives up: the pause, not the hold, ends the bytes now.
    port.FeedAndNotify(Bytes{0xFF});
    ASSERT_TRUE(WaitFor([&] { return notified.load() == 1; }));
    EXPECT_EQ(Drain(pkg), std::vector<Bytes>{(Bytes{1, 2, 0xFF})});

    // And the hold still ends what the test waits for in vain.
    pkg.fSetPkgHold(100);
    port.FeedAndNotify(Bytes{7});
    ASSERT_TRUE(WaitFor([&] { return notified.load() == 2; }));
    EXPECT_EQ(Drain(pkg), std::vector<Bytes>{(Bytes{7})});
}
