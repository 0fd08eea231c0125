// The log behind Memo3 at a million lines, logged through the window's own
// path (AddLogLine, as every TX and RX line is): resident memory of the whole
// process, the longest stall of the UI event loop while logging, the time to
// clear, and a save that must hold every line.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <string>

#include "bench/QtBenchMain.h"
#include "app/ModbusCommand.h"
#include "platform/toolkit/Toolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: stalls that are the loop's own work, not
// the machine's other load.
double ThreadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A field of /proc/self/status in MB (VmRSS now, VmHWM the peak).
double StatusMb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stod(line.substr(std::string(field).size() + 1)) / 1024.0;
    return -1;
}

long CountLines(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    long n = 0;
    while (!f.atEnd()) {
        const QByteArray chunk = f.read(1 << 20);
        n += chunk.count('\n');
    }
    return n;
}

void BM_MillionLineLog(benchmark::State& state)
{
    const long lines = state.range(0);
    Toolkit::SetMessageSink([](const Toolkit::MessageBoxCall&) { return Toolkit::mrOK; });
    QTemporaryDir dir;
    const QString saved = dir.filePath(QStringLiteral("log.txt"));
    Toolkit::SetSaveFileSink([&](QWidget*, const QString&, const QString&) { return saved; });
    for (auto _ : state) {
        TForm1 form;
        form.show();
        const QString tx = QStringLiteral("TX:01 03 00 00 00 0A C5 CD ");
        const QString rx = QStringLiteral("RX:01 03 14 10 00 10 01 10 02 10 03 10 04 10 05 10 06 10 07 10 08 10 09 DD ED ");
        // One exchange (two lines) per pass of the event loop, as fast as
        // the loop goes; the gaps between passes are the stalls.
        long logged = 0;
        Clock::time_point last = Clock::now();
        Clock::duration worst{};
        double lastCpu = ThreadCpuMs();
        double worstCpu = 0;
        QTimer pump;
        pump.setInterval(0);
        QObject::connect(&pump, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            worst = std::max(worst, now - last);
            last = now;
            const double cpu = ThreadCpuMs();
            worstCpu = std::max(worstCpu, cpu - lastCpu);
            lastCpu = cpu;
            form.AddLogLine(tx);
            form.AddLogLine(rx, 9.4);
            logged += 2;
            if (logged >= lines)
                pump.stop();
        });
        pump.start();
        const Clock::time_point start = Clock::now();
        while (pump.isActive())
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        const double seconds = Ms(Clock::now() - start) / 1000;
        QCoreApplication::processEvents(QEventLoop::AllEvents); // paint the last lines
        const double rss = StatusMb("VmRSS:");
        const double peak = StatusMb("VmHWM:");
        const int shown = form.Memo3->blockCount();

        form.ActionSaveLog->trigger();
        const long inFile = CountLines(saved);

        const Clock::time_point c0 = Clock::now();
        form.ClearLog();
        const double clearMs = Ms(Clock::now() - c0);
        Clock::time_point c1 = Clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents); // what the clear left to the loop
        const double afterClearMs = Ms(Clock::now() - c1);

        state.counters["lines"] = static_cast<double>(logged);
        state.counters["lines_per_s"] = logged / seconds;
        state.counters["shown_lines"] = shown;
        state.counters["saved_lines"] = static_cast<double>(inFile);
        state.counters["rss_mb"] = rss;
        state.counters["peak_rss_mb"] = peak;
        state.counters["longest_stall_ms"] = Ms(worst);
        state.counters["longest_stall_cpu_ms"] = worstCpu;
        state.counters["clear_ms"] = clearMs;
        state.counters["after_clear_ms"] = afterClearMs;
        state.counters["rss_after_clear_mb"] = StatusMb("VmRSS:");
        if (inFile != logged)
            state.SkipWithError("the saved log lost lines");
    }
}
BENCHMARK(BM_MillionLineLog)->Arg(1000000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarksWith<QApplication>(argc, argv);
}
