// The byte ring queue: limits, wrapping, resizing, and clearing or resizing
// while a producer and a consumer run.
#include "comm/TKelvorComm32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

// Huge requests must come back as null so the out-of-memory path can be seen.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

using KelvorComm32::EComm32Error;
using KelvorComm32::TCommQueue;

namespace {

std::vector<char> Pattern(long n, int seed = 0)
{
    std::vector<char> v(static_cast<std::size_t>(n));
    for (long i = 0; i < n; ++i)
        v[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + seed) & 0xFF);
    return v;
}

} // namespace

TEST(CommQueue, HoldsOneByteLessThanItsSize)
{
    TCommQueue q(8192);
    ASSERT_TRUE(q.IsValid());
    auto data = Pattern(8192);
    EXPECT_EQ(q.In(data.data(), 8192), 8191);
    EXPECT_EQ(q.Count(), 8191);
    EXPECT_EQ(q.Remain(), 0);
    char c = 'x';
    EXPECT_FALSE(q.In(&c));
    EXPECT_EQ(q.In(data.data(), 10), 0);

    std::vector<char> out(9000);
    EXPECT_EQ(q.Out(out.data(), 9000), 8191);
    EXPECT_EQ(0, std::memcmp(out.data(), data.data(), 8191));
    EXPECT_FALSE(q.Out(&c));
    EXPECT_EQ(c, 'x'); // an empty take leaves the destination alone
}

TEST(CommQueue, BlocksThatStraddleTheEndComeBackInOrder)
{
    TCommQueue q(16);
    auto a = Pattern(10, 1);
    std::vector<char> out(32);
    ASSERT_EQ(q.In(a.data(), 10), 10);
    ASSERT_EQ(q.Out(out.data(), 10), 10); // both indices now at 10
    auto b = Pattern(15, 2);
    ASSERT_EQ(q.In(b.data(), 15), 15); // 6 bytes to the end, 9 wrapped
    EXPECT_EQ(q.Count(), 15);
    EXPECT_EQ(q.Count() + q.Remain(), 15);
    ASSERT_EQ(q.Out(out.data(), 4), 4);
    ASSERT_EQ(q.Out(out.data() + 4, 32), 11); // the take wraps too
    EXPECT_EQ(0, std::memcmp(out.data(), b.data(), 15));

    // Single bytes wrap the same way.
    for (int round = 0; round < 40; ++round) {
        char in = static_cast<char>(round), got = 0;
        ASSERT_TRUE(q.In(&in));
        ASSERT_TRUE(q.Out(&got));
        ASSERT_EQ(got, in);
    }
}

TEST(CommQueue, RejectsEmptyAndNullArguments)
{
    TCommQueue q(64);
    char buf[8] = {1, 2, 3};
    EXPECT_EQ(q.In(buf, 0), 0);
    EXPECT_EQ(q.In(buf, -5), 0);
    EXPECT_EQ(q.In(nullptr, 5), 0);
    EXPECT_FALSE(q.In(nullptr));
    EXPECT_EQ(q.Count(), 0);
    ASSERT_EQ(q.In(buf, 3), 3);
    EXPECT_EQ(q.Out(nullptr, 3), 0);
    EXPECT_FALSE(q.Out(nullptr));
    EXPECT_EQ(q.Out(buf, 0), 0);
    EXPECT_EQ(q.Count(), 3);
}

TEST(CommQueue, ResizingEmptiesAndFreeingKeepsTheModulus)
{
    TCommQueue q(100);
    auto d = Pattern(50);
    q.In(d.data(), 50);
    q.fSetBufSize(100); // same size still empties
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.BufSize(), 100);

    q.In(d.data(), 50);
    q.fSetBufSize(0);
    EXPECT_FALSE(q.IsValid());
    EXPECT_EQ(q.BufSize(), 100);
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.Remain(), 99);
    EXPECT_EQ(q.In(d.data(), 10), 0);
    char c = 0;
    EXPECT_FALSE(q.In(&c));
    EXPECT_FALSE(q.Out(&c));

    q.fSetBufSize(20);
    EXPECT_TRUE(q.IsValid());
    EXPECT_EQ(q.In(d.data(), 50), 19);
}

TEST(CommQueue, ClearKeepsBufferAndEmpties)
{
    TCommQueue q(32);
    auto d = Pattern(20);
    q.In(d.data(), 20);
    q.Clear();
    EXPECT_TRUE(q.IsValid());
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.Remain(), 31);
}

TEST(CommQueue, NonPositiveSizeGivesAQueueWithoutBuffer)
{
    for (long size : {0L, -1L, -8192L}) {
        TCommQueue q(size);
        EXPECT_FALSE(q.IsValid()) << size;
        EXPECT_EQ(q.BufSize(), 1) << size;
        EXPECT_EQ(q.Count(), 0);
        EXPECT_EQ(q.Remain(), 0);
        char c = 1;
        EXPECT_EQ(q.In(&c, 1), 0);
        q.fSetBufSize(8);
        EXPECT_TRUE(q.IsValid());
        EXPECT_EQ(q.In("abcdefgh", 8), 7);
    }
}

TEST(CommQueue, OutOfMemoryRaisesAndKeepsTheOldBuffer)
{
    TCommQueue q(64);
    q.In("abc", 3);
    try {
        q.fSetBufSize(std::numeric_limits<long>::max());
        FAIL() << "no error";
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, EComm32Error::ecOutOfMemory);
        EXPECT_TRUE(e.PortName.empty());
    }
    EXPECT_TRUE(q.IsValid());
    EXPECT_EQ(q.BufSize(), 64);
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.In("abcd", 4), 4);

    // The constructor never raises: it ends up without a buffer.
    TCommQueue huge(std::numeric_limits<long>::max());
    EXPECT_FALSE(huge.IsValid());
}

// A producer puts 4-byte sequence numbers, a consumer takes them and checks
// they only ever go up, while a third thread keeps clearing and resizing.
// Sizes of the form 4k + 1 keep the ring's room a multiple of 4, so records
// never split; a torn or stale record would break the order.
TEST(CommQueue, ClearAndResizeFromAThirdThreadKeepRecordsWhole)
{
    TCommQueue q(4 * 64 + 1);
    std::atomic<bool> stop{false};
    std::atomic<long> taken{0};
    std::atomic<bool> disorder{false};

    std::thread producer([&] {
        std::uint32_t next = 1;
        while (!stop.load()) {
            if (q.In(reinterpret_cast<const char*>(&next), 4) == 4)
                ++next;
            else
                std::this_thread::yield();
        }
    });
    std::thread consumer([&] {
        std::uint32_t last = 0;
        while (!stop.load()) {
            std::uint32_t v = 0;
            long n = q.Out(reinterpret_cast<char*>(&v), 4);
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            if (n != 4 || v <= last)
                disorder.store(true);
            last = v;
            taken.fetch_add(1);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        if (i % 10 == 0)
            q.fSetBufSize(4 * (32 + i % 64) + 1);
        else
            q.Clear();
        std::this_thread::yield();
    }
    // Let the pair run on after the last clear, so they are seen working.
    const long before = taken.load();
    for (int i = 0; i < 5000 && taken.load() < before + 1000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop.store(true);
    producer.join();
    consumer.join();
    EXPECT_FALSE(disorder.load());
    EXPECT_GE(taken.load(), before + 1000);
}
