// Events, waits, threads, the per-thread error code, fault injection and the
// locale of the Linux Win32 layer.
#include "tests/core_win32_Support.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace win32test;
using namespace std::chrono_literals;

namespace {

class Win32Events : public ::testing::Test {
protected:
    void TearDown() override { win32posix::ResetFaults(); }
};

TEST_F(Win32Events, ManualResetStaysSignalledAutoResetIsConsumedOnce)
{
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE autoEv = CreateEventW(nullptr, FALSE, TRUE, nullptr); // starts signalled
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(autoEv, nullptr);

    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    SetEvent(autoEv);
    SetEvent(autoEv); // setting twice still releases one wait
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);

    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(autoEv));
}

TEST_F(Win32Events, WaitAnyReturnsFirstSignalledInArrayOrderAndConsumesOnlyThat)
{
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE c = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE set[3] = {a, b, c};

    SetEvent(c);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
    // b was consumed, c (manual) remains
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 2);
    ResetEvent(c);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_TIMEOUT);

    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0) << "a wait on a must not consume b";

    for (HANDLE h : set)
        CloseHandle(h);
}

TEST_F(Win32Events, WaitAllNeedsEverySignalAndConsumesAutoEvents)
{
    HANDLE a = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE set[2] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "a failed wait-all must consume nothing";
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, set, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Win32Events, WaitsTimeOutAndWakeWhenAnotherThreadSignals)
{
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(work, 30), WAIT_TIMEOUT);

    std::atomic<int> wakes{0};
    std::atomic<bool> stopped{false};
    std::thread waiter([&] {
        const HANDLE set[2] = {stop, work};
        for (;;) {
            DWORD r = WaitForMultipleObjects(2, set, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0)
                break;
            if (r == WAIT_OBJECT_0 + 1)
                ++wakes;
        }
        stopped = true;
    });
    for (int i = 0; i < 5; ++i) {
        SetEvent(work);
        ASSERT_TRUE(Eventually([&] { return wakes.load() == i + 1; }));
    }
    SetEvent(stop);
    waiter.join();
    EXPECT_TRUE(stopped);
    CloseHandle(stop);
    CloseHandle(work);
}

TEST_F(Win32Events, BadHandlesAndArgumentsFailCleanly)
{
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(e));

    SetLastError(0);
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE bad : {e, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1235)}) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetEvent(bad));
        EXPECT_FALSE(ResetEvent(bad));
        EXPECT_FALSE(CloseHandle(bad));
    }

    HANDLE ok = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    const HANDLE mixed[2] = {ok, e};
    EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED) << "one bad handle fails the whole wait";
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(0, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, mixed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);

    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"Global\\named"), nullptr);
    CloseHandle(ok);
}

TEST_F(Win32Events, ClosingAHandleWhileAnotherThreadWaitsOnItIsSafe)
{
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> timedResult{0xDEAD}, setResult{0xDEAD};
    std::atomic<bool> waiting{false};
    std::thread timed([&] {
        waiting = true;
        timedResult = WaitForSingleObject(ev, 300);
    });
    std::thread untilStop([&] {
        const HANDLE set[2] = {stop, ev};
        setResult = WaitForMultipleObjects(2, set, FALSE, INFINITE);
    });
    ASSERT_TRUE(Eventually([&] { return waiting.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(CloseHandle(ev));
    timed.join();
    EXPECT_EQ(timedResult.load(), WAIT_TIMEOUT);
    SetEvent(stop);
    untilStop.join();
    EXPECT_EQ(setResult.load(), WAIT_OBJECT_0);
    CloseHandle(stop);
}

TEST_F(Win32Events, LastErrorBelongsToEachThread)
{
    SetLastError(1234);
    DWORD seen = 0;
    std::thread t([&] {
        SetLastError(ERROR_ACCESS_DENIED);
        seen = GetLastError();
    });
    t.join();
    EXPECT_EQ(seen, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetLastError(), 1234u);
}

struct ThreadProbe {
    HANDLE release = nullptr;
    std::atomic<int> runs{0};
    std::atomic<bool> done{false};
};

void BlockingThread(void* arg)
{
    auto* p = static_cast<ThreadProbe*>(arg);
    ++p->runs;
    WaitForSingleObject(p->release, INFINITE);
    // Touch a good part of the stack: a 4 KiB stack as asked for would not survive this.
    volatile char big[256 * 1024];
    std::memset(const_cast<char*>(big), 1, sizeof big);
    p->done = big[sizeof big - 1] == 1;
}

TEST_F(Win32Events, BeginThreadRunsWithARealStackAndReleasesItsHandle)
{
    ThreadProbe probe;
    probe.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::uintptr_t t = _beginthread(BlockingThread, 4096, &probe);
    ASSERT_NE(t, static_cast<std::uintptr_t>(-1));
    HANDLE h = reinterpret_cast<HANDLE>(t);
    ASSERT_TRUE(Eventually([&] { return probe.runs.load() == 1; }));
    EXPECT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_HIGHEST));
    EXPECT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_NORMAL));
    EXPECT_FALSE(SetThreadPriority(probe.release, THREAD_PRIORITY_NORMAL)) << "an event is no thread";

    SetEvent(probe.release);
    ASSERT_TRUE(Eventually([&] { return probe.done.load(); }));
    // The thread lets go of its own handle when it ends.
    EXPECT_TRUE(Eventually([&] { return !SetThreadPriority(h, THREAD_PRIORITY_NORMAL); }));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(probe.release);
}

