// The serial port over pseudo-terminals: data both ways, queue limits,
// pacing of long writes, notifications, closing setters, modem lines through
// the layer's stand-in lines, leaks over many opens, and a vanishing device.
#include "comm/TKelvorComm32.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/support/Pty.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using KelvorComm32::TComm32;
using testsupport::Bytes;
using testsupport::PtyPair;

using testsupport::WaitUntil;

namespace {

Bytes Pattern(std::size_t n, int seed = 0)
{
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 13 + static_cast<std::size_t>(seed)) & 0xFF);
    return v;
}

Bytes ReadPort(TComm32& port)
{
    Bytes out(static_cast<std::size_t>(port.InQueue()->Count()));
    out.resize(static_cast<std::size_t>(port.Read(out.data(), static_cast<long>(out.size()))));
    return out;
}

class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        win32posix::ResetFaults();
        map.map(5, pty->slavePath());
        port.fSetPort(5);
        port.OnCommNotify = [this](TObject* sender, int type) {
            std::lock_guard lock(mutex);
            EXPECT_EQ(sender, &port);
            notes.push_back({type, port.OutQueue()->Count()});
        };
    }
    void TearDown() override
    {
        win32posix::SetFakeModemLines(false);
        win32posix::ResetFaults();
    }

    struct Note {
        int type;
        long outQueued; // bytes still in the output queue when it came
    };
    std::vector<Note> Notes()
    {
        std::lock_guard lock(mutex);
        return notes;
    }
    // Reports of the I/O threads with this bit (the 0x0038 of open and close
    // carry line bits too, and are left out).
    int CountWith(int bit)
    {
        int n = 0;
        for (const auto& note : Notes())
            n += note.type != 0x0038 && (note.type & bit) != 0;
        return n;
    }
    int CountExactly(int type)
    {
        int n = 0;
        for (const auto& note : Notes())
            n += note.type == type;
        return n;
    }
    // Once a byte got through, the reader has set its event mask.
    void WaitUntilWatching()
    {
        pty->write(Bytes{0x55});
        ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() > 0; }));
        ReadPort(port);
    }
    void ForgetNotes()
    {
        std::lock_guard lock(mutex);
        notes.clear();
    }

    testsupport::DeviceMap map;
    std::unique_ptr<PtyPair> pty = std::make_unique<PtyPair>();
    std::mutex mutex;
    std::vector<Note> notes;
    TComm32 port; // last, so it closes before the rest goes
};

} // namespace

TEST_F(PortOnPty, BytesBothWaysAndOpenCloseNotifications)
{
    int afterOpen = 0, beforeClose = 0;
    port.OnAfterOpen = [&](TObject*) { ++afterOpen; };
    port.OnBeforeClose = [&](TObject*) {
        ++beforeClose;
        EXPECT_TRUE(port.Active());
    };
    port.Open();
    ASSERT_TRUE(port.Active());
    EXPECT_NE(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(afterOpen, 1);
    port.Open(); // already open: nothing
    EXPECT_EQ(afterOpen, 1);
    ASSERT_FALSE(Notes().empty());
    EXPECT_EQ(Notes().front().type, 0x0038);

    pty->write(Bytes{'p', 'i', 'n', 'g'});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 4; }));
    EXPECT_EQ(ReadPort(port), (Bytes{'p', 'i', 'n', 'g'}));
    EXPECT_TRUE(WaitUntil([&] { return CountWith(EV_RXCHAR) > 0; }));

    EXPECT_EQ(port.Write("pong", 4), 4);
    EXPECT_EQ(pty->read(4, 5000ms), (Bytes{'p', 'o', 'n', 'g'}));

    port.Close();
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(beforeClose, 1);
    EXPECT_EQ(Notes().back().type, 0x0038);
    const auto count = Notes().size();
    pty->write(Bytes{'x'});
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Notes().size(), count); // nothing from a closed port
    port.Close();
    EXPECT_EQ(beforeClose, 1);
}

TEST_F(PortOnPty, ABurstOf5000BytesIsQueuedWhole)
{
    port.Open();
    const Bytes data = Pattern(5000);
    pty->write(data);
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 5000; }));
    EXPECT_EQ(ReadPort(port), data);
}

