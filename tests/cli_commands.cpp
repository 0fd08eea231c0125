// The command line, run as a user runs it: the program as a child process
// without a display, its output and exit status read back.
#include <gtest/gtest.h>

#include <modbus/modbus.h>
#include <regex>
#include <sys/stat.h>
#include <sstream>

#include <thread>

#include "tests/support/DemoRequests.h"
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
const std::string kUsage = "Usage: modbuscrc";

ProcessResult Modbuscrc(std::vector<std::string> args)
{
    args.insert(args.begin(), kProgram);
    return RunProcess(args);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int CountPrefix(const std::string& text, const std::string& prefix)
{
    int n = 0;
    for (const std::string& l : Lines(text))
        n += l.rfind(prefix, 0) == 0;
    return n;
}

} // namespace

TEST(CrcCommand, PrintsTheFrameAsTheResultBoxShowsIt)
{
    struct Case {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"01", "03", "00", "00", "00", "0a"}, "01 03 00 00 00 0A C5 CD \n"},
        {{"01:01,00-00;0008"}, "01 01 00 00 00 08 3D CC \n"},
        {{"1", "03"}, "10 BE 8C \n"}, // an odd last digit is dropped
        {{"7"}, "FF FF \n"},          // one digit: no data byte
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"crc"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = Modbuscrc(args);
        EXPECT_EQ(r.status, 0) << c.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CrcCommand, TextWithoutHexDigitsExitsTwo)
{
    const ProcessResult r = Modbuscrc({"crc", "xyz", "--"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "目标字串为空或无有效字符！\n");
}

// Bad arguments: the usage on stderr and status 2, nothing on stdout.
TEST(CommandLine, BadArgumentsGiveTheUsageAndExitTwo)
{
    const std::vector<std::vector<std::string>> cases = {
        {"crc"},
        {"crc", "--upper", "01"},
        {"frobnicate"},
        {"--screenshot"},
        {"send", "01", "03"},
        {"send", "--port", "demo"},
        {"send", "--port", "demo", "--baud", "0", "01"},
        {"send", "--port", "demo", "--baud=fast", "01"},
        {"send", "--port", "demo", "--parity", "sometimes", "01"},
        {"send", "--port", "demo", "--data-bits", "9", "01"},
        {"send", "--port", "demo", "--stop-bits", "1.5", "01"},
        {"send", "--port", "demo", "--timeout", "0", "01"},
        {"send", "--port", "demo", "--count", "-1", "01"},
        {"send", "--port", "demo", "--times=yes", "01"},
        {"send", "--port", "demo", "01", "--count"},
        {"send", "--port", "demo", "--rts-on-send", "low", "01"}, // without --rs485
        {"send", "--port", "demo", "--rs485", "--rts-on-send", "middle", "01"},
        {"send", "--port", "demo", "--rs485", "--rts-delay-before", "1001", "01"},
        {"send", "--port", "demo", "--rs485=yes", "01"},
        {"slave", "--rts-delay-after", "5", "ttyS0"},
        {"slave"},
        {"slave", "--id", "0", "ttyS0"},
        {"slave", "--id", "248", "ttyS0"},
        {"slave", "ttyS0", "ttyS1"},
    };
    for (const auto& args : cases) {
        const ProcessResult r = Modbuscrc(args);
        SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(kUsage), std::string::npos) << r.err;
    }
}

