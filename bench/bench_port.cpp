// The serial port over a pseudo-terminal: bytes per second from the device
// into Read and from Write out to the device, the CPU an idle open port
// costs, and what the byte queue's reconfiguration guard costs per call
// (against the same ring without it).
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "comm/TKelvorComm32.h"
#include "tests/support/Pty.h"

using KelvorComm32::TComm32;
using KelvorComm32::TCommQueue;

namespace {

struct OpenPort {
    testsupport::DeviceMap map;
    testsupport::PtyPair pty;
    TComm32 port;
    OpenPort()
    {
        map.map(7, pty.slavePath());
        port.fSetPort(7);
        port.Open();
    }
};

void BM_DeviceToRead(benchmark::State& state)
{
    OpenPort p;
    const std::size_t block = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> data(block, 0x5A), got(block);
    for (auto _ : state) {
        p.pty.write(data.data(), block);
        std::size_t have = 0;
        while (have < block) {
            const long n = p.port.Read(got.data() + have, static_cast<long>(block - have));
            if (n > 0)
                have += static_cast<std::size_t>(n);
            else
                std::this_thread::yield();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_DeviceToRead)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime();

void BM_WriteToDevice(benchmark::State& state)
{
    OpenPort p;
    const std::size_t block = static_cast<std::size_t>(state.range(0));
    std::vector<char> data(block, 0x3C);
    for (auto _ : state) {
        std::size_t queued = 0;
        std::size_t received = 0;
        while (received < block) {
            if (queued < block)
                queued += static_cast<std::size_t>(
                    p.port.Write(data.data() + queued, static_cast<long>(block - queued)));
            received += p.pty.read(block - received, std::chrono::milliseconds(20)).size();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_WriteToDevice)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime();

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Process CPU while an open port waits for nothing, in milliseconds of CPU
// per second of wall time.
void BM_IdleOpenPortCpu(benchmark::State& state)
{
    OpenPort p;
    double cpuMsPerSecond = 0;
    for (auto _ : state) {
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cpuMsPerSecond = (CpuSeconds() - cpu0) * 1000.0 / wall;
    }
    state.counters["cpu_ms_per_s"] = cpuMsPerSecond;
}
BENCHMARK(BM_IdleOpenPortCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same ring without the guard, as a yardstick for the guard's cost.
class PlainRing {
public:
    explicit PlainRing(long size) : fSize(size), fBuf(static_cast<std::size_t>(size)) {}
    long In(const char* src, long len)
    {
        const long in = fIn.load(std::memory_order_relaxed), out = fOut.load(std::memory_order_acquire);
        const long n = std::min((out - in + fSize - 1) % fSize, len);
        if (n <= 0)
            return 0;
        const long over = std::max(0L, in + n - fSize);
        std::memcpy(fBuf.data() + in, src, static_cast<std::size_t>(n - over));
        std::memcpy(fBuf.data(), src + (n - over), static_cast<std::size_t>(over));
        fIn.store((in + n) % fSize, std::memory_order_release);
        return n;
    }
    long Out(char* dst, long len)
    {
        const long out = fOut.load(std::memory_order_relaxed), in = fIn.load(std::memory_order_acquire);
        const long n = std::min((in - out + fSize) % fSize, len);
        if (n <= 0)
            return 0;
        const long over = std::max(0L, out + n - fSize);
        std::memcpy(dst, fBuf.data() + out, static_cast<std::size_t>(n - over));
        std::memcpy(dst + (n - over), fBuf.data(), static_cast<std::size_t>(over));
        fOut.store((out + n) % fSize, std::memory_order_release);
        return n;
    }

private:
    long fSize;
    std::vector<char> fBuf;
    std::atomic<long> fIn{0}, fOut{0};
};

template <class Ring>
void QueueInOut(benchmark::State& state)
{
    Ring q(8192);
    const long block = static_cast<long>(state.range(0));
    std::vector<char> src(static_cast<std::size_t>(block), 1), dst(static_cast<std::size_t>(block));
    for (auto _ : state) {
        benchmark::DoNotOptimize(q.In(src.data(), block));
        benchmark::DoNotOptimize(q.Out(dst.data(), block));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * block);
}
void BM_QueueInOut(benchmark::State& state) { QueueInOut<TCommQueue>(state); }
void BM_PlainRingInOut(benchmark::State& state) { QueueInOut<PlainRing>(state); }
BENCHMARK(BM_QueueInOut)->Arg(1)->Arg(512);
BENCHMARK(BM_PlainRingInOut)->Arg(1)->Arg(512);

} // namespace

BENCHMARK_MAIN();