TEST_F(PortOnPty, AFullInputQueueTakesOnlyWhatFits)
{
    const Bytes old = Pattern(8000, 1);
    port.InQueue()->In(reinterpret_cast<const char*>(old.data()), 8000);
    port.Open();
    const Bytes more = Pattern(400, 2);
    pty->write(more);
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_RXCHAR) > 0 && port.InQueue()->Count() == 8191; }));
    // Wait until the device side holds nothing more, then check the cut.
    ASSERT_TRUE(WaitUntil([&] {
        int n = 0;
        return ioctl(pty->master(), TIOCOUTQ, &n) == 0 && n == 0;
    }));
    std::this_thread::sleep_for(50ms);
    Bytes got = ReadPort(port);
    ASSERT_EQ(got.size(), 8191u);
    EXPECT_TRUE(std::equal(old.begin(), old.end(), got.begin()));
    EXPECT_TRUE(std::equal(more.begin(), more.begin() + 191, got.begin() + 8000));
}

// A long write leaves in chunks; transmit-empty is only reported once the
// output queue is empty, so it really means "everything has gone".
TEST_F(PortOnPty, LongWriteArrivesWholeAndTransmitEmptyComesAtTheEnd)
{
    port.Open();
    const Bytes data = Pattern(1300, 3);
    EXPECT_EQ(port.Write(data.data(), 1300), 1300);
    EXPECT_EQ(pty->read(1300, 5000ms), data);
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_TXEMPTY) > 0; }));
    for (const auto& note : Notes())
        if (note.type & EV_TXEMPTY)
            EXPECT_EQ(note.outQueued, 0);

    // Many writes in a row: the last transmit-empty is never lost.
    for (int round = 0; round < 20; ++round) {
        ForgetNotes();
        const Bytes chunk = Pattern(700 + static_cast<std::size_t>(round) * 37, round);
        ASSERT_EQ(port.Write(chunk.data(), static_cast<long>(chunk.size())), static_cast<long>(chunk.size()));
        ASSERT_EQ(pty->read(chunk.size(), 5000ms), chunk) << round;
        ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_TXEMPTY) > 0; })) << round;
    }
}

TEST_F(PortOnPty, BytesWrittenWhileClosedGoOutOnTheNextWake)
{
    EXPECT_EQ(port.Write("early", 5), 5);
    port.Open();
    port.Write("", 0); // a zero-length write still wakes the writer
    Bytes got = pty->read(5, 5000ms);
    EXPECT_EQ(std::string(got.begin(), got.end()), "early");
}

TEST_F(PortOnPty, ModemCommandsReachTheDevice)
{
    port.fSetFCtrl(TComm32::fcRtsCts);
    port.fSetAAns(2);
    port.Open();
    port.InitModem();
    Bytes got = pty->read(12, 5000ms);
    EXPECT_EQ(std::string(got.begin(), got.end()), "ATE0&K3S0=2\r");
    port.ResetModem();
    got = pty->read(4, 5000ms);
    EXPECT_EQ(std::string(got.begin(), got.end()), "ATZ\r");
}

TEST_F(PortOnPty, SettersThatCloseFirst)
{
    int beforeClose = 0;
    port.OnBeforeClose = [&](TObject*) { ++beforeClose; };
    port.Open();
    ForgetNotes();
    port.fSetBaud(9600);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Baud(), 9600u);
    EXPECT_EQ(beforeClose, 1);
    EXPECT_EQ(CountExactly(0x0038), 1);

    port.Open();
    port.fSetPortName(u""); // nothing at all
    EXPECT_TRUE(port.Active());
    port.fSetAAns(3); // no close either
    port.DisableWrite = true;
    EXPECT_TRUE(port.Active());
    port.fSetPortName(u"com5");
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.PortName(), u"COM5");
    port.Open();
    EXPECT_FALSE(port.DisableWrite.load()); // every open clears it
    port.fSetDataOnly(true);
    EXPECT_FALSE(port.Active());
}