TEST(CommandLine, HelpAndVersion)
{
    for (const auto& args : {std::vector<std::string>{"--help"}, {"send", "--help"}, {"-h"}}) {
        const ProcessResult r = Modbuscrc(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(kUsage, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("--interval"), std::string::npos);
    }
    const ProcessResult v = Modbuscrc({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(std::regex_match(v.out, std::regex("modbuscrc [0-9]+\\.[0-9]+(\\.[0-9]+)?\n"))) << v.out;
}

// The window's own option still reaches the window.
TEST(CommandLine, ScreenshotStillStartsTheWindow)
{
    char dir[] = "/tmp/kelvor-shot-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/window.png";
    const ProcessResult r = RunProcess({kProgram, "--screenshot", file}, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(r.status, 0) << r.err;
    char magic[8] = {};
    FILE* f = std::fopen(file.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(magic, 1, 8, f), 8u);
    std::fclose(f);
    EXPECT_EQ(std::string(magic + 1, 3), "PNG");
    std::remove(file.c_str());
    rmdir(dir);
}

TEST(SendCommand, DemoAnswersEveryFunction)
{
    for (const auto& r : testsupport::kDemoRequests) {
        SCOPED_TRACE(r.name);
        const ProcessResult p = Modbuscrc({"send", "--port", "demo", r.typed});
        // An exception reply is no good reply.
        const bool exception = std::stoul(std::string(r.rx).substr(3, 2), nullptr, 16) >= 0x80;
        EXPECT_EQ(p.status, exception ? 1 : 0) << p.err;
        EXPECT_EQ(p.out, std::string("TX:") + r.tx + "\nRX:" + r.rx + "\n");
        EXPECT_NE(p.err.find(std::string("发送 1 帧，回复 1 帧，校验失败 0 帧，异常 ") + (exception ? "1" : "0") +
                             " 帧，无回复 0 次"),
                  std::string::npos)
            << p.err;
    }
}

// Repeated sends with times: each line starts with the time, each reply
// ends with its response time, and the demo's counter climbs.
TEST(SendCommand, RepeatsWithTimesAndCounts)
{
    const ProcessResult p =
        Modbuscrc({"send", "--port", "DEMO", "--count", "3", "--interval", "0", "--times", "01 03 03 E7 00 01"});
    EXPECT_EQ(p.status, 0) << p.err;
    const std::vector<std::string> lines = Lines(p.out);
    ASSERT_EQ(lines.size(), 6u) << p.out;
    const std::string time = "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} ";
    const char* values[] = {"00 01 79 84", "00 02 39 85", "00 03 F8 45"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::regex_match(lines[2 * i], std::regex(time + "TX:01 03 03 E7 00 01 34 79 "))) << lines[2 * i];
        EXPECT_TRUE(std::regex_match(lines[2 * i + 1],
                                     std::regex(time + "RX:01 03 02 " + values[i] + " \\([0-9]+\\.[0-9] ms\\)")))
            << lines[2 * i + 1];
    }
    EXPECT_NE(p.err.find("发送 3 帧，回复 3 帧"), std::string::npos) << p.err;
}

// Ctrl-C ends an endless run: the request in flight still gets its reply,
// and the counts follow.
TEST(SendCommand, CtrlCEndsCleanlyWithTheCounts)
{
    Process p({kProgram, "send", "--port", "demo", "--count", "0", "--interval", "5", "01 03 00 00 00 01"});
    ASSERT_TRUE(p.waitForOutLines(6, 30s)) << p.out() << p.err();
    p.signal(SIGINT);
    const ProcessResult r = p.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    const int sent = CountPrefix(r.out, "TX:");
    EXPECT_GE(sent, 3);
    EXPECT_EQ(CountPrefix(r.out, "RX:01 03 02 10 00 "), sent);
    EXPECT_NE(r.err.find("发送 " + std::to_string(sent) + " 帧，回复 " + std::to_string(sent) + " 帧"),
              std::string::npos)
        << r.err;
}

TEST(SendCommand, AgainstTheLibmodbusSlave)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE);
    ASSERT_TRUE(peer.ok()) << peer.error();
    const ProcessResult r = Modbuscrc({"send", "--port", peer.path(), "--baud", "19200", "--count", "2", "01 06 00 01 00 2A"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "TX:01 06 00 01 00 2A 59 D5 \nRX:01 06 00 01 00 2A 59 D5 \n"
                     "TX:01 06 00 01 00 2A 59 D5 \nRX:01 06 00 01 00 2A 59 D5 \n");

    // Decoded: the request's own line, and the reply by the request it answers.
    const ProcessResult d = Modbuscrc({"send", "--port", peer.path(), "--decode", "--format", "s32", "--order",
                                       "CDAB", "01 03 00 02 00 02"});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out, "TX:01 03 00 02 00 02 65 CB \n  读保持寄存器 起始 2 数量 2\n"
                     "RX:01 03 04 10 02 10 03 12 F2 \n  读保持寄存器 2=268636162\n");
}

// No reply (the slave has another id) is status 1, with the TX line logged
// and the request counted unanswered.
TEST(SendCommand, NoReplyExitsOne)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE, 2);
    ASSERT_TRUE(peer.ok()) << peer.error();
    const ProcessResult r = Modbuscrc({"send", "--port", peer.path(), "--timeout", "200", "01 03 00 00 00 01"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "TX:01 03 00 00 00 01 84 0A \n");
    EXPECT_NE(r.err.find("回复 0 帧，校验失败 0 帧，异常 0 帧，无回复 1 次"), std::string::npos) << r.err;
}

