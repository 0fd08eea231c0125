// Package layer throughput over a pseudo-terminal in each package type, and
// the delay from a reply's last byte on the wire to OnPackage on the UI
// thread with the default pause interval.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/QtBenchMain.h"
#include "comm/TKelvorCommPkg.h"
#include "comm/ZuCommDevice.h"
#include "tests/support/Pty.h"

using namespace KelvorComm32;
using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::PtyPair;

namespace {

constexpr int kComNo = 11;
constexpr std::size_t kPayload = 64;

struct Line {
    testsupport::DeviceMap map;
    PtyPair pty;
    TComm32 port;
    std::unique_ptr<TCommPackage> pkg;
    explicit Line(TCommPackageType type)
    {
        map.map(kComNo, pty.slavePath());
        port.fSetPort(kComNo);
        pkg = std::make_unique<TCommPackage>(&port);
        port.Open();
        pkg->fSetPkgType(type);
        pkg->fSetActive(true);
    }
    ~Line()
    {
        port.Close(); // its threads call into the layer: they stop first
        pkg.reset();
    }
};

// Payload without frame marks, so every type puts the same bytes on the wire.
Bytes Payload()
{
    Bytes b(kPayload);
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(i % 200);
    return b;
}

void BM_SendPackages(benchmark::State& state)
{
    const auto type = static_cast<TCommPackageType>(state.range(0));
    Line line(type);
    const Bytes p = Payload();
    Bytes rec(line.pkg->PackageSize() + 4);
    std::uint32_t len = static_cast<std::uint32_t>(p.size());
    std::memcpy(rec.data(), &len, 4);
    std::memcpy(rec.data() + 4, p.data(), p.size());
    const std::size_t wire = p.size() + (type == cptFrameTimeout ? 0 : 2);

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> received{0};
    std::thread farEnd([&] {
        while (!stop.load()) {
            Bytes got = line.pty.read(1 << 16, 5ms);
            received += got.size();
        }
    });
    std::size_t sent = 0;
    for (auto _ : state) {
        for (;;) {
            unsigned long ok = type == cptCompatiblePkg ? line.pkg->WritePackage(rec.data(), 0)
                                                        : line.pkg->WritePackage(p.data(), p.size());
            if (ok)
                break;
            std::this_thread::yield(); // queue full: the port's transmit-empty frees it
        }
        ++sent;
    }
    // Count the time until the far end has everything.
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (received.load() < sent * wire && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    stop = true;
    farEnd.join();
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
    state.SetBytesProcessed(static_cast<std::int64_t>(received.load()));
    if (received.load() != sent * wire)
        state.SkipWithError("bytes lost on the way");
}
BENCHMARK(BM_SendPackages)->Arg(cptCompatiblePkg)->Arg(cptFrameHeadTail)->Arg(cptFrameTimeout)->UseRealTime();

// Framed packages parsed on the reader thread and taken by the application.
void BM_ReceiveFramedPackages(benchmark::State& state)
{
    const auto type = static_cast<TCommPackageType>(state.range(0));
    Line line(type);
    Bytes batch;
    constexpr int kBatch = 10; // fits the 16-slot queue
    for (int i = 0; i < kBatch; ++i) {
        batch.push_back(0xEB);
        Bytes p = Payload();
        batch.insert(batch.end(), p.begin(), p.end());
        batch.push_back(0xEE);
    }
    Bytes buf(line.pkg->PackageSize() + 4);
    std::int64_t taken = 0;
    for (auto _ : state) {
        line.pty.write(batch);
        int got = 0;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got < kBatch && std::chrono::steady_clock::now() < deadline) {
            unsigned long n = type == cptCompatiblePkg ? line.pkg->ReadPackage(buf.data(), 0)
                                                       : line.pkg->ReadPackage(buf.data(), buf.size());
            if (n)
                ++got;
            else
                std::this_thread::yield();
        }
        if (got < kBatch) {
            state.SkipWithError("packages lost");
            break;
        }
        taken += got;
    }
    state.SetItemsProcessed(taken);
}
BENCHMARK(BM_ReceiveFramedPackages)->Arg(cptCompatiblePkg)->Arg(cptFrameHeadTail)->UseRealTime();

// Pause packaging: one package per round trip of silence, so the rate is
// bounded by the interval; measured at 1 ms and at the default 50 ms.
void BM_ReceiveTimeoutPackages(benchmark::State& state)
{
    Line line(cptFrameTimeout);
    line.pkg->fSetPkgInterval(static_cast<unsigned long>(state.range(0)));
    const Bytes p = Payload();
    Bytes buf(line.pkg->PackageSize());
    std::int64_t taken = 0;
    for (auto _ : state) {
        line.pty.write(p);
        auto deadline = std::chrono::steady_clock::now() + 5s;
        unsigned long n = 0;
        while (n == 0 && std::chrono::steady_clock::now() < deadline) {
            n = line.pkg->ReadPackage(buf.data(), buf.size());
            if (!n)
                std::this_thread::sleep_for(100us);
        }
        if (n != p.size()) {
            state.SkipWithError("package lost or split");
            break;
        }
        ++taken;
    }
    state.SetItemsProcessed(taken);
}
BENCHMARK(BM_ReceiveTimeoutPackages)->Arg(1)->Arg(50)->UseRealTime();

// From the reply's last byte written on the far end to OnPackage running on
// the UI thread, as the main window receives replies (default interval 50).
void BM_ReplyToOnPackageDelay(benchmark::State& state)
{
    testsupport::DeviceMap map;
    PtyPair pty;
    map.map(kComNo, pty.slavePath());
    TZuCommDevice dev;
    dev.fSetPort(kComNo);
    dev.fSetActive(true);
    dev.fSetPkgSz(8192);
    dev.fSetPkgType(cptFrameTimeout);
    dev.fSetUsePackage(true);
    std::chrono::steady_clock::time_point arrived;
    bool got = false;
    dev.OnPackage = [&](TObject*, int t) {
        if (t != 1)
            return;
        arrived = std::chrono::steady_clock::now();
        Bytes buf(8192);
        dev.Read(buf.data(), 8192);
        got = true;
    };
    const Bytes reply = testsupport::HexBytes("01 03 02 00 2A 38 5B");
    std::vector<double> delays;
    for (auto _ : state) {
        got = false;
        // Start at a random phase of the timer's polling.
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * (delays.size() % 8)));
        pty.write(reply);
        const auto sent = std::chrono::steady_clock::now();
        auto deadline = sent + 5s;
        while (!got && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        if (!got) {
            state.SkipWithError("no OnPackage");
            break;
        }
        double ms = std::chrono::duration<double, std::milli>(arrived - sent).count();
        delays.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    if (!delays.empty()) {
        std::sort(delays.begin(), delays.end());
        state.counters["median_ms"] = delays[delays.size() / 2];
        state.counters["max_ms"] = delays.back();
        state.counters["min_ms"] = delays.front();
    }
}
BENCHMARK(BM_ReplyToOnPackageDelay)->Iterations(60)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarksWith<QCoreApplication>(argc, argv);
}