// RS-485 goes to the driver at each open (the seam plays a driver that has
// the mode) and takes RTS from the flow control.
TEST_F(PortOnPty, Rs485SettingsReachTheDriverAtOpen)
{
    // A late I/O thread may be the one that closes the device.
    auto lock = std::make_shared<std::mutex>();
    auto sets = std::make_shared<std::vector<serial_rs485>>();
    win32posix::SetIoctlSeam([lock, sets](int, unsigned long request, void* arg, int result) {
        if (request != TIOCSRS485)
            return result;
        std::lock_guard guard(*lock);
        sets->push_back(*static_cast<serial_rs485*>(arg));
        return 0;
    });
    port.fSetFCtrl(TComm32::fcRtsCts);
    port.fSetRs485(true);
    port.fSetRtsOnSend(false);
    port.fSetRtsDelayBefore(10);
    port.fSetRtsDelayAfter(20);
    port.Open();
    ASSERT_EQ(sets->size(), 1u);
    EXPECT_EQ((*sets)[0].flags, static_cast<__u32>(SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND));
    EXPECT_EQ((*sets)[0].delay_rts_before_send, 10u);
    EXPECT_EQ((*sets)[0].delay_rts_after_send, 20u);

    port.fSetRs485(false); // closes, and the close turns the mode off
    EXPECT_FALSE(port.Active());
    port.Open();
    EXPECT_EQ(sets->size(), 2u);
    EXPECT_EQ(port.FlowControl(), TComm32::fcRtsCts);
}

TEST_F(PortOnPty, PurgeEmptiesQueuesOnlyWhileOpen)
{
    port.InQueue()->In("abc", 3);
    port.Open();
    port.PurgeRead(false);
    EXPECT_EQ(port.InQueue()->Count(), 0);
    pty->write(Bytes{1, 2});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 2; }));
    port.PurgeRead(true);
    EXPECT_EQ(port.InQueue()->Count(), 0);
    port.PurgeWrite(true);
    EXPECT_EQ(port.OutQueue()->Count(), 0);
}

TEST_F(PortOnPty, DataOnlyIgnoresModemLines)
{
    win32posix::SetFakeModemLines(true, MS_DSR_ON);
    port.Open();
    EXPECT_TRUE(port.DSR());
    WaitUntilWatching();
    win32posix::SetFakeModemLines(true, MS_DSR_ON | MS_CTS_ON);
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_CTS) > 0; }));
    EXPECT_TRUE(port.CTS());

    port.fSetDataOnly(true);
    port.Open();
    WaitUntilWatching();
    ForgetNotes();
    win32posix::SetFakeModemLines(true, MS_RLSD_ON);
    pty->write(Bytes{9});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 1; }));
    std::this_thread::sleep_for(200ms); // several polls of the stand-in lines
    EXPECT_EQ(CountWith(EV_CTS | EV_DSR | EV_RLSD | EV_RING), 0);
    EXPECT_TRUE(port.CTS()); // still what was read at open
    EXPECT_FALSE(port.RLSD());
    EXPECT_GT(CountWith(EV_RXCHAR), 0);
}

// Under RTS/CTS with CTS low only the first chunk (sent on the write's own
// wake-up) leaves; the rise of CTS lets the rest go.
TEST_F(PortOnPty, CtsHoldsBackLaterChunks)
{
    win32posix::SetFakeModemLines(true, 0);
    port.fSetFCtrl(TComm32::fcRtsCts);
    port.Open();
    EXPECT_TRUE(port.RTS()); // handshake counts as on
    EXPECT_TRUE(port.DTR());
    WaitUntilWatching();
    const Bytes data = Pattern(1300, 4);
    port.Write(data.data(), 1300);
    Bytes first = pty->readUntilQuiet(300ms, 5000ms);
    EXPECT_EQ(first.size(), 512u);
    win32posix::SetFakeModemLines(true, MS_CTS_ON);
    Bytes rest = pty->read(1300 - first.size(), 5000ms);
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_EQ(first, data);
    EXPECT_GT(CountWith(EV_CTS), 0);
}

TEST_F(PortOnPty, DtrAndRtsFollowTheWantedState)
{
    using win32posix::FakeModemOutputs;
    using win32posix::kFakeDtr;
    using win32posix::kFakeRts;
    win32posix::SetFakeModemLines(true, 0);
    port.Open();
    EXPECT_TRUE(port.DTR());
    EXPECT_EQ(FakeModemOutputs() & (kFakeDtr | kFakeRts), kFakeDtr | kFakeRts);
    port.fSetDTR(false);
    EXPECT_FALSE(port.DTR());
    EXPECT_EQ(FakeModemOutputs() & kFakeDtr, 0u);
    port.Close();
    port.Open(); // the state comes back from the settings of the last open
    EXPECT_TRUE(port.DTR());
    port.Close();
    port.fSetRTS(false);
    port.Open();
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(FakeModemOutputs() & kFakeRts, 0u);
    EXPECT_TRUE(port.EscapeCommFunction(SETRTS));
    EXPECT_TRUE(port.RTS());
}

