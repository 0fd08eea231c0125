// CPU time per request on a line paced at 9600 baud, one byte at a time:
// `modbuscrc send` and, when it is installed, mbpoll (a libmodbus client) as
// child processes, and the window sending automatically every 100 ms in this
// process. The relay (test_link) and the libmodbus slave run as processes of
// their own, so their CPU is nobody's here. Each request reads ten holding
// registers.
//
// A child's CPU comes from wait4. Starting a program costs the same whatever
// it then does, so the figure per request is the difference between a short
// and a long run divided by the requests between them; the long run's whole
// CPU per request, start included, is reported too. The window is measured
// over a fixed time once it has settled: CPU per request and % of a core.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/ModbusCommand.h"
#include "bench/QtBenchMain.h"
#include "platform/toolkit/Toolkit.h"
#include "tests/support/ModbusPeer.h"
#include "tests/support/Pty.h"

extern char** environ;

namespace {

constexpr unsigned kBaud = 9600;
constexpr int kComNo = 1;

double CpuMs(const rusage& r)
{
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

// A child process whose standard output is read here (or thrown away).
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, bool keepOutput = true)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&fPid, args[0], &actions, nullptr, args.data(), environ) != 0)
            fPid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fOut = out[0];
        fKeep = keepOutput;
    }
    ~Child()
    {
        if (fPid > 0) {
            kill(fPid, SIGKILL);
            Finish();
        }
        if (fOut >= 0)
            close(fOut);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return fPid > 0; }
    void signal(int sig) const
    {
        if (fPid > 0)
            kill(fPid, sig);
    }
    // The first line of output, or "" when none comes in time.
    std::string firstLine(int limitMs)
    {
        while (fText.find('\n') == std::string::npos && Pump(limitMs)) {
        }
        const auto nl = fText.find('\n');
        return nl == std::string::npos ? std::string() : fText.substr(0, nl);
    }
    // Reads to the end, reaps the child and gives its resource use.
    rusage Finish()
    {
        while (fOut >= 0 && Pump(-1)) {
        }
        rusage r{};
        int status = 0;
        while (fPid > 0 && wait4(fPid, &status, 0, &r) < 0 && errno == EINTR) {
        }
        fPid = -1;
        return r;
    }
    const std::string& output() const { return fText; }

private:
    bool Pump(int limitMs)
    {
        if (fOut < 0)
            return false;
        pollfd p{fOut, POLLIN, 0};
        const int r = poll(&p, 1, limitMs);
        if (r < 0 && errno == EINTR)
            return true;
        if (r <= 0)
            return false;
        char buf[4096];
        const ssize_t n = read(fOut, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            return true;
        if (n <= 0) {
            close(fOut);
            fOut = -1;
            return false;
        }
        if (fKeep || fText.find('\n') == std::string::npos)
            fText.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t fPid = -1;
    int fOut = -1;
    bool fKeep = true;
    std::string fText;
};

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// The libmodbus slave behind a relay paced at kBaud, both processes of
// their own; path() is the device the client under test opens.
struct PacedLine {
    testsupport::ModbusPeer peer{KELVOR_MODBUS_SLAVE};
    std::optional<Child> link;
    std::string device;
    PacedLine()
    {
        if (!peer.ok())
            return;
        link.emplace(std::vector<std::string>{KELVOR_TEST_LINK, "--baud", std::to_string(kBaud), peer.path()});
        device = link->firstLine(10'000);
    }
    ~PacedLine()
    {
        if (link)
            link->signal(SIGTERM);
    }
    bool ok() const { return !device.empty(); }
};

PacedLine& Line()
{
    static PacedLine line;
    return line;
}

std::optional<std::string> FindProgram(const char* name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t from = 0; from <= dirs.size();) {
        const std::size_t to = std::min(dirs.find(':', from), dirs.size());
        const std::string file = dirs.substr(from, to - from) + "/" + name;
        if (access(file.c_str(), X_OK) == 0)
            return file;
        from = to + 1;
    }
    return std::nullopt;
}

struct Run {
    double cpuMs = 0;
    std::size_t requests = 0;
    long switches = 0;
};

// Figures of a short and a long run: CPU per request between them, and the
// long run's whole CPU per request.
void Report(benchmark::State& state, const Run& shortRun, const Run& longRun)
{
    const double extra = static_cast<double>(longRun.requests - shortRun.requests);
    state.counters["cpu_ms_per_request"] = (longRun.cpuMs - shortRun.cpuMs) / extra;
    state.counters["switches_per_request"] = static_cast<double>(longRun.switches - shortRun.switches) / extra;
    state.counters["with_start_cpu_ms_per_request"] = longRun.cpuMs / static_cast<double>(longRun.requests);
    state.counters["requests"] = static_cast<double>(longRun.requests);
}

Run SendRun(unsigned count)
{
    Child send({KELVOR_MODBUSCRC, "send", "--port", Line().device, "--baud", std::to_string(kBaud), "--count",
                std::to_string(count), "--interval", "100", "01", "03", "00", "00", "00", "0A"});
    const rusage r = send.Finish();
    return {CpuMs(r), Count(send.output(), "RX:"), r.ru_nvcsw + r.ru_nivcsw};
}

void BM_SendCpuPerRequest(benchmark::State& state)
{
    if (!Line().ok()) {
        state.SkipWithError("no slave or link");
        return;
    }
    const auto requests = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        const Run shortRun = SendRun(10);
        const Run longRun = SendRun(10 + requests);
        if (shortRun.requests != 10 || longRun.requests != 10 + requests) {
            state.SkipWithError("send missed replies");
            return;
        }
        Report(state, shortRun, longRun);
    }
}