// A reply cut short by --expect fails the check: status 1.
TEST(SendCommand, MarkedReplyExitsOne)
{
    const ProcessResult r = Modbuscrc({"send", "--port", "demo", "--expect", "4", "01 03 00 00 00 01"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "TX:01 03 00 00 00 01 84 0A \nRX:01 03 02 10 [数据校验失败]\n");
}

// A port that cannot be opened: the window's two lines on stderr, status 2.
TEST(SendCommand, PortThatCannotBeOpenedExitsTwoWithTheCause)
{
    const ProcessResult missing = Modbuscrc({"send", "--port", "/dev/ttyKelvorMissing0", "01 03 00 00 00 01"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "/dev/ttyKelvorMissing0开启失败！\n没有这个设备：/dev/ttyKelvorMissing0 不存在\n");

    const ProcessResult refused =
        Modbuscrc({"send", "--port", "demo", "--data-bits", "5", "--stop-bits", "2", "01 03 00 00 00 01"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "demo开启失败！\n2 位停止位不能与 5 位数据位同用\n");
}

// What would send something else than the user meant is refused, before
// anything is sent: options that look like hex or like a port, frames no
// RTU line carries, names that are no serial device, the user's own terminal.
TEST(SendCommand, RefusesWhatWouldSendSomethingElse)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{"send", "--port", "demo", "-c", "3", "01 03"},
                                                 {"send", "--port", "--count", "3", "01 03"},
                                                 {"send", "--port", "demo", "--timeout=--count", "01 03"}}) {
        const ProcessResult r = Modbuscrc(args);
        EXPECT_EQ(r.status, 2) << args[3];
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(kUsage), std::string::npos) << r.err;
    }
    const ProcessResult longFrame = Modbuscrc({"send", "--port", "demo", std::string(255 * 2, 'A')});
    EXPECT_EQ(longFrame.status, 2);
    EXPECT_EQ(longFrame.out, "");
    EXPECT_EQ(longFrame.err, "帧长 257 字节，超过 Modbus RTU 帧的上限 256 字节，不能发送。\n");
    EXPECT_EQ(Modbuscrc({"send", "--port", "demo", std::string(254 * 2, 'A')}).err.find("帧长"), std::string::npos);

    const ProcessResult folder = Modbuscrc({"send", "--port", "/tmp", "01 03 00 00 00 01"});
    EXPECT_EQ(folder.status, 2);
    EXPECT_EQ(folder.err, "/tmp开启失败！\n不是串口设备：/tmp\n");

    // Run with a pty as its controlling terminal, it refuses that pty.
    testsupport::PtyPair terminal;
    const ProcessResult own = RunProcess({"/bin/sh", "-c", "exec setsid -c \"$0\" send --port \"$1\" 01 03 < \"$1\"",
                                          kProgram, terminal.slavePath()});
    EXPECT_EQ(own.status, 2) << own.err;
    EXPECT_NE(own.err.find(terminal.slavePath() + " 是本程序所在的终端"), std::string::npos) << own.err;
}