TEST_F(PortOnPty, ManyOpensLeakNothing)
{
    std::thread([] {}).join(); // a sanitizer's helper thread starts with the first one
    const int fds = testsupport::CountOpenFds();
    const int threads = testsupport::CountThreads();
    for (int i = 0; i < 200; ++i) {
        port.Open();
        if (i % 10 == 0) {
            pty->write(Bytes{static_cast<std::uint8_t>(i)});
            port.Write("z", 1);
        }
        port.Close();
    }
    EXPECT_TRUE(WaitUntil([&] { return testsupport::CountThreads() <= threads; }))
        << testsupport::CountThreads() << " threads, " << threads << " before";
    EXPECT_EQ(testsupport::CountOpenFds(), fds);
}

// The adapter goes away while open: no crash, no storm of notifications, a
// prompt close, and the port opens again once a device is back.
TEST_F(PortOnPty, DeviceThatVanishesAndComesBack)
{
    port.Open();
    WaitUntilWatching();
    pty->closeMaster();
    pty->closeSlaveKeeper();
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_ERR) > 0; }));
    port.Write("lost", 4); // the writer meets a dead device
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(Notes().size(), 10u);
    EXPECT_NO_THROW(port.Close());
    EXPECT_FALSE(port.Active());

    pty = std::make_unique<PtyPair>();
    map.map(5, pty->slavePath());
    port.OutQueue()->Clear();
    port.Open();
    pty->write(Bytes{'o', 'k'});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 2; }));
    port.Write("back", 4);
    Bytes got = pty->read(4, 5000ms);
    EXPECT_EQ(std::string(got.begin(), got.end()), "back");
}

TEST_F(PortOnPty, HandlersThatThrowAreIgnored)
{
    port.OnAfterOpen = [](TObject*) { throw std::runtime_error("after open"); };
    port.OnBeforeClose = [](TObject*) { throw 42; };
    port.OnCommNotify = [](TObject*, int) { throw Exception(u"notify"); };
    EXPECT_NO_THROW(port.Open());
    EXPECT_TRUE(port.Active());
    pty->write(Bytes{1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 3; }));
    pty->write(Bytes{4}); // the reader went on after the first throw
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 4; }));
    EXPECT_NO_THROW(port.Close());
    EXPECT_FALSE(port.Active());
}

// The device takes nothing more, so a write stays pending in the writer;
// closing then must neither hang nor free what that write still uses.
// Keeps the output queue topped up until the device takes no more (a pty
// holds some tens of KiB), so the writer is left with a write pending.
// Returns how much of `data` was queued.
long FillUntilTheDeviceIsFull(TComm32& port, const Bytes& data)
{
    long queued = 0;
    long stuckAt = -1;
    const bool full = WaitUntil(
        [&] {
            queued += port.Write(data.data() + queued, std::min<long>(4096, static_cast<long>(data.size()) - queued));
            const long waiting = port.OutQueue()->Count();
            if (waiting == 0 || waiting != stuckAt) {
                stuckAt = waiting;
                return false;
            }
            std::this_thread::sleep_for(100ms);
            return port.OutQueue()->Count() == waiting;
        },
        20000ms);
    EXPECT_TRUE(full);
    EXPECT_LT(queued, static_cast<long>(data.size()));
    return queued;
}

Bytes Noise(std::size_t n)
{
    std::mt19937 rng(12345);
    Bytes v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

TEST_F(PortOnPty, CloseWithAWritePending)
{
    port.Open();
    const Bytes data = Pattern(256 * 1024, 5);
    FillUntilTheDeviceIsFull(port, data);
    EXPECT_NO_THROW(port.Close());
    const Bytes got = pty->readUntilQuiet(200ms, 10000ms);
    EXPECT_GT(got.size(), 0u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())); // what went, went in order
    port.OutQueue()->Clear();
    port.Open();
    port.Write("next", 4);
    const Bytes next = pty->read(4, 5000ms);
    EXPECT_EQ(std::string(next.begin(), next.end()), "next");
}

// A purge drops everything not yet handed to the device, the chunk the
// writer holds included: what arrives afterwards is an unbroken start of the
// data, then the next write.
TEST_F(PortOnPty, PurgeWriteDropsTheChunkUnderWay)
{
    port.Open();
    const Bytes data = Noise(256 * 1024);
    FillUntilTheDeviceIsFull(port, data);
    port.PurgeWrite(true);
    EXPECT_EQ(port.OutQueue()->Count(), 0);
    port.Write("END", 3);
    const Bytes got = pty->readUntilQuiet(300ms, 10000ms);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(std::string(got.end() - 3, got.end()), "END");
    const std::size_t before = got.size() - 3;
    ASSERT_LE(before, data.size());
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + static_cast<long>(before), data.begin()))
        << before << " bytes before the next write are not the start of the data";
}

