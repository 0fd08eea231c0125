#pragma once
// RS-485 direction control on Linux, the part a DCB cannot carry. A DCB with
// fRtsControl = RTS_CONTROL_TOGGLE makes SetCommState put the driver in
// RS-485 mode (TIOCSRS485): the driver raises RTS, which turns the line
// transmitter on, while bytes go out. The RTS level and the delays it then
// asks for are set here. On Windows the adapter's driver decides them, so
// the Windows build has no such call.
//
// A driver without RS-485 mode (a pseudo-terminal, a UART that has none)
// makes that SetCommState fail with ERROR_NOT_SUPPORTED and leaves the line
// settings as they were. Any other fRtsControl turns the mode off again on a
// port where SetCommState turned it on, and so does closing the handle: the
// driver gets back the RS-485 setting it had before. A port that never asked
// for the mode is never asked about it.
#include "platform/win32/Win32.h"

namespace win32posix {

struct Rs485Options {
    bool rtsHighOnSend = true;   // RTS high while sending and low after; false: the reverse
    DWORD delayBeforeSendMs = 0; // from RTS switching on to the first bit
    DWORD delayAfterSendMs = 0;  // from the last bit to RTS switching back
};

// Keeps the options for the device's next SetCommState with
// RTS_CONTROL_TOGGLE. FALSE (ERROR_INVALID_HANDLE) for a bad handle.
BOOL SetRs485Options(HANDLE hFile, const Rs485Options& options);

} // namespace win32posix
