// Why an opening failed, worked out from what the library reports: real
// failures on pseudo-terminals and the device map, and injected ones.
#include <gtest/gtest.h>

#include "app/OpenFailure.h"
#include "comm/TKelvorComm32.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/support/Pty.h"

using KelvorComm32::EComm32Error;
using KelvorComm32::TComm32;

namespace {

// Opens the port and returns the cause line of its failure ("" if it opened).
std::string CauseOf(TComm32& Port)
{
    try {
        Port.Open();
    } catch (const EComm32Error& e) {
        return OpenFailureCause(e, Port).toStdString();
    }
    return {};
}

class OpenFailureTest : public ::testing::Test {
protected:
    void SetUp() override { win32posix::ResetFaults(); }
    void TearDown() override { win32posix::ResetFaults(); }
    testsupport::DeviceMap fMap;
};

} // namespace

TEST_F(OpenFailureTest, MissingDeviceNamesThePathBehindTheComName)
{
    fMap.map(7, "/dev/ttyKelvorGone7");
    TComm32 port;
    port.fSetPort(7);
    EXPECT_EQ(CauseOf(port), "没有这个设备：/dev/ttyKelvorGone7 不存在");
}

TEST_F(OpenFailureTest, PortHeldByAnotherOpenIsBusy)
{
    testsupport::PtyPair pty;
    TComm32 first, second;
    first.fSetPortName(FromUtf8(pty.slavePath()));
    second.fSetPortName(FromUtf8(pty.slavePath()));
    ASSERT_EQ(CauseOf(first), "");
    EXPECT_EQ(CauseOf(second), "串口正被占用：另一个程序已打开了 " + pty.slavePath());
    first.Close();
    EXPECT_EQ(CauseOf(second), "");
}

// Settings no serial port takes are named by themselves; a refusal at 8N1
// can only be the rate.
TEST_F(OpenFailureTest, RefusedSettingIsNamed)
{
    testsupport::PtyPair pty;
    TComm32 port;
    port.fSetPortName(FromUtf8(pty.slavePath()));
    port.fSetByteSize(5);
    port.fSetStopBits(TWOSTOPBITS);
    EXPECT_EQ(CauseOf(port), "2 位停止位不能与 5 位数据位同用");

    port.fSetByteSize(8);
    port.fSetStopBits(ONESTOPBIT);
    port.fSetParity(NOPARITY);
    port.fSetBaud(12345);
    win32posix::FailCall("SetCommState", 1, ERROR_INVALID_PARAMETER); // an adapter that cannot do it
    EXPECT_EQ(CauseOf(port), "串口不支持波特率 12345");
    EXPECT_EQ(CauseOf(port), "");
}

// A driver without RS-485 mode (a pty has none) is told apart from a
// refused line setting.
TEST_F(OpenFailureTest, Rs485RefusedIsNamed)
{
    testsupport::PtyPair pty;
    TComm32 port;
    port.fSetPortName(FromUtf8(pty.slavePath()));
    port.fSetRs485(true);
    EXPECT_EQ(CauseOf(port), "此串口不支持 RS-485 模式");
    port.fSetRs485(false);
    EXPECT_EQ(CauseOf(port), "");

    TLineSettings line;
    EXPECT_EQ(OpenFailureText(ClassifyOpenFailure(EComm32Error::ecSetCommState, ERROR_NOT_SUPPORTED, {}, line))
                  .toStdString(),
              "串口不支持波特率 9600");
}

TEST_F(OpenFailureTest, TextsOfTheOtherCauses)
{
    TLineSettings seven{9600, 7, EVENPARITY, TWOSTOPBITS};
    TLineSettings eightOneAndAHalf{9600, 8, NOPARITY, ONE5STOPBITS};
    struct Case {
        int code;
        unsigned long error;
        TLineSettings line;
        const char* text;
    } cases[] = {
        {EComm32Error::ecSetCommState, ERROR_INVALID_PARAMETER, seven,
         "串口不接受这组参数：波特率 9600，7 位数据位，偶校验，2 位停止位"},
        {EComm32Error::ecSetCommState, ERROR_INVALID_PARAMETER, eightOneAndAHalf, "1.5 位停止位只能与 5 位数据位同用"},
        {EComm32Error::ecSetCommMask, ERROR_DEVICE_NOT_CONNECTED, {}, "设备在打开时断开了：/dev/ttyUSB0"},
        {EComm32Error::ecOpenPort, ERROR_SHARING_VIOLATION, {}, "串口正被占用：另一个程序已打开了 /dev/ttyUSB0"},
        {EComm32Error::ecCreateReadThread, ERROR_NOT_ENOUGH_MEMORY, {}, "打开时出错（库错误码 11，系统错误码 8）"},
    };
    for (const Case& c : cases) {
        const TOpenFailure f = ClassifyOpenFailure(c.code, c.error, QStringLiteral("/dev/ttyUSB0"), c.line);
        EXPECT_EQ(OpenFailureText(f).toStdString(), c.text);
    }
}