// A pending write aborted under the writer's feet (not through the port's
// own purge): its bytes are offered again, so nothing is lost or repeated.
TEST_F(PortOnPty, AbortedWriteIsNeitherRepeatedNorLost)
{
    port.Open();
    const Bytes data = Noise(256 * 1024);
    const long queued = FillUntilTheDeviceIsFull(port, data);
    // Make some room, so the writer moves on to a new pending write.
    Bytes got = pty->read(5000, 5000ms);
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(PurgeComm(port.Handle(), PURGE_TXABORT));
    port.Write("", 0);
    ASSERT_TRUE(WaitUntil(
        [&] {
            const Bytes more = pty->read(static_cast<std::size_t>(queued) - got.size(), 200ms);
            got.insert(got.end(), more.begin(), more.end());
            port.Write("", 0); // each chunk after the abort needs a wake-up
            return got.size() >= static_cast<std::size_t>(queued);
        },
        20000ms));
    EXPECT_EQ(got.size(), static_cast<std::size_t>(queued));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

// Resizing and purging the queues while the reader fills them.
TEST_F(PortOnPty, QueuesChangedWhileDataFlows)
{
    port.Open();
    std::atomic<bool> stop{false};
    std::thread device([&] {
        const Bytes chunk = Pattern(300, 6);
        while (!stop.load()) {
            pty->write(chunk);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread reader([&] {
        char buf[256];
        while (!stop.load())
            if (port.Read(buf, sizeof buf) == 0)
                std::this_thread::yield();
    });
    for (int i = 0; i < 50; ++i) {
        port.fSetInBufSize(1024 + 512 * (i % 8));
        port.PurgeRead(false);
        port.fSetOutBufSize(4096);
        port.Write("abc", 3);
        port.PurgeWrite(true);
        std::this_thread::sleep_for(2ms);
    }
    stop = true;
    device.join();
    reader.join();
    EXPECT_TRUE(port.Active());
    pty->readUntilQuiet(100ms, 2000ms);
    port.PurgeRead(false);
    pty->write(Bytes{'e', 'n', 'd'});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 3; }));
    EXPECT_EQ(ReadPort(port), (Bytes{'e', 'n', 'd'}));
}

// Reads that keep failing are given up for the pass instead of being
// retried forever: the notification still comes and the port still closes.
TEST_F(PortOnPty, ReadsThatKeepFailingDoNotHoldTheReader)
{
    port.Open();
    WaitUntilWatching();
    ForgetNotes();
    win32posix::FailCall("ReadFile", 1, ERROR_GEN_FAILURE, 1000000);
    pty->write(Bytes{1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return CountWith(EV_RXCHAR) > 0; }));
    EXPECT_EQ(port.InQueue()->Count(), 0);
    EXPECT_NO_THROW(port.Close());
    win32posix::ResetFaults();
    port.Open(); // the bytes are still in the device
    pty->write(Bytes{4});
    ASSERT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 4; }));
    EXPECT_EQ(ReadPort(port), (Bytes{1, 2, 3, 4}));
}