void CountingThread(void* arg) { ++*static_cast<std::atomic<int>*>(arg); }

TEST_F(Win32Events, TwoHundredThreadsLeaveNoThreadOrDescriptorBehind)
{
    const int threadsBefore = BaselineThreads();
    const int fdsBefore = testsupport::CountOpenFds();
    std::atomic<int> count{0};
    for (int i = 0; i < 200; ++i)
        ASSERT_NE(_beginthread(CountingThread, 0, &count), static_cast<std::uintptr_t>(-1));
    ASSERT_TRUE(Eventually([&] { return count.load() == 200; }));
    EXPECT_TRUE(Eventually([&] { return testsupport::CountThreads() <= threadsBefore; }))
        << testsupport::CountThreads() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(testsupport::CountOpenFds(), fdsBefore);
}

TEST_F(Win32Events, FaultInjectionFailsTheChosenCallsOnly)
{
    win32posix::FailCall("CreateEventW", 2, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE third = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(third, nullptr);

    win32posix::FailCall("SetEvent", 1, ERROR_GEN_FAILURE, 2);
    EXPECT_FALSE(SetEvent(first));
    EXPECT_FALSE(SetEvent(first));
    EXPECT_TRUE(SetEvent(first));

    std::atomic<int> count{0};
    win32posix::FailCall("_beginthread");
    EXPECT_EQ(_beginthread(CountingThread, 0, &count), static_cast<std::uintptr_t>(-1));
    ASSERT_NE(_beginthread(CountingThread, 0, &count), static_cast<std::uintptr_t>(-1));
    EXPECT_TRUE(Eventually([&] { return count.load() == 1; }));

    win32posix::FailCall("WaitForMultipleObjects", 1, ERROR_INVALID_HANDLE);
    win32posix::ResetFaults();
    const HANDLE set[1] = {first};
    EXPECT_EQ(WaitForMultipleObjects(1, set, FALSE, 0), WAIT_OBJECT_0) << "ResetFaults forgets armed faults";

    CloseHandle(first);
    CloseHandle(third);
}

TEST(Win32Locale, ThreadLocaleFollowsTheEnvironmentAtEachCall)
{
    ScopedEnv all("LC_ALL", nullptr), messages("LC_MESSAGES", nullptr), lang("LANG", nullptr);
    EXPECT_EQ(GetThreadLocale(), 0u) << "nothing set";

    struct Case {
        const char* value;
        LCID lcid;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", 0x0804}, {"zh_SG", 0x0804},     {"zh_TW.UTF-8", 0x0404}, {"zh_HK.UTF-8", 0x0C04},
        {"zh_MO", 0x1404},       {"en_US.UTF-8", 0x0409}, {"en_GB", 0x0809},     {"de_DE@euro", 0x0407},
        {"fr_FR.UTF-8", 0x040C}, {"ja_JP.eucJP", 0x0411}, {"ko_KR", 0x0412},     {"ru_RU.KOI8-R", 0x0419},
        {"es_ES", 0x0C0A},       {"it_IT", 0x0410},      {"pt_BR", 0x0416},      {"de", 0x0407},
        {"de_XX", 0x0407},       {"C", 0},               {"C.UTF-8", 0},         {"POSIX", 0},
        {"xx_YY", 0},            {"", 0},
    };
    for (const Case& c : cases) {
        setenv("LANG", c.value, 1);
        EXPECT_EQ(GetThreadLocale(), c.lcid) << "LANG=" << c.value;
    }

    // LC_ALL wins over LC_MESSAGES, which wins over LANG; empty ones are skipped.
    setenv("LANG", "en_US.UTF-8", 1);
    setenv("LC_MESSAGES", "zh_TW.UTF-8", 1);
    EXPECT_EQ(GetThreadLocale(), 0x0404u);
    setenv("LC_ALL", "zh_CN.UTF-8", 1);
    EXPECT_EQ(GetThreadLocale(), 0x0804u);
    setenv("LC_ALL", "", 1);
    EXPECT_EQ(GetThreadLocale(), 0x0404u);
}

TEST(Win32System, VersionQueryReportsFailure)
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

} // namespace
