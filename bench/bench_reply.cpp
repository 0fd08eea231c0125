// Request to reply, the window against a libmodbus client, on one link to the
// libmodbus slave: a bare pty pair, and pty pairs paced like 115200- and
// 9600-baud lines. For the window: from handing the request over (the click)
// to its RX line in Memo3, and from the reply's last byte leaving the link to
// that line. For the client: modbus_read_registers from call to return.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <modbus/modbus.h>
#include <thread>
#include <vector>

#include "bench/QtBenchMain.h"
#include "app/ModbusCommand.h"
#include "comm/ZuCommDevice.h"
#include "platform/toolkit/Toolkit.h"
#include "tests/support/ModbusPeer.h"
#include "tests/support/PacedLink.h"

using namespace std::chrono_literals;

namespace {

constexpr int kComNo = 1;

// One slave and one link per rate, shared by the window's and the client's
// runs, so both talk over the same line.
struct Line {
    testsupport::ModbusPeer peer{KELVOR_MODBUS_SLAVE};
    std::unique_ptr<testsupport::PacedLink> link;
    explicit Line(unsigned baud)
    {
        if (peer.ok())
            link = std::make_unique<testsupport::PacedLink>(peer.path(), baud);
    }
    bool ok() const { return link && link->ok(); }
};

Line& LineFor(unsigned baud)
{
    static std::map<unsigned, std::unique_ptr<Line>> lines;
    auto& l = lines[baud];
    if (!l)
        l = std::make_unique<Line>(baud);
    return *l;
}

std::int64_t Now()
{
    return KelvorComm32::TComm32::RxTimeNow();
}

void Report(benchmark::State& state, std::vector<double> ms, const char* name)
{
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    state.counters[std::string(name) + "_median_ms"] = ms[ms.size() / 2];
    state.counters[std::string(name) + "_p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}

void BM_WindowRequestToRxLine(benchmark::State& state)
{
    const unsigned baud = static_cast<unsigned>(state.range(0));
    const bool pauseOnly = state.range(1) != 0;
    Line& line = LineFor(baud);
    if (!line.ok()) {
        state.SkipWithError("no slave or link");
        return;
    }
    testsupport::DeviceMap map;
    map.map(kComNo, line.link->path());
    Toolkit::SetMessageSink([](const Toolkit::MessageBoxCall&) { return Toolkit::mrOK; });
    TForm1 form;
    form.show();
    form.Memo1->setPlainText(QStringLiteral("01 03 00 00 00 0A"));
    form.Memo1Exit(form.Memo1);
    form.Edit2->setText(QStringLiteral("0"));
    form.ActionPauseOnly->setChecked(pauseOnly); // as the original design ended replies
    std::vector<double> toLine, lastByteToLine;
    for (auto _ : state) {
        const std::uint64_t before = form.LogCounts().Replies();
        const std::int64_t t0 = Now();
        form.Button2->click();
        const std::int64_t deadline = t0 + 5'000'000'000LL;
        while (form.LogCounts().Replies() == before && Now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        const std::int64_t t1 = Now();
        if (form.LogCounts().Replies() == before) {
            state.SkipWithError("no reply");
            break;
        }
        toLine.push_back((t1 - t0) / 1e6);
        lastByteToLine.push_back((t1 - line.link->lastToProgram()) / 1e6);
        state.SetIterationTime((t1 - t0) / 1e9);
        // Let the line go quiet, as a user's clicks would.
        const std::int64_t idle = Now() + 5'000'000;
        while (Now() < idle)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    if (form.LogCounts().Marked() != 0)
        state.SkipWithError("a reply failed its check");
    Report(state, toLine, "request_to_rx_line");
    Report(state, lastByteToLine, "last_byte_to_rx_line");
    form.SwitchPort(false);
}

void BM_LibmodbusClientReadRegisters(benchmark::State& state)
{
    const unsigned baud = static_cast<unsigned>(state.range(0));
    Line& line = LineFor(baud);
    if (!line.ok()) {
        state.SkipWithError("no slave or link");
        return;
    }
    modbus_t* ctx = modbus_new_rtu(line.link->path().c_str(), baud ? static_cast<int>(baud) : 115200, 'N', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        state.SkipWithError("libmodbus cannot open the link");
        if (ctx)
            modbus_free(ctx);
        return;
    }
    std::vector<double> times;
    std::uint16_t regs[10];
    for (auto _ : state) {
        const std::int64_t t0 = Now();
        const int rc = modbus_read_registers(ctx, 0, 10, regs);
        const std::int64_t t1 = Now();
        if (rc != 10) {
            state.SkipWithError("no reply");
            break;
        }
        times.push_back((t1 - t0) / 1e6);
        state.SetIterationTime((t1 - t0) / 1e9);
        std::this_thread::sleep_for(5ms);
    }
    Report(state, times, "request_to_reply");
    modbus_close(ctx);
    modbus_free(ctx);
}

// Rate (0 is a bare pty link), and 1 to end replies by the pause only.
BENCHMARK(BM_WindowRequestToRxLine)
    ->Args({0, 0})->Args({115200, 0})->Args({9600, 0})
    ->Args({0, 1})->Args({115200, 1})->Args({9600, 1})
    ->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibmodbusClientReadRegisters)->Arg(0)->Arg(115200)->Arg(9600)->Iterations(200)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarksWith<QApplication>(argc, argv);
}
