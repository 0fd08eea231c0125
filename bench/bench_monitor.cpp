// The bus monitor against a 115200-baud bus carrying back-to-back frames
// with 3.5-character gaps: requests from a master to four slaves and their
// replies (reads of 10 registers and 16 coils, single and multiple writes,
// now and then an exception).
//  - the engine alone, fed the traffic as a reader polling every
//    millisecond would have recorded it: frames per second and CPU per
//    frame, with and without the lines and decoding;
//  - `modbuscrc monitor` itself on a pseudo-terminal, the traffic written
//    at the bus's own pace: whether it kept up, and its CPU per frame.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/QtBenchMain.h"
#include "app/modbus/Crc16.h"
#include "app/monitor/BusCounts.h"
#include "app/monitor/BusLine.h"
#include "app/monitor/FrameSplitter.h"
#include "tests/support/Pty.h"

extern char** environ;

namespace {

constexpr unsigned kBaud = 115200;
constexpr int kFrames = 20'000;

struct TChunk {
    std::vector<std::uint8_t> Bytes;
    std::int64_t When;
};

struct TTraffic {
    std::vector<TByteDynArray> Frames;
    std::vector<std::int64_t> Starts; // when each frame's first byte begins, ns from 0
    std::int64_t CharNs = 0;
    std::int64_t Duration = 0;
    std::size_t Bytes = 0;
};

TByteDynArray Crc(std::initializer_list<std::uint8_t> Data)
{
    const std::vector<std::uint8_t> d(Data);
    return WithCrc(d.data(), d.size());
}

// The frames of one exchange.
void Exchange(int I, std::vector<TByteDynArray>& Out)
{
    const auto slave = static_cast<std::uint8_t>(1 + I % 4);
    switch (I % 10) {
    case 0: case 1: case 2: case 3: case 4: case 5: {
        Out.push_back(Crc({slave, 3, 0, 0, 0, 10}));
        TByteDynArray r = {slave, 3, 20};
        for (int k = 0; k < 10; ++k)
            r.insert(r.end(), {0x10, static_cast<std::uint8_t>(k)});
        Out.push_back(WithCrc(r.data(), r.size()));
        break;
    }
    case 6: case 7:
        Out.push_back(Crc({slave, 6, 0, 10, 0x12, 0x34}));
        Out.push_back(Out.back());
        break;
    case 8:
        Out.push_back(Crc({slave, 1, 0, 0, 0, 16}));
        Out.push_back(I % 30 == 8 ? Crc({slave, 0x81, 2}) : Crc({slave, 1, 2, 0xAA, 0x55}));
        break;
    default:
        Out.push_back(Crc({slave, 16, 0, 0, 0, 4, 8, 0, 1, 0, 2, 0, 3, 0, 4}));
        Out.push_back(Crc({slave, 16, 0, 0, 0, 4}));
        break;
    }
}

const TTraffic& Traffic()
{
    static const TTraffic t = [] {
        TTraffic t;
        t.CharNs = TBusTiming::ForLine(TLineSettings{kBaud, 8, 0, 0}).CharNs;
        for (int i = 0; t.Frames.size() < kFrames; ++i)
            Exchange(i, t.Frames);
        std::int64_t now = 0;
        for (const TByteDynArray& f : t.Frames) {
            now += 7 * t.CharNs / 2;
            t.Starts.push_back(now);
            now += static_cast<std::int64_t>(f.size()) * t.CharNs;
            t.Bytes += f.size();
        }
        t.Duration = now;
        return t;
    }();
    return t;
}

// The traffic as a reader that takes what has come every millisecond
// records it.
const std::vector<TChunk>& Recording()
{
    static const std::vector<TChunk> chunks = [] {
        const TTraffic& t = Traffic();
        constexpr std::int64_t kPollNs = 1'000'000;
        std::vector<TChunk> out;
        TChunk c{{}, kPollNs};
        for (std::size_t i = 0; i < t.Frames.size(); ++i) {
            for (std::size_t k = 0; k < t.Frames[i].size(); ++k) {
                const std::int64_t done = t.Starts[i] + static_cast<std::int64_t>(k + 1) * t.CharNs;
                while (done > c.When) {
                    if (!c.Bytes.empty())
                        out.push_back(c);
                    c = {{}, c.When + kPollNs};
                }
                c.Bytes.push_back(t.Frames[i][k]);
            }
        }
        out.push_back(c);
        return out;
    }();
    return chunks;
}

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Arg 0: cutting and pairing only; 1: also the counts, the line and the
// decoded line of every frame, as `monitor --decode` prints them.
void BM_SplitRecordedTraffic(benchmark::State& state)
{
    const bool lines = state.range(0) != 0;
    const TTraffic& traffic = Traffic();
    const std::vector<TChunk>& recording = Recording();
    std::int64_t frames = 0;
    std::int64_t unknown = 0;
    std::size_t text = 0;
    const double cpu0 = CpuSeconds();
    for (auto _ : state) {
        TBusCounts counts;
        TFrameSplitter s(TBusTiming::ForLine(TLineSettings{kBaud, 8, 0, 0}), 0, [&](const TBusFrame& F) {
            ++frames;
            unknown += F.Kind == TBusFrameKind::Unknown;
            if (lines) {
                counts.Add(F);
                text += BusLine(F).size() + DecodedBusLine(F, {}).size();
            }
        });
        for (const TChunk& c : recording)
            s.Feed(c.Bytes.data(), c.Bytes.size(), c.When);
        s.Finish();
    }
    const double cpu = CpuSeconds() - cpu0;
    benchmark::DoNotOptimize(text);
    if (unknown != 0 || frames != static_cast<std::int64_t>(state.iterations()) * kFrames)
        state.SkipWithError("frames lost or broken");
    state.SetItemsProcessed(frames);
    state.counters["cpu_us_per_frame"] = frames ? cpu / static_cast<double>(frames) * 1e6 : 0;
    // How many buses of this traffic one core could follow.
    state.counters["bus_frames_per_s"] =
        static_cast<double>(kFrames) / (static_cast<double>(traffic.Duration) / 1e9);
}
BENCHMARK(BM_SplitRecordedTraffic)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// `modbuscrc monitor` on a pty; the traffic is written frame by frame at
// its time on the bus. Its output goes to /dev/null, its counts are read
// back from stderr.
void BM_MonitorCommandAt115200(benchmark::State& state)
{
    const TTraffic& traffic = Traffic();
    const int frames = static_cast<int>(state.range(0));
    for (auto _ : state) {
        testsupport::PtyPair pty;
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        const std::string program = KELVOR_MODBUSCRC;
        const std::string baud = std::to_string(kBaud);
        std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("monitor"),
                                   const_cast<char*>("--baud"), const_cast<char*>(baud.c_str()),
                                   const_cast<char*>("--decode"), const_cast<char*>(pty.slavePath().c_str()),
                                   nullptr};
        pid_t pid = -1;
        const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(err[1]);
        if (spawned != 0) {
            close(err[0]);
            state.SkipWithError("cannot start modbuscrc");
            return;
        }
        std::string text;
        auto readErr = [&](const char* Until) {
            char buf[4096];
            while (text.find(Until) == std::string::npos) {
                const ssize_t n = read(err[0], buf, sizeof buf);
                if (n <= 0)
                    return;
                text.append(buf, static_cast<std::size_t>(n));
            }
        };
        readErr("Ctrl-C");
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            std::this_thread::sleep_until(start + std::chrono::nanoseconds(traffic.Starts[i] +
                                                                           static_cast<std::int64_t>(traffic.Frames[i].size()) *
                                                                               traffic.CharNs));
            pty.write(traffic.Frames[i]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(pid, SIGINT);
        readErr("\n  站 4");
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        readErr("\xff"); // to the end
        close(err[0]);
        const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        const std::string expected = "请求 " + std::to_string(frames / 2) + " 帧，回复 " + std::to_string(frames / 2) +
                                     " 帧，无回复 0 次，校验失败 0 帧";
        if (text.find(expected) == std::string::npos) {
            state.SkipWithError(("fell behind or lost frames: " + text).c_str());
            return;
        }
        const double busSeconds = static_cast<double>(traffic.Starts[frames - 1]) / 1e9;
        state.counters["cpu_us_per_frame"] = cpu / frames * 1e6;
        state.counters["cpu_share_of_bus_time_pct"] = cpu / busSeconds * 100;
        state.counters["frames"] = frames;
    }
}
BENCHMARK(BM_MonitorCommandAt115200)->Arg(4000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarksWith<QCoreApplication>(argc, argv);
}
