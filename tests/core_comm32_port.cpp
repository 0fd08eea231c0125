// The serial port's settings and everything it does while closed.
#include "comm/TKelvorComm32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using KelvorComm32::EComm32Error;
using KelvorComm32::TComm32;
using KelvorComm32::TCommQueue;

namespace {

std::string Drain(TCommQueue* q)
{
    std::string s(static_cast<std::size_t>(q->Count()), '\0');
    s.resize(static_cast<std::size_t>(q->Out(s.data(), static_cast<long>(s.size()))));
    return s;
}

EComm32Error::TErrorCode OpenError(TComm32& port)
{
    try {
        port.Open();
    } catch (const EComm32Error& e) {
        return e.ErrorCode;
    }
    return static_cast<EComm32Error::TErrorCode>(0);
}

} // namespace

TEST(Comm32Settings, Defaults)
{
    TComm32 port;
    EXPECT_EQ(port.PortNo(), 2);
    EXPECT_EQ(port.PortName(), u"COM2");
    EXPECT_EQ(port.Baud(), 115200u);
    EXPECT_EQ(port.ByteSize(), 8);
    EXPECT_EQ(port.Parity(), 0);
    EXPECT_EQ(port.StopBits(), 0);
    EXPECT_EQ(port.FlowControl(), TComm32::fcNone);
    EXPECT_EQ(port.HwInSize(), 1200);
    EXPECT_EQ(port.HwOutSize(), 1200);
    EXPECT_EQ(port.InBufSize(), 8192);
    EXPECT_EQ(port.OutBufSize(), 8192);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(port.DTR()); // closed ports read both lines as off
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(port.ModemStatus(), 0u);
    EXPECT_FALSE(port.EscapeCommFunction(SETDTR));
}

TEST(Comm32Settings, PortNameAndNumber)
{
    TComm32 port;
    port.fSetPortName(u"com7");
    EXPECT_EQ(port.PortNo(), 7);
    EXPECT_EQ(port.PortName(), u"COM7");
    port.fSetPortName(u"CNCA0");
    EXPECT_EQ(port.PortNo(), 0);
    EXPECT_EQ(port.PortName(), u"CNCA0");
    port.fSetPortName(u"");
    EXPECT_EQ(port.PortName(), u"CNCA0");
    port.fSetPort(12);
    EXPECT_EQ(port.PortName(), u"COM12");
    port.fSetPort(0); // no number: the name stays
    EXPECT_EQ(port.PortNo(), 0);
    EXPECT_EQ(port.PortName(), u"COM12");
}

TEST(Comm32Settings, FlowControlTable)
{
    TComm32 port;
    port.fSetFCtrl(TComm32::fcTranXonXoff);
    EXPECT_EQ(port.FlowControl(), TComm32::fcXonXoff);
    port.fSetFCtrl(TComm32::fcRtsCtsXonXoff);
    EXPECT_EQ(port.FlowControl(), TComm32::fcRtsCtsXonXoff);
    port.fSetFCtrl(TComm32::fcRtsCts);
    EXPECT_EQ(port.FlowControl(), TComm32::fcRtsCts);
    for (int odd : {1, 2, 7, -1}) {
        port.fSetFCtrl(static_cast<TComm32::TFlowControl>(odd));
        EXPECT_EQ(port.FlowControl(), TComm32::fcNone) << odd;
    }
}

TEST(Comm32Settings, ModemCommandsAndWritesQueueWhileClosed)
{
    TComm32 port;
    port.fSetFCtrl(TComm32::fcRtsCts);
    port.fSetAAns(2);
    port.InitModem();
    EXPECT_EQ(Drain(port.OutQueue()), "ATE0&K3S0=2\r");
    port.fSetFCtrl(TComm32::fcTranXonXoff); // reads back as 4, and sends 4
    port.InitModem();
    EXPECT_EQ(Drain(port.OutQueue()), "ATE0&K4S0=2\r");
    port.ResetModem();
    EXPECT_EQ(Drain(port.OutQueue()), "ATZ\r");

    port.DisableWrite = true;
    EXPECT_EQ(port.Write("abc", 3), 0);
    EXPECT_EQ(port.OutQueue()->Count(), 0);
    EXPECT_EQ(port.Command("AT\r"), 3); // commands ignore the switch
    port.DisableWrite = false;
    EXPECT_EQ(port.Write("xy", 2), 2);
    EXPECT_EQ(port.Write("xy", 0), 0);
    EXPECT_EQ(Drain(port.OutQueue()), "AT\rxy");
}

