// RS-485 mode of a serial device: the options SetCommState asks the driver
// for, and turning the mode on and off through the layer's ioctl path.
#include "platform/win32/posix/Rs485.h"

#include "platform/win32/posix/SerialDevice.h"

#include <sys/ioctl.h>

namespace win32posix {

BOOL SetRs485Options(HANDLE hFile, const Rs485Options& options)
{
    auto s = detail::LookupAs<detail::Serial>(hFile, detail::Kind::Serial);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lk(s->m);
    if (s->closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    s->rs485Options = options;
    return TRUE;
}

} // namespace win32posix

namespace win32posix::detail {

DWORD Serial::SetRs485(bool on)
{
    if (!on && !rs485On)
        return 0; // never asked for: the driver's own setting stays untouched
    serial_rs485 conf{};
    if (on) {
        if (!rs485On && Ioctl(fd, TIOCGRS485, &rs485Before) != 0)
            rs485Before = serial_rs485{}; // a driver that cannot tell has the mode off
        conf.flags = SER_RS485_ENABLED |
                     (rs485Options.rtsHighOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
        conf.delay_rts_before_send = rs485Options.delayBeforeSendMs;
        conf.delay_rts_after_send = rs485Options.delayAfterSendMs;
    } else {
        conf = rs485Before;
    }
    if (Ioctl(fd, TIOCSRS485, &conf) != 0) {
        const int e = errno;
        if (HangUpErrno(e)) {
            HangUp();
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        // ENOTTY from a pty or a driver without the ioctl, EINVAL from a
        // UART that has no RS-485 mode.
        return Unsupported(e) ? ERROR_NOT_SUPPORTED : ErrnoToWin32(e);
    }
    rs485On = on;
    return 0;
}

} // namespace win32posix::detail
