#pragma once
// Why a port could not be opened, said in one line of Chinese: the second
// line under "COM03开启失败！" in the window, and what `send` and `slave`
// print before they exit with status 2.
#include <QString>

namespace KelvorComm32 {
class EComm32Error;
class TComm32;
}

// The line settings asked of the port, in the port's own codes: parity
// 0 none, 1 odd, 2 even, 3 mark, 4 space; stop bits 0 one, 1 one and a
// half, 2 two. RS-485 as TComm32::Rs485 has it: RTS high while sending
// (or low), delays in ms.
struct TLineSettings {
    unsigned long Baud = 9600;
    int DataBits = 8;
    int Parity = 0;
    int StopBits = 0;
    bool Rs485 = false;
    bool RtsOnSend = true;
    unsigned long RtsDelayBefore = 0;
    unsigned long RtsDelayAfter = 0;
};

// A setting as "8E1": data bits, parity letter (N, O, E, M, S), stop bits.
QString SettingText(const TLineSettings& Line);
// The whole line as "9600 8E1", " RS-485" after it in that mode.
QString LineText(const TLineSettings& Line);

enum class TOpenCause {
    NoDevice,     // nothing of that name
    Gone,         // the device went away while it was being opened
    Busy,         // another program has it open
    NoPermission, // the user may not open it
    LineRefused,  // the device or the system refused the line settings
    NotSerial,    // the name is a file, a folder or another kind of device
    OwnTerminal,  // the terminal the program itself runs in
    Rs485Refused, // the driver has no RS-485 mode
    Other,
};

struct TOpenFailure {
    TOpenCause Cause = TOpenCause::Other;
    QString Device;      // the device the port name stands for, when known
    TLineSettings Line;  // what was asked of the port
    int LibraryCode = 0; // EComm32Error::TErrorCode
    unsigned long SystemError = 0;
};

// Sorts a failed opening by the library's error code and the system error
// of the call that failed. A refused access is told apart on Linux by
// whether the user may open the device at all: if not, it is the
// permissions, else another program holds it.
TOpenFailure ClassifyOpenFailure(int LibraryCode, unsigned long SystemError, const QString& Device,
                                 const TLineSettings& Line);

// The line for the user, naming the device or the refused setting.
QString OpenFailureText(const TOpenFailure& Failure);

// The first line of a failed opening: the port's name as the user gave it,
// then "开启失败！".
inline constexpr const char16_t* kOpenFailedSuffix = u"开启失败！";
QString OpenFailedLine(const QString& PortName);

// Both, for a port whose Open just raised E.
QString OpenFailureCause(const KelvorComm32::EComm32Error& E, const KelvorComm32::TComm32& Port);

// Gives Port the line settings (no flow control) and opens Device. On
// failure returns false with the cause (the line under "COM03开启失败！")
// and, when asked, its kind.
bool OpenLine(KelvorComm32::TComm32& Port, const QString& Device, const TLineSettings& Line, QString& Cause,
              TOpenCause* Kind = nullptr);

// The device a port name opens: a path as it is; on Linux COMn through the
// device map and any other name under /dev.
QString DeviceForPortName(const QString& PortName);
