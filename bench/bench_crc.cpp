// Modbus CRC-16: the window's table-driven routine beside a plain bitwise
// one, in bytes per second over a short request, a long frame and 64 KiB.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "app/ModbusCommand.h"

namespace {

std::uint16_t BitwiseCrc16(const std::uint8_t* data, std::size_t count)
{
    std::uint16_t r = 0xFFFF;
    for (std::size_t i = 0; i < count; ++i) {
        r ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? static_cast<std::uint16_t>((r >> 1) ^ 0xA001) : static_cast<std::uint16_t>(r >> 1);
    }
    return r;
}

TByteDynArray RandomFrame(std::size_t size)
{
    std::mt19937 rng(static_cast<unsigned>(size));
    TByteDynArray data(size);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    return data;
}

void BM_Crc16Table(benchmark::State& state)
{
    const TByteDynArray data = RandomFrame(static_cast<std::size_t>(state.range(0)));
    const int count = static_cast<int>(data.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(CRC16(data, count));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc16Bitwise(benchmark::State& state)
{
    const TByteDynArray data = RandomFrame(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(BitwiseCrc16(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

} // namespace

BENCHMARK(BM_Crc16Table)->Arg(8)->Arg(256)->Arg(64 * 1024);
BENCHMARK(BM_Crc16Bitwise)->Arg(8)->Arg(256)->Arg(64 * 1024);

BENCHMARK_MAIN();