// Writes and modem commands from two threads at once (as the package sender
// on the reader thread and Command on the application's): every byte the
// port accepted goes out once, each command's bytes unbroken.
TEST_F(PortOnPty, WritesAndCommandsFromTwoThreadsKeepEveryByteOnce)
{
    port.Open();
    std::atomic<bool> stop{false};
    long written = 0;
    std::vector<long> commands; // bytes of each "ATZ\r" the port accepted
    std::thread writer([&] {
        const std::string block(16, 'x');
        while (!stop.load())
            written += port.Write(block.data(), static_cast<long>(block.size()));
    });
    std::thread commander([&] {
        while (!stop.load())
            commands.push_back(port.Command(TComm32::Str_ResetModem));
    });
    Bytes got;
    for (int i = 0; i < 100; ++i) {
        const Bytes more = pty->read(1 << 16, 10ms);
        got.insert(got.end(), more.begin(), more.end());
    }
    stop = true;
    writer.join();
    commander.join();
    const Bytes rest = pty->readUntilQuiet(300ms, 20000ms);
    got.insert(got.end(), rest.begin(), rest.end());

    std::string expected;
    for (long n : commands)
        expected.append(TComm32::Str_ResetModem, static_cast<std::size_t>(n));
    std::string fromCommands;
    long xs = 0;
    for (std::uint8_t b : got) {
        if (b == 'x')
            ++xs;
        else
            fromCommands.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(xs, written);
    EXPECT_TRUE(fromCommands == expected) << fromCommands.size() << " command bytes arrived, "
                                          << expected.size() << " were accepted";
}

// The driver loses its bytes between the reader's count and its read (a
// purge in exactly that window): the read ends with what is there, so later
// bytes are still reported and a long write still goes on.
TEST_F(PortOnPty, APurgeBetweenCountAndReadLeavesNoReadPending)
{
    port.Open();
    WaitUntilWatching();
    auto purged = std::make_shared<std::atomic<bool>>(false);
    win32posix::BeforeCall("ReadFile", [purged, handle = port.Handle()] {
        PurgeComm(handle, PURGE_RXCLEAR);
        *purged = true;
    });
    pty->write(Bytes{1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return purged->load(); }));
    std::this_thread::sleep_for(50ms); // let the reader finish that pass
    ForgetNotes();
    pty->write(Bytes{4});
    EXPECT_TRUE(WaitUntil([&] { return port.InQueue()->Count() == 1 && CountWith(EV_RXCHAR) > 0; }));
    EXPECT_EQ(ReadPort(port), Bytes{4});
    const Bytes data = Pattern(1300, 7);
    ASSERT_EQ(port.Write(data.data(), 1300), 1300);
    EXPECT_EQ(pty->read(1300, 5000ms), data);
}

// A purge drops what is queued and the chunk the writer takes while it runs;
// it never drops what is written after it.
TEST_F(PortOnPty, PurgeDropsTheChunkTakenDuringItAndNothingWrittenAfter)
{
    const std::string old(300, 'o');
    port.Write(old.data(), static_cast<long>(old.size())); // queued while closed: nothing has left
    port.Open();
    win32posix::BeforeCall("PurgeComm", [this] {
        port.Write("", 0); // the writer wakes in the middle of the purge
        std::this_thread::sleep_for(100ms);
    });
    port.PurgeWrite(false);
    for (int round = 0; round < 50; ++round) {
        const std::string fresh = "fresh" + std::to_string(round);
        port.PurgeWrite(false);
        ASSERT_EQ(port.Write(fresh.data(), static_cast<long>(fresh.size())), static_cast<long>(fresh.size()));
        const Bytes got = pty->read(fresh.size(), 5000ms);
        ASSERT_EQ(std::string(got.begin(), got.end()), fresh) << round;
    }
    EXPECT_TRUE(pty->readUntilQuiet(100ms, 2000ms).empty());
}

// Transmit-empty means the driver has sent everything handed to it. Here
// the driver's queue is held full (through the ioctl seam) while the first
// write's transmit-empty reaches the reader in the middle of the second.
TEST_F(PortOnPty, TransmitEmptyWaitsUntilTheDriverHasDrained)
{
    // Shared with the port's threads, which may outlive this body.
    struct Seen {
        std::atomic<bool> held{true};
        std::atomic<int> early{0}, reported{0};
    };
    auto seen = std::make_shared<Seen>();
    port.OnCommNotify = [seen](TObject*, int type) {
        if (type != 0x0038 && (type & EV_TXEMPTY)) {
            ++seen->reported;
            seen->early += seen->held.load();
        }
    };
    win32posix::SetIoctlSeam([seen](int, unsigned long request, void* arg, int result) {
        if (request == TIOCOUTQ && result == 0 && seen->held.load())
            *static_cast<int*>(arg) = 64;
        return result;
    });
    port.Open();
    WaitUntilWatching();
    const Bytes first = Pattern(100, 8), second = Pattern(100, 9);
    port.Write(first.data(), 100);
    ASSERT_EQ(pty->read(100, 5000ms), first);
    win32posix::BeforeCall("WriteFile", [seen] {
        seen->held = false; // the first write drains now ...
        std::this_thread::sleep_for(300ms);
        seen->held = true; // ... and the second is about to fill the driver again
    });
    port.Write(second.data(), 100);
    ASSERT_EQ(pty->read(100, 5000ms), second);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(seen->early.load(), 0) << "transmit-empty came while the driver still held bytes";
    seen->held = false;
    EXPECT_TRUE(WaitUntil([&] { return seen->reported.load() > 0; }));
}
