// `scan` and `send --echo` against the libmodbus slave over lines that
// behave as bench lines do: a device at another rate hears nothing, a
// 2-wire adapter hears its own bytes.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/ModbusPeer.h"
#include "tests/support/PacedLink.h"
#include "tests/support/Process.h"
#include "tests/support/Pty.h"

using namespace std::chrono_literals;
using testsupport::ProcessResult;
using testsupport::RunProcess;

namespace {

ProcessResult Modbuscrc(std::vector<std::string> args)
{
    args.insert(args.begin(), KELVOR_MODBUSCRC);
    return RunProcess(args);
}

} // namespace

// A slave with id 17 at 19200 baud, on a line that carries bytes only
// between ends at its rate.
TEST(ScanCommand, FindsTheAddressAndRateOfASilentDevice)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE, 17, 19200);
    ASSERT_TRUE(peer.ok()) << peer.error();
    testsupport::PacedLink link(peer.path(), {.baud = 19200, .matchRates = true});
    ASSERT_TRUE(link.ok());

    ProcessResult r = Modbuscrc({"scan", "--port", link.path(), "--baud", "9600,19200", "--ids", "15-18", "--timeout", "50"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "17 19200 8N1 RX:11 03 02 10 00 74 47 \n");
    EXPECT_GT(link.dropped(), 0u); // the 9600-baud probes went nowhere

    // --first stops there: 18 is never asked.
    r = Modbuscrc({"scan", "--port", link.path(), "--baud", "19200", "--ids", "17,18,16", "--first",
                   "--probe", "04 00 05 00 01", "--timeout", "50"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "17 19200 8N1 RX:11 04 02 20 05 A1 30 \n");

    r = Modbuscrc({"scan", "--port", link.path(), "--baud", "9600", "--parity", "all", "--ids", "17", "--timeout", "30"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");

    for (const char* bad : {"--ids=0", "--ids=5-2", "--ids=256", "--ids=1-", "--baud=fast", "--parity=none,foo",
                            "--stop-bits=1.5", "--probe=zz"}) {
        r = Modbuscrc({"scan", "--port", link.path(), bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("Usage: modbuscrc scan"), std::string::npos) << bad << r.err;
    }
    r = Modbuscrc({"scan", "--port", link.path(), "--rts-on-send", "low"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("need --rs485"), std::string::npos) << r.err;
    r = Modbuscrc({"scan", "--port", link.path(), "--rs485"}); // a pty has no RS-485 mode
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, link.path() + "开启失败！\n此串口不支持 RS-485 模式\n");
    r = Modbuscrc({"scan", "--port", "/dev/ttyKelvorMissing0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "/dev/ttyKelvorMissing0开启失败！\n没有这个设备：/dev/ttyKelvorMissing0 不存在\n");
}

// With --echo the adapter's echo is taken out and the reply timed from its
// end; bytes that come back first and are not the frame are shown marked.
TEST(EchoRemoval, MatchingEchoIsTakenOutAndACollisionIsShown)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE);
    ASSERT_TRUE(peer.ok()) << peer.error();
    testsupport::PacedLink link(peer.path(), {.baud = 9600, .echo = true});
    ASSERT_TRUE(link.ok());
    ProcessResult r = Modbuscrc({"send", "--port", link.path(), "--echo", "--count", "2", "01 03 00 00 00 02"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "TX:01 03 00 00 00 02 C4 0B \nRX:01 03 04 10 00 10 01 32 F3 \n"
                     "TX:01 03 00 00 00 02 C4 0B \nRX:01 03 04 10 00 10 01 32 F3 \n");
    r = Modbuscrc({"scan", "--port", link.path(), "--echo", "--ids", "1-2"});
    EXPECT_EQ(r.out, "1 9600 8N1 RX:01 03 02 10 00 B5 84 \n");
    EXPECT_EQ(r.err.find("提示"), std::string::npos) << r.err;
    // Without --echo the echo is a hint, not a device.
    r = Modbuscrc({"scan", "--port", link.path(), "--ids", "2", "--timeout", "50"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("提示：2 9600 8N1 RX:02 03 00 00 00 01 84 39 （收到的是发出的帧本身"), std::string::npos) << r.err;

    testsupport::PtyPair device;
    std::thread collide([&] {
        if (device.read(8, 10s).size() == 8)
            device.write(testsupport::HexBytes("01 03 00 00 FF 02 C4 0B 01 03 04 10 00 10 01 32 F3"));
    });
    r = Modbuscrc({"send", "--port", device.slavePath(), "--echo", "--timeout", "300", "01 03 00 00 00 02"});
    collide.join();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "TX:01 03 00 00 00 02 C4 0B \n"
                     "RX:01 03 00 00 FF 02 C4 0B 01 03 04 10 00 10 01 32 F3 [数据校验失败] [回显不符]\n");
}