// On a line that echoes what is sent (a 2-wire adapter with nobody
// answering), the echo is logged but is no reply.
TEST(SendCommand, AnEchoIsNoReply)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE, 2);
    ASSERT_TRUE(peer.ok()) << peer.error();
    testsupport::PacedLink link(peer.path(), {.echo = true});
    ASSERT_TRUE(link.ok());
    const ProcessResult r =
        Modbuscrc({"send", "--port", link.path(), "--count", "3", "--timeout", "200", "01 03 00 00 00 02"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(CountPrefix(r.out, "TX:"), 3);
    EXPECT_EQ(CountPrefix(r.out, "RX:"), 3);
    for (const std::string& line : Lines(r.out))
        EXPECT_EQ(line.substr(3), "01 03 00 00 00 02 C4 0B "); // unmarked: its CRC is good
    EXPECT_NE(r.err.find("发送 3 帧，回复 0 帧，校验失败 0 帧，异常 0 帧，无回复 3 次"), std::string::npos) << r.err;
}

// A slow line, or a device that stops inside its reply: the pause does not
// cut a reply while its bytes can still become whole.
TEST(SendCommand, RepliesAreNotCutBetweenSlowCharacters)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE);
    ASSERT_TRUE(peer.ok()) << peer.error();
    testsupport::PacedLink slow(peer.path(), 110); // 91 ms a character
    ASSERT_TRUE(slow.ok());
    const ProcessResult r = Modbuscrc({"send", "--port", slow.path(), "--baud", "110", "--timeout", "5000", "01 03 00 00 00 01"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "TX:01 03 00 00 00 01 84 0A \nRX:01 03 02 10 00 B5 84 \n");

    testsupport::PtyPair device;
    std::thread answer([&] {
        if (device.read(8, 10s).size() != 8)
            return;
        device.write(testsupport::HexBytes("01 03 02"));
        std::this_thread::sleep_for(300ms); // six times the pause at 9600 baud
        device.write(testsupport::HexBytes("10 00 B5 84"));
    });
    const ProcessResult halting = Modbuscrc({"send", "--port", device.slavePath(), "01 03 00 00 00 01"});
    answer.join();
    EXPECT_EQ(halting.status, 0) << halting.err;
    EXPECT_EQ(halting.out, "TX:01 03 00 00 00 01 84 0A \nRX:01 03 02 10 00 B5 84 \n");
}

// A pty has no RS-485 mode: the driver's refusal is the cause line.
TEST(SendCommand, Rs485OnAPtyIsRefusedWithTheCause)
{
    testsupport::PtyPair pty;
    const ProcessResult r = Modbuscrc({"send", "--port", pty.slavePath(), "--rs485", "--rts-on-send", "low",
                                       "--rts-delay-after", "2", "01 03 00 00 00 01"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, pty.slavePath() + "开启失败！\n此串口不支持 RS-485 模式\n");
}

// `slave` on one end of a pty pair, a libmodbus master on the other.
TEST(SlaveCommand, AnswersALibmodbusClient)
{
    testsupport::PtyPair line;
    Process slave({kProgram, "slave", "--id", "7", "--baud", "115200", line.slavePath()});
    ASSERT_TRUE(slave.waitForErr("按 Ctrl-C 结束", 30s)) << slave.err();

    modbus_t* ctx = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    modbus_set_socket(ctx, line.master());
    modbus_set_slave(ctx, 7);
    modbus_set_response_timeout(ctx, 5, 0);

    std::uint16_t regs[2] = {};
    EXPECT_EQ(modbus_read_registers(ctx, 0, 2, regs), 2) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], 0x1000);
    EXPECT_EQ(regs[1], 0x1001);
    EXPECT_EQ(modbus_write_register(ctx, 100, 0xBEEF), 1) << modbus_strerror(errno);
    EXPECT_EQ(modbus_read_input_registers(ctx, 998, 2, regs), 2) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], 998);
    EXPECT_EQ(regs[1], 999);
    std::uint8_t bits[4] = {};
    EXPECT_EQ(modbus_read_bits(ctx, 0, 4, bits), 4) << modbus_strerror(errno);
    EXPECT_EQ(std::vector<std::uint8_t>(bits, bits + 4), (std::vector<std::uint8_t>{0, 1, 0, 1}));
    EXPECT_EQ(modbus_read_registers(ctx, 1000, 1, regs), -1);
    EXPECT_EQ(errno, EMBXILADD);
    modbus_free(ctx);

    ASSERT_TRUE(slave.waitForOutLines(10, 30s)) << slave.out();
    slave.signal(SIGINT);
    const ProcessResult r = slave.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 10u) << r.out;
    EXPECT_EQ(lines[0], "RX:07 03 00 00 00 02 C4 6D ");
    EXPECT_EQ(lines[1], "TX:07 03 04 10 00 10 01 54 F3 ");
    EXPECT_EQ(lines[8].rfind("RX:07 03 03 E8 00 01 ", 0), 0u) << lines[8];
    EXPECT_EQ(lines[9].rfind("TX:07 83 02 ", 0), 0u) << lines[9];
    EXPECT_NE(r.err.find("收到请求 5 帧，回复 5 帧"), std::string::npos) << r.err;
}

