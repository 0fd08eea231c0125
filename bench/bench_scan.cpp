// The scan's cost per absent id: 100 ids nobody answers at 9600 baud on a
// line paced at that rate, 50 ms timeout, against the floor of each probe's
// time on the wire plus the timeout.
#include <benchmark/benchmark.h>

#include <chrono>

#include "app/modbus/LineTiming.h"
#include "app/scan/Scanner.h"
#include "tests/support/PacedLink.h"
#include "tests/support/Pty.h"

namespace {

void BM_ScanAbsentIds(benchmark::State& state)
{
    const unsigned baud = 9600;
    testsupport::PtyPair silent; // the far end: nobody answers
    testsupport::PacedLink link(silent.slavePath(), baud);
    if (!link.ok()) {
        state.SkipWithError("no link");
        return;
    }
    TScanPlan plan;
    plan.Bauds = {baud};
    plan.TimeoutMs = 50;
    for (int id = 1; id <= 100; ++id)
        plan.Ids.push_back(id);
    const double floorMs =
        100.0 * (8 * CharacterMs(baud, 8, 0, 0) + static_cast<double>(plan.TimeoutMs)); // 8-byte probes
    double totalMs = 0;
    for (auto _ : state) {
        TScanner scanner;
        QString failure;
        const auto start = std::chrono::steady_clock::now();
        const TScanner::TEnd end = scanner.Run(QString::fromStdString(link.path()), plan, failure);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (end != TScanner::Finished || !scanner.Found().empty()) {
            state.SkipWithError("the scan did not run through");
            return;
        }
        state.SetIterationTime(ms / 1000.0);
        totalMs += ms;
    }
    const double meanMs = totalMs / static_cast<double>(state.iterations());
    state.counters["floor_ms"] = floorMs;
    state.counters["ratio"] = meanMs / floorMs;
    state.counters["over_floor_ms_per_id"] = (meanMs - floorMs) / 100.0;
}
BENCHMARK(BM_ScanAbsentIds)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
