#include "app/OpenFailure.h"

#include "comm/TKelvorComm32.h"

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/win32/posix/FaultInjection.h" // ResolveDevicePath
#endif

namespace {

using KelvorComm32::EComm32Error;

constexpr unsigned long kInvalidFunction = 1; // a comm call on a handle that is no port (Windows)
constexpr unsigned long kFileNotFound = 2;
constexpr unsigned long kPathNotFound = 3;
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kSharingViolation = 32;
constexpr unsigned long kNotSupported = 50;
constexpr unsigned long kDeviceNotConnected = 1167;
constexpr unsigned long kBadDevice = 1200;   // refused before opening: not a tty
constexpr unsigned long kDeviceInUse = 2404; // refused before opening: our own terminal

// Whether the user may open the device at all, by its permissions.
bool PermissionDenied(const QString& Device)
{
#ifdef _WIN32
    Q_UNUSED(Device);
    return false; // a COM port in use is "access denied" on Windows
#else
    if (Device.isEmpty())
        return false;
    const QByteArray path = Device.toLocal8Bit();
    return faccessat(AT_FDCWD, path.constData(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES;
#endif
}

QString ParityName(int Parity)
{
    switch (Parity) {
    case 0: return QStringLiteral("无校验");
    case 1: return QStringLiteral("奇校验");
    case 2: return QStringLiteral("偶校验");
    case 3: return QStringLiteral("标记校验");
    case 4: return QStringLiteral("空格校验");
    default: return QStringLiteral("校验方式 %1").arg(Parity);
    }
}

QString StopBitsName(int StopBits)
{
    switch (StopBits) {
    case 0: return QStringLiteral("1 位停止位");
    case 1: return QStringLiteral("1.5 位停止位");
    case 2: return QStringLiteral("2 位停止位");
    default: return QStringLiteral("停止位 %1").arg(StopBits);
    }
}

// Names the setting that was refused. The combinations a serial port can
// never take are named by themselves; otherwise, at 8 data bits, no parity
// and one stop bit, which every port takes, it was the rate.
QString RefusedSetting(const TLineSettings& L)
{
    if (L.DataBits < 5 || L.DataBits > 8)
        return QStringLiteral("数据位 %1 无效（只能是 5 到 8）").arg(L.DataBits);
    if (L.StopBits == 1 && L.DataBits != 5)
        return QStringLiteral("1.5 位停止位只能与 5 位数据位同用");
    if (L.StopBits == 2 && L.DataBits == 5)
        return QStringLiteral("2 位停止位不能与 5 位数据位同用");
    if (L.Parity < 0 || L.Parity > 4 || L.StopBits < 0 || L.StopBits > 2)
        return QStringLiteral("%1、%2 无效").arg(ParityName(L.Parity), StopBitsName(L.StopBits));
    if (L.Baud == 0)
        return QStringLiteral("波特率 0 无效");
    if (L.DataBits == 8 && L.Parity == 0 && L.StopBits == 0)
        return QStringLiteral("串口不支持波特率 %1").arg(L.Baud);
    return QStringLiteral("串口不接受这组参数：波特率 %1，%2 位数据位，%3，%4")
        .arg(L.Baud)
        .arg(L.DataBits)
        .arg(ParityName(L.Parity), StopBitsName(L.StopBits));
}

} // namespace

TOpenFailure ClassifyOpenFailure(int LibraryCode, unsigned long SystemError, const QString& Device,
                                 const TLineSettings& Line)
{
    TOpenFailure f;
    f.Device = Device;
    f.Line = Line;
    f.LibraryCode = LibraryCode;
    f.SystemError = SystemError;
    if (SystemError == kDeviceNotConnected) {
        f.Cause = LibraryCode == EComm32Error::ecOpenPort ? TOpenCause::NoDevice : TOpenCause::Gone;
        return f;
    }
    switch (LibraryCode) {
    case EComm32Error::ecOpenPort:
        if (SystemError == kBadDevice)
            f.Cause = TOpenCause::NotSerial;
        else if (SystemError == kDeviceInUse)
            f.Cause = TOpenCause::OwnTerminal;
        else if (SystemError == kFileNotFound || SystemError == kPathNotFound)
            f.Cause = TOpenCause::NoDevice;
        else if (SystemError == kSharingViolation)
            f.Cause = TOpenCause::Busy;
        else if (SystemError == kAccessDenied)
            f.Cause = PermissionDenied(Device) ? TOpenCause::NoPermission : TOpenCause::Busy;
        break;
    case EComm32Error::ecSetCommState:
        // The layer refuses a missing RS-485 mode with its own code.
        f.Cause = Line.Rs485 && SystemError == kNotSupported ? TOpenCause::Rs485Refused : TOpenCause::LineRefused;
        break;
    case EComm32Error::ecSetupComm:
    case EComm32Error::ecGetCommState:
    case EComm32Error::ecSetCommMask:
        if (SystemError == kInvalidFunction)
            f.Cause = TOpenCause::NotSerial;
        break;
    default:
        break;
    }
    return f;
}

QString OpenFailureText(const TOpenFailure& F)
{
    const QString device = F.Device.isEmpty() ? QStringLiteral("该串口") : F.Device;
    switch (F.Cause) {
    case TOpenCause::NoDevice:
        return F.Device.isEmpty() ? QStringLiteral("没有这个设备")
                                  : QStringLiteral("没有这个设备：%1 不存在").arg(F.Device);
    case TOpenCause::Gone:
        return QStringLiteral("设备在打开时断开了：%1").arg(device);
    case TOpenCause::Busy:
        return F.Device.isEmpty() ? QStringLiteral("串口正被占用：另一个程序已打开了它")
                                  : QStringLiteral("串口正被占用：另一个程序已打开了 %1").arg(F.Device);
    case TOpenCause::NoPermission:
        return QStringLiteral("没有权限打开 %1：请把当前用户加入 dialout 组"
                              "（sudo usermod -aG dialout $USER），重新登录后再试")
            .arg(device);
    case TOpenCause::LineRefused:
        return RefusedSetting(F.Line);
    case TOpenCause::NotSerial:
        return QStringLiteral("不是串口设备：%1").arg(device);
    case TOpenCause::OwnTerminal:
        return QStringLiteral("%1 是本程序所在的终端，不能当作串口打开").arg(device);
    case TOpenCause::Rs485Refused:
        return QStringLiteral("此串口不支持 RS-485 模式");
    case TOpenCause::Other:
        break;
    }
    return QStringLiteral("打开时出错（库错误码 %1，系统错误码 %2）").arg(F.LibraryCode).arg(F.SystemError);
}

QString DeviceForPortName(const QString& PortName)
{
    if (PortName.isEmpty())
        return {};
#ifdef _WIN32
    return QStringLiteral("\\\\.\\") + PortName;
#else
    return QString::fromStdString(win32posix::ResolveDevicePath(u"\\\\.\\" + PortName.toStdU16String()));
#endif
}

QString OpenFailedLine(const QString& PortName)
{
    return PortName + QString::fromUtf16(kOpenFailedSuffix);
}

QString OpenFailureCause(const KelvorComm32::EComm32Error& E, const KelvorComm32::TComm32& Port)
{
    TLineSettings line;
    line.Baud = Port.Baud();
    line.DataBits = Port.ByteSize();
    line.Parity = Port.Parity();
    line.StopBits = Port.StopBits();
    line.Rs485 = Port.Rs485();
    line.RtsOnSend = Port.RtsOnSend();
    line.RtsDelayBefore = Port.RtsDelayBefore();
    line.RtsDelayAfter = Port.RtsDelayAfter();
    const QString device = DeviceForPortName(QString::fromStdU16String(Port.PortName()));
    return OpenFailureText(ClassifyOpenFailure(E.ErrorCode, E.SystemError, device, line));
}

bool OpenLine(KelvorComm32::TComm32& Port, const QString& Device, const TLineSettings& Line, QString& Cause,
              TOpenCause* Kind)
{
    Port.fSetPortName(Device.toStdU16String());
    Port.fSetBaud(Line.Baud);
    Port.fSetParity(static_cast<unsigned char>(Line.Parity));
    Port.fSetByteSize(static_cast<unsigned char>(Line.DataBits));
    Port.fSetStopBits(static_cast<unsigned char>(Line.StopBits));
    Port.fSetFCtrl(KelvorComm32::TComm32::fcNone);
    Port.fSetRs485(Line.Rs485);
    Port.fSetRtsOnSend(Line.RtsOnSend);
    Port.fSetRtsDelayBefore(Line.RtsDelayBefore);
    Port.fSetRtsDelayAfter(Line.RtsDelayAfter);
    try {
        Port.Open();
        return true;
    } catch (const KelvorComm32::EComm32Error& e) {
        const TOpenFailure f = ClassifyOpenFailure(e.ErrorCode, e.SystemError,
                                                   DeviceForPortName(QString::fromStdU16String(Port.PortName())), Line);
        Cause = OpenFailureText(f);
        if (Kind)
            *Kind = f.Cause;
    }
    return false;
}

QString SettingText(const TLineSettings& Line)
{
    static const char kLetters[] = {'N', 'O', 'E', 'M', 'S'};
    const char letter = Line.Parity >= 0 && Line.Parity <= 4 ? kLetters[Line.Parity] : '?';
    const QString stop = Line.StopBits == TWOSTOPBITS ? QStringLiteral("2")
                         : Line.StopBits == ONE5STOPBITS ? QStringLiteral("1.5")
                                                         : QStringLiteral("1");
    return QString::number(Line.DataBits) + QLatin1Char(letter) + stop;
}

QString LineText(const TLineSettings& Line)
{
    return QString::number(Line.Baud) + QLatin1Char(' ') + SettingText(Line) +
           (Line.Rs485 ? QStringLiteral(" RS-485") : QString());
}