TEST(Comm32Settings, PurgesAndReadsWhileClosed)
{
    TComm32 port;
    port.InQueue()->In("hello", 5);
    port.OutQueue()->In("bye", 3);
    port.PurgeRead(true);
    port.PurgeWrite(true);
    EXPECT_EQ(port.InQueue()->Count(), 5);
    EXPECT_EQ(port.OutQueue()->Count(), 3);
    char buf[8] = {};
    EXPECT_EQ(port.Read(buf, 8), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(port.Read(buf, 8), 0);
}

TEST(Comm32Settings, LinesWantedWhileClosedStayOffUntilOpen)
{
    TComm32 port;
    port.fSetDTR(false);
    port.fSetRTS(false);
    EXPECT_FALSE(port.DTR());
    EXPECT_FALSE(port.RTS());
    port.Close(); // closing a closed port is harmless and raises nothing
    port.Close();
    EXPECT_FALSE(port.Active());
}

TEST(Comm32Open, QueuesWithoutBufferAreReported)
{
    TComm32 port;
    port.fSetInBufSize(0);
    EXPECT_EQ(OpenError(port), EComm32Error::ecInitReadBuf);
    port.fSetInBufSize(8192);
    port.fSetOutBufSize(-1);
    EXPECT_EQ(OpenError(port), EComm32Error::ecInitWriteBuf);
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.OutBufSize(), 8192); // freed, modulus kept
}

TEST(Comm32Open, MissingDeviceIsReportedWithItsName)
{
    TComm32 port;
    port.fSetPortName(u"/nonexistent/kelvor-tty");
    int notifications = 0;
    port.OnCommNotify = [&](TObject*, int) { ++notifications; };
    try {
        port.Open();
        FAIL() << "opened a missing device";
    } catch (const EComm32Error& e) {
        EXPECT_EQ(e.ErrorCode, EComm32Error::ecOpenPort);
        EXPECT_EQ(e.PortName, u"/nonexistent/kelvor-tty");
    }
    EXPECT_FALSE(port.Active());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(notifications, 0); // never opened, so no line-change report
}

// The port's own calls to its virtual operations reach a subclass.
TEST(Comm32Settings, OwnCallsGoThroughTheVirtualSlots)
{
    struct Spy : TComm32 {
        int closes = 0;
        std::string commands;
        std::vector<unsigned long> escapes;
        void Close() override
        {
            ++closes;
            TComm32::Close();
        }
        long Command(const char* Text) override
        {
            commands += Text;
            return TComm32::Command(Text);
        }
    } spy;
    spy.fSetBaud(9600);
    spy.fSetParity(2);
    spy.fSetByteSize(7);
    spy.fSetStopBits(2);
    spy.fSetFCtrl(TComm32::fcXonXoff);
    spy.fSetDataOnly(true);
    spy.fSetHwBufSize(100, 200);
    spy.fSetPort(3);
    spy.fSetPortName(u"COM4");
    spy.fSetActive(false);
    EXPECT_EQ(spy.closes, 10);
    spy.fSetAAns(1); // no close for these
    spy.DisableWrite = true;
    EXPECT_EQ(spy.closes, 10);
    EXPECT_EQ(spy.Parity(), 2);
    EXPECT_EQ(spy.ByteSize(), 7);
    EXPECT_EQ(spy.StopBits(), 2);
    EXPECT_EQ(spy.HwInSize(), 100);
    EXPECT_EQ(spy.HwOutSize(), 200);
    EXPECT_TRUE(spy.DataOnly());
    spy.InitModem();
    spy.ResetModem();
    EXPECT_EQ(spy.commands, "ATE0&K4S0=1\rATZ\r");
}

// A handler that takes the port's notifications over from inside itself
// waits for the other threads inside, not for itself: each one that leaves
// may be the last it waits for.
TEST(Comm32Notify, ASwapFromInsideAHandlerEndsWhenTheOtherThreadsLeave)
{
    TComm32 port;
    std::atomic<bool> inside{false}, release{false}, swapped{false};
    port.OnCommNotify = [&](TObject*, int type) {
        if (type == 1) {
            inside = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return;
        }
        TCommNotifyEvent next = [](TObject*, int) {};
        port.SwapCommNotify(next);
        swapped = true;
    };
    std::thread other([&] { port.CommNotify(1); });
    while (!inside)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread swapper([&] { port.CommNotify(2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(swapped.load()) << "swapped while another thread was inside";
    release = true;
    other.join();
    for (int i = 0; i < 5000 && !swapped; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(swapped.load());
    swapper.join();
}