Run MbpollRun(const std::string& program, int ms)
{
    // -0 -r 0 -c 10: holding registers 0 to 9; -l 100: a poll every 100 ms
    // after the last reply. It prints "[0]:" once per reply.
    Child mbpoll({program, "-m", "rtu", "-b", std::to_string(kBaud), "-P", "none", "-a", "1", "-0", "-r", "0", "-c",
                  "10", "-l", "100", Line().device});
    usleep(static_cast<useconds_t>(ms) * 1000);
    mbpoll.signal(SIGINT);
    const rusage r = mbpoll.Finish();
    return {CpuMs(r), Count(mbpoll.output(), "[0]:"), r.ru_nvcsw + r.ru_nivcsw};
}

void BM_MbpollCpuPerRequest(benchmark::State& state)
{
    const auto program = FindProgram("mbpoll");
    if (!program) {
        state.SkipWithError("mbpoll is not installed");
        return;
    }
    if (!Line().ok()) {
        state.SkipWithError("no slave or link");
        return;
    }
    for (auto _ : state) {
        const Run shortRun = MbpollRun(*program, 1500);
        const Run longRun = MbpollRun(*program, 1500 + static_cast<int>(state.range(0)));
        if (shortRun.requests == 0 || longRun.requests <= shortRun.requests) {
            state.SkipWithError("mbpoll got no replies");
            return;
        }
        Report(state, shortRun, longRun);
    }
}

rusage Self()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r;
}

// The event loop as the program runs it: asleep until something happens.
void RunEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The window sending automatically every 100 ms: the whole process's CPU
// over a fixed time, once the first requests have gone.
void BM_WindowCpuAutoSend(benchmark::State& state)
{
    if (!Line().ok()) {
        state.SkipWithError("no slave or link");
        return;
    }
    testsupport::DeviceMap map;
    map.map(kComNo, Line().device);
    Toolkit::SetMessageSink([](const Toolkit::MessageBoxCall&) { return Toolkit::mrOK; });
    TForm1 form;
    form.show();
    form.ComboBox2->setCurrentText(QString::number(kBaud));
    form.Memo1->setPlainText(QStringLiteral("01 03 00 00 00 0A"));
    form.Memo1Exit(form.Memo1);
    form.Edit1->setText(QStringLiteral("100"));
    form.Edit2->setText(QStringLiteral("0"));
    const int ms = static_cast<int>(state.range(0));
    for (auto _ : state) {
        form.Button3->click();
        RunEventsFor(1000);
        const std::uint64_t replies = form.LogCounts().Replies();
        const rusage before = Self();
        QElapsedTimer wall;
        wall.start();
        RunEventsFor(ms);
        const rusage after = Self();
        const double wallMs = static_cast<double>(wall.elapsed());
        const std::uint64_t got = form.LogCounts().Replies() - replies;
        form.Button3->click();
        if (got == 0) {
            state.SkipWithError("no replies");
            break;
        }
        const double cpu = CpuMs(after) - CpuMs(before);
        state.counters["cpu_ms_per_request"] = cpu / static_cast<double>(got);
        state.counters["core_percent"] = 100.0 * cpu / wallMs;
        state.counters["switches_per_request"] =
            static_cast<double>(after.ru_nvcsw + after.ru_nivcsw - before.ru_nvcsw - before.ru_nivcsw) /
            static_cast<double>(got);
        state.counters["requests"] = static_cast<double>(got);
    }
    if (form.LogCounts().Marked() != 0)
        state.SkipWithError("a reply failed its check");
    form.SwitchPort(false);
}

// Requests beyond the short run of 10, and ms beyond the short run of 1.5 s.
BENCHMARK(BM_SendCpuPerRequest)->Arg(100)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_MbpollCpuPerRequest)->Arg(12000)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_WindowCpuAutoSend)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    return RunBenchmarksWith<QApplication>(argc, argv);
}