// Requests for other ids and broken frames are shown, and not answered;
// an unknown function is answered as libmodbus does on a line.
TEST(SlaveCommand, LogsWhatItDoesNotAnswer)
{
    testsupport::PtyPair line;
    Process slave({kProgram, "slave", line.slavePath()});
    ASSERT_TRUE(slave.waitForErr("按 Ctrl-C 结束", 30s)) << slave.err();
    const std::uint8_t otherId[] = {0x02, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x39};
    const std::uint8_t badCrc[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0B};
    line.write(otherId, sizeof otherId);
    ASSERT_TRUE(slave.waitForOutLines(1, 30s));
    line.write(badCrc, sizeof badCrc);
    ASSERT_TRUE(slave.waitForOutLines(2, 30s));
    // An unknown function: libmodbus waits, flushes the line and answers
    // exception 01; the request queued behind it goes with the flush.
    const std::uint8_t unknownTwice[] = {0x01, 0x09, 0xC0, 0x26, 0x01, 0x09, 0xC0, 0x26};
    line.write(unknownTwice, sizeof unknownTwice);
    ASSERT_TRUE(slave.waitForOutLines(4, 30s));
    slave.signal(SIGTERM);
    const ProcessResult r = slave.finish();
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "RX:02 03 00 00 00 01 84 39 ");
    EXPECT_EQ(lines[1], "RX:01 03 00 00 00 01 84 0B [数据校验失败]");
    EXPECT_EQ(lines[2].rfind("RX:01 09 C0 26 01 09 C0 26 ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "TX:01 89 01 86 50 ");
    EXPECT_NE(r.err.find("收到请求 3 帧，回复 1 帧"), std::string::npos) << r.err;
}

// A device node the user may not open gives the hint to join dialout. As
// root the program runs as nobody (through setpriv); otherwise the node
// loses its rights.
TEST(SendCommand, PermissionDeniedGivesTheDialoutHint)
{
    testsupport::PtyPair line;
    const std::string name = line.slavePath();
    std::vector<std::string> argv = {kProgram, "send", "--port", name, "01 03 00 00 00 01"};
    if (geteuid() == 0) {
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "setpriv is missing";
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    } else {
        ASSERT_EQ(chmod(name.c_str(), 0), 0);
    }
    const ProcessResult r = RunProcess(argv);
    if (r.err.rfind("setpriv:", 0) == 0)
        GTEST_SKIP() << "nobody may not run the program from here: " << r.err;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, name + "开启失败！\n没有权限打开 " + name +
                         "：请把当前用户加入 dialout 组（sudo usermod -aG dialout $USER），重新登录后再试\n");
}
