// `decode` and `monitor` run as a user runs them. The monitor taps a paced
// line on which a master (this test, with libmodbus and raw writes) and the
// libmodbus slave talk.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <modbus/modbus.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "tests/support/ModbusPeer.h"
#include "tests/support/PacedLink.h"
#include "tests/support/Process.h"
#include "tests/support/Pty.h"

using namespace std::chrono_literals;
using testsupport::Process;
using testsupport::ProcessResult;
using testsupport::RunProcess;

namespace {

const std::string kProgram = KELVOR_MODBUSCRC;

ProcessResult Modbuscrc(std::vector<std::string> args)
{
    args.insert(args.begin(), kProgram);
    return RunProcess(args);
}

} // namespace

TEST(DecodeCommand, PrintsTheFrameAndWhatItMeans)
{
    ProcessResult r = Modbuscrc({"decode", "01 03 04 10 00 10 01 32 F3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "RSP:01 03 04 10 00 10 01 32 F3 \n  读保持寄存器 0=4096 1=4097\n");

    r = Modbuscrc({"decode", "--address", "100", "--format", "s32", "--order", "cdab", "01030410001001", "32F3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "RSP:01 03 04 10 00 10 01 32 F3 \n  读保持寄存器 100=268505088\n");

    r = Modbuscrc({"decode", "--reply", "01 06 00 0A 12 34 A4 BF"});
    EXPECT_EQ(r.out, "RSP:01 06 00 0A 12 34 A4 BF \n  写单个寄存器 10=4660\n");
}

TEST(DecodeCommand, FailedCrcExitsOneAndBadArgumentsTwo)
{
    const ProcessResult failed = Modbuscrc({"decode", "01 03 04 10 00 10 01 32 F4"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "RSP:01 03 04 10 00 10 01 32 F4 [数据校验失败]\n  读保持寄存器 0=4096 1=4097\n");

    const std::vector<std::vector<std::string>> bad = {
        {"decode"},
        {"decode", "xyz"},
        {"decode", "01 03"},
        {"decode", "--format", "f16", "01 03 00 00 00 02 C4 0B"},
        {"decode", "--order", "ADCB", "01 03 00 00 00 02 C4 0B"},
        {"decode", "--request", "--reply", "01 03 00 00 00 02 C4 0B"},
        {"decode", "--address", "65536", "01 03 00 00 00 02 C4 0B"},
        {"monitor"},
        {"monitor", "--format", "f32", "/dev/null"},
        {"monitor", "ttyS0", "ttyS1"},
    };
    for (const auto& args : bad) {
        const ProcessResult r = Modbuscrc(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.empty());
    }
    const ProcessResult missing = Modbuscrc({"monitor", "/dev/ttyKelvorMissing0"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "/dev/ttyKelvorMissing0开启失败！\n没有这个设备：/dev/ttyKelvorMissing0 不存在\n");
}

TEST(MonitorCommand, WatchesAMasterAndASlaveThroughATap)
{
    testsupport::ModbusPeer slave(KELVOR_MODBUS_SLAVE, 1, 19200);
    ASSERT_TRUE(slave.ok()) << slave.error();
    testsupport::PacedLink link(slave.path(), {.baud = 19200, .tap = true});
    ASSERT_TRUE(link.ok());
    Process monitor({kProgram, "monitor", "--baud", "19200", "--decode", link.tapPath()});
    ASSERT_TRUE(monitor.waitForErr("按 Ctrl-C 结束", 30s)) << monitor.err();

    const int fd = ::open(link.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    modbus_t* master = modbus_new_rtu("/dev/null", 19200, 'N', 8, 1);
    ASSERT_NE(master, nullptr);
    modbus_set_socket(master, fd);
    auto raw = [fd](const char* Hex) {
        const testsupport::Bytes b = testsupport::HexBytes(Hex);
        ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    };

    std::uint16_t regs[2] = {};
    modbus_set_slave(master, 1);
    modbus_set_response_timeout(master, 5, 0);
    EXPECT_EQ(modbus_read_registers(master, 0, 2, regs), 2) << modbus_strerror(errno);
    modbus_set_slave(master, 2); // nobody answers
    modbus_set_response_timeout(master, 0, 300'000);
    EXPECT_EQ(modbus_read_registers(master, 0, 2, regs), -1);
    raw("00 06 00 01 00 05 19 D8"); // a broadcast
    std::this_thread::sleep_for(50ms);
    raw("01 03 00 00 00 02 C4 0C"); // its CRC broken: the slave ignores it
    std::this_thread::sleep_for(50ms);
    modbus_set_slave(master, 1);
    modbus_set_response_timeout(master, 5, 0);
    EXPECT_EQ(modbus_read_registers(master, 0, 2, regs), 2) << modbus_strerror(errno);
    // Two broadcasts 3.5 characters apart: 8 bytes on the line, then the gap.
    raw("00 06 00 02 00 07 68 19");
    std::this_thread::sleep_for(std::chrono::microseconds(115 * 1'000'000 / 19200));
    raw("00 06 00 03 00 08 79 DD");

    const bool printed = monitor.waitForOutLines(17, 30s);
    monitor.signal(SIGINT);
    const ProcessResult r = monitor.finish();
    modbus_free(master);
    ::close(fd);
    ASSERT_TRUE(printed) << r.out << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "REQ:01 03 00 00 00 02 C4 0B \n"
                     "  读保持寄存器 起始 0 数量 2\n"
                     "RSP:01 03 04 10 00 10 01 32 F3 \n"
                     "  读保持寄存器 0=4096 1=4097\n"
                     "REQ:02 03 00 00 00 02 C4 38 \n"
                     "  读保持寄存器 起始 0 数量 2\n"
                     "REQ:00 06 00 01 00 05 19 D8 \n"
                     "  写单个寄存器 1=5\n"
                     "???:01 03 00 00 00 02 C4 0C [数据校验失败]\n"
                     "REQ:01 03 00 00 00 02 C4 0B \n"
                     "  读保持寄存器 起始 0 数量 2\n"
                     "RSP:01 03 04 10 00 00 05 3E F0 \n"
                     "  读保持寄存器 0=4096 1=5\n" // the broadcast wrote register 1
                     "REQ:00 06 00 02 00 07 68 19 \n"
                     "  写单个寄存器 2=7\n"
                     "REQ:00 06 00 03 00 08 79 DD \n"
                     "  写单个寄存器 3=8\n");
    EXPECT_NE(r.err.find("请求 6 帧，回复 2 帧，无回复 1 次，校验失败 1 帧\n"
                         "  站 0（广播）：请求 3\n"
                         "  站 1：请求 2，回复 2，无回复 0，校验失败 0\n"
                         "  站 2：请求 1，回复 0，无回复 1，校验失败 0\n"),
              std::string::npos)
        << r.err;
}
