// The Win32 serial calls on Linux: opening a tty as a serial device, line
// settings, event masks and waits, overlapped reads and writes, modem lines
// and purges, each on the device object behind the handle.
#include "platform/win32/posix/FaultInjection.h"
#include "platform/win32/posix/SerialDevice.h"
#include "platform/win32/posix/Termios2.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace win32posix::detail {

using win32posix::kFakeDtr;
using win32posix::kFakeRts;

namespace {

// Finds the serial object behind a handle and locks it; fails the call on a
// bad or closed handle.
struct Locked {
    std::shared_ptr<Serial> s;
    std::unique_lock<std::mutex> lk;
    explicit operator bool() const { return s != nullptr; }
    Serial* operator->() const { return s.get(); }
};

Locked Acquire(const char* name, HANDLE h)
{
    if (name && ShouldFail(name))
        return {};
    auto s = LookupAs<Serial>(h, Kind::Serial);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    std::unique_lock lk(s->m);
    if (s->closed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    return Locked{std::move(s), std::move(lk)};
}

BOOL Fail(DWORD err)
{
    SetLastError(err);
    return FALSE;
}

// The event of an OVERLAPPED, or null for none; false when it names no event.
bool OverlappedEvent(const OVERLAPPED* ov, std::shared_ptr<Object>& ev)
{
    ev.reset();
    if (!ov->hEvent)
        return true;
    ev = LookupAs<Object>(ov->hEvent, Kind::Event);
    return ev != nullptr;
}

bool SetModemOutput(Serial& s, int tiocmBit, bool on)
{
    if (FakeModemEnabled()) {
        SetFakeModemOutput(tiocmBit == TIOCM_DTR ? kFakeDtr : kFakeRts, on);
        return true;
    }
    int bits = tiocmBit;
    if (Ioctl(s.fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
        if (HangUpErrno(errno))
            s.HangUp();
        return false;
    }
    return true;
}

DCB DcbFromLine(const TtyLine& line)
{
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.BaudRate = line.baud;
    d.fBinary = 1;
    d.fParity = line.parityCheck ? 1 : 0;
    d.fOutxCtsFlow = line.rtsCts ? 1 : 0;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = line.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    d.fOutX = line.xonOut ? 1 : 0;
    d.fInX = line.xonIn ? 1 : 0;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.ByteSize = static_cast<BYTE>(line.dataBits);
    d.Parity = static_cast<BYTE>(line.parity == TtyLine::None ? NOPARITY
                                 : line.parity == TtyLine::Odd ? ODDPARITY
                                 : line.parity == TtyLine::Even ? EVENPARITY
                                 : line.parity == TtyLine::Mark ? MARKPARITY
                                                                : SPACEPARITY);
    d.StopBits = line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
    d.XonChar = static_cast<char>(line.xonChar);
    d.XoffChar = static_cast<char>(line.xoffChar);
    return d;
}

// Checks a DCB the way Windows does and turns it into tty settings.
DWORD LineFromDcb(const DCB& d, TtyLine& line)
{
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS)
        return ERROR_INVALID_PARAMETER;
    // 1.5 stop bits exist only with 5 data bits, 2 only with 6 to 8.
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5)
        return ERROR_INVALID_PARAMETER;
    if (d.StopBits == TWOSTOPBITS && d.ByteSize == 5)
        return ERROR_INVALID_PARAMETER;
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar)
        return ERROR_INVALID_PARAMETER;
    // Linux has no DSR/DTR handshake. RTS toggling is the driver's RS-485
    // mode, and CRTSCTS would take RTS from it.
    if (d.fOutxDsrFlow || d.fDtrControl == DTR_CONTROL_HANDSHAKE)
        return ERROR_NOT_SUPPORTED;
    if (d.fRtsControl == RTS_CONTROL_TOGGLE && d.fOutxCtsFlow)
        return ERROR_NOT_SUPPORTED;
    line.baud = d.BaudRate;
    line.dataBits = d.ByteSize;
    line.parity = static_cast<TtyLine::Parity>(d.Parity);
    line.parityCheck = d.fParity != 0;
    // With 5 data bits, CSTOPB gives 1.5 stop bits on the wire.
    line.twoStopBits = d.StopBits != ONESTOPBIT;
    line.rtsCts = d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE;
    line.xonOut = d.fOutX != 0;
    line.xonIn = d.fInX != 0;
    line.xonChar = static_cast<unsigned char>(d.XonChar);
    line.xoffChar = static_cast<unsigned char>(d.XoffChar);
    return 0;
}

} // namespace

} // namespace win32posix::detail

using namespace win32posix::detail;
using win32posix::ShouldFail;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD,
                   HANDLE)
{
    if (ShouldFail("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    if (!lpFileName || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = win32posix::ResolveDevicePath(std::u16string(lpFileName, WideLength(lpFileName)));
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD err = CheckSerialDevice(path)) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    auto s = std::make_shared<Serial>();
    int fd;
    while ((fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (fd < 0) {
        SetLastError(OpenErrnoToWin32(errno));
        return INVALID_HANDLE_VALUE;
    }
    s->fd = fd;
    auto fail = [](DWORD err) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    };
    if (!isatty(fd))
        return fail(ERROR_BAD_DEVICE); // replaced since it was looked at
    // Windows opens ports for one user only. TIOCEXCL keeps other programs
    // out, but not root; the lock also covers root and this process.
    int r;
    while ((r = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (r != 0)
        return fail(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno));
    s->exclusive = ioctl(fd, TIOCEXCL) == 0;
    // Given back at closing: a terminal left raw stops echoing its user.
    s->savedValid = TtySave(fd, s->saved) == 0;
    if (int e = TtyMakeRaw(fd))
        return fail(ErrnoToWin32(e));
    TtyLine line;
    if (int e = TtyGetLine(fd, line))
        return fail(ErrnoToWin32(e));
    s->dcb = DcbFromLine(line);
    s->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wake < 0)
        return fail(ErrnoToWin32(errno));
    try {
        s->Start();
    } catch (const std::exception&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return reinterpret_cast<HANDLE>(Insert(std::move(s)));
}

BOOL SetupComm(HANDLE hFile, DWORD, DWORD)
{
    // The kernel sizes its own buffers; there is nothing to ask for.
    Locked s = Acquire("SetupComm", hFile);
    return s ? TRUE : FALSE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    Locked s = Acquire("GetCommState", hFile);
    if (!s)
        return FALSE;
    if (!lpDCB)
        return Fail(ERROR_INVALID_PARAMETER);
    *lpDCB = s->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    Locked s = Acquire("SetCommState", hFile);
    if (!s)
        return FALSE;
    if (!lpDCB)
        return Fail(ERROR_INVALID_PARAMETER);
    if (s->hungUp)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    DCB d = *lpDCB;
    TtyLine line;
    if (DWORD err = LineFromDcb(d, line))
        return Fail(err);
    // First, so that a driver without RS-485 mode leaves the line untouched.
    const bool toggle = d.fRtsControl == RTS_CONTROL_TOGGLE;
    if (DWORD err = s->SetRs485(toggle))
        return Fail(err);
    if (int e = TtySetLine(s->fd, line)) {
        if (HangUpErrno(e)) {
            s->HangUp();
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        return Fail(ErrnoToWin32(e));
    }
    // A pty has no modem lines; that is no reason to refuse the settings.
    SetModemOutput(*s.s, TIOCM_DTR, d.fDtrControl != DTR_CONTROL_DISABLE);
    if (!toggle) // in RS-485 mode RTS is the driver's
        SetModemOutput(*s.s, TIOCM_RTS, d.fRtsControl != RTS_CONTROL_DISABLE);
    d.DCBlength = sizeof(DCB);
    s->dcb = d;
    return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    Locked s = Acquire("SetCommMask", hFile);
    if (!s)
        return FALSE;
    if (dwEvtMask & ~static_cast<DWORD>(kAllEvents))
        return Fail(ERROR_INVALID_PARAMETER);
    if (s->wait)
        s->FinishWait(0);
    const bool lineWatchStarts = (dwEvtMask & kLineEvents) && !(s->mask & kLineEvents);
    s->mask = dwEvtMask;
    s->history &= dwEvtMask;
    if (lineWatchStarts) {
        // Changes count from now on, not from some earlier sample.
        DWORD ms = 0;
        s->lastModem = s->ReadModem(ms) ? static_cast<long>(ms) : -1;
    }
    if (dwEvtMask & (EV_ERR | EV_BREAK))
        s->CheckLineErrors();
    s->Kick();
    return TRUE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    Locked s = Acquire("GetCommMask", hFile);
    if (!s)
        return FALSE;
    if (!lpEvtMask)
        return Fail(ERROR_INVALID_PARAMETER);
    *lpEvtMask = s->mask;
    return TRUE;
}

// Starts an overlapped call: finds the event that will tell of its end
// (none: the file object itself) and clears it. False on a bad event handle.
static bool BeginOverlapped(Locked& s, LPOVERLAPPED ov, std::shared_ptr<Object>& ev)
{
    if (!OverlappedEvent(ov, ev))
        return false;
    if (ev)
        Unsignal(*ev);
    else
        Unsignal(*s.s);
    return true;
}

// A read or write that the monitor finishes later.
static Op PendingOp(LPOVERLAPPED ov, std::shared_ptr<Object> ev)
{
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    Op op;
    op.ov = ov;
    op.event = std::move(ev);
    op.owner = pthread_self();
    return op;
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    Locked s = Acquire("WaitCommEvent", hFile);
    if (!s)
        return FALSE;
    if (!lpEvtMask || !lpOverlapped || s->wait)
        return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<Object> ev;
    if (!OverlappedEvent(lpOverlapped, ev))
        return Fail(ERROR_INVALID_HANDLE);
    // A thread that waits on the event may watch received bytes itself; set
    // before the look below, which may complete the wait (and clear it).
    if (ev)
        ResetForInline(*ev, s.s);
    else
        Unsignal(*s.s);
    lpOverlapped->Internal = kStatusPending;
    lpOverlapped->InternalHigh = 0;
    s->wait = WaitOp{lpEvtMask, lpOverlapped, ev, pthread_self()};
    // The thread that watches received bytes itself and waits again finds
    // bytes already waiting with its own (level-triggered) poll; should it
    // not wait that way, giving the watch back to the monitor makes epoll
    // look at the tty again. Either way the count is taken then, not here.
    s->Evaluate(!(ev && s->rxMark == 0 && s->reads.empty() && s->IsInlineOwner()));
    if (!s->wait)
        return TRUE; // an event was already there; *lpEvtMask holds it
    // The thread that watched received bytes for the last wait keeps the
    // watch (it waits again at once); for anyone else the monitor takes it
    // until then. Arrivals, hang-ups and the output's drain wake the monitor
    // anyway; only the sampling of modem lines starts with a wait.
    if (!ev || !pthread_equal(s->inlineOwner, pthread_self()))
        s->ReleaseInline();
    if (s->WatchingModem())
        s->Kick();
    return Fail(ERROR_IO_PENDING);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    Locked s = Acquire("ClearCommError", hFile);
    if (!s)
        return FALSE;
    if (s->hungUp)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    s->CheckLineErrors();
    if (lpErrors)
        *lpErrors = s->lineErrors;
    s->lineErrors = 0;
    if (lpStat) {
        std::memset(lpStat, 0, sizeof *lpStat);
        lpStat->cbInQue = s->InQueForStatus();
        lpStat->cbOutQue = s->OutQueForStatus();
    }
    if (s->hungUp)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped)
{
    Locked s = Acquire("ReadFile", hFile);
    if (!s)
        return FALSE;
    if (!lpOverlapped || (!lpBuffer && nNumberOfBytesToRead))
        return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<Object> ev;
    if (!OverlappedEvent(lpOverlapped, ev))
        return Fail(ERROR_INVALID_HANDLE);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    // A read that completes at once sets its event again at once: the event
    // is cleared only for one that stays pending.
    DWORD err = 0;
    ssize_t n = 0;
    if (nNumberOfBytesToRead > 0 && s->reads.empty()) {
        if (s->hungUp)
            err = ERROR_DEVICE_NOT_CONNECTED;
        else
            n = s->ReadNow(lpBuffer, nNumberOfBytesToRead, err);
    }
    if (nNumberOfBytesToRead == 0 || n > 0 || err) {
        s->Finish(lpOverlapped, ev, err, n > 0 ? static_cast<DWORD>(n) : 0);
        if (err)
            return Fail(err);
        if (lpNumberOfBytesRead)
            *lpNumberOfBytesRead = static_cast<DWORD>(n);
        s->Evaluate(); // a wait may now see bytes beyond those reported
        return TRUE;
    }
    if (ev)
        Unsignal(*ev);
    else
        Unsignal(*s.s);
    Op op = PendingOp(lpOverlapped, std::move(ev));
    op.readBuf = static_cast<std::uint8_t*>(lpBuffer);
    op.size = nNumberOfBytesToRead;
    s->reads.push_back(std::move(op));
    s->Kick();
    return Fail(ERROR_IO_PENDING);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped)
{
    Locked s = Acquire("WriteFile", hFile);
    if (!s)
        return FALSE;
    if (!lpOverlapped || (!lpBuffer && nNumberOfBytesToWrite))
        return Fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<Object> ev;
    if (!BeginOverlapped(s, lpOverlapped, ev))
        return Fail(ERROR_INVALID_HANDLE);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    DWORD err = 0;
    ssize_t n = 0;
    if (s->hungUp)
        err = ERROR_DEVICE_NOT_CONNECTED;
    else if (nNumberOfBytesToWrite > 0 && s->writes.empty())
        n = s->WriteNow(lpBuffer, nNumberOfBytesToWrite, err);
    if (err) {
        s->Finish(lpOverlapped, ev, err, 0);
        return Fail(err);
    }
    const DWORD taken = static_cast<DWORD>(n);
    if (taken == nNumberOfBytesToWrite) {
        s->Finish(lpOverlapped, ev, 0, taken);
        if (lpNumberOfBytesWritten)
            *lpNumberOfBytesWritten = taken;
        s->Evaluate();
        if (s->txPending)
            s->Kick(); // let the monitor watch the output drain
        return TRUE;
    }
    // The rest goes when the device has room; the bytes are kept here.
    Op op = PendingOp(lpOverlapped, std::move(ev));
    const auto* p = static_cast<const std::uint8_t*>(lpBuffer);
    op.data.assign(p, p + nNumberOfBytesToWrite);
    op.done = taken;
    s->writes.push_back(std::move(op));
    s->Kick();
    return Fail(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    Locked s = Acquire("GetOverlappedResult", hFile);
    if (!s)
        return FALSE;
    if (!lpOverlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    if (lpOverlapped->Internal == kStatusPending)
        s->ReleaseInline(); // no thread may be watching for it but the monitor
    while (lpOverlapped->Internal == kStatusPending) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        ++s->doneWaiters;
        s->done.wait(s.lk);
        --s->doneWaiters;
        if (s->closed)
            return Fail(ERROR_OPERATION_ABORTED);
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (DWORD err = ErrorOf(lpOverlapped->Internal))
        return Fail(err);
    return TRUE;
}

BOOL CancelIo(HANDLE hFile)
{
    Locked s = Acquire("CancelIo", hFile);
    if (!s)
        return FALSE;
    // Like Windows: only what the calling thread started.
    const pthread_t self = pthread_self();
    auto cancel = [&](std::deque<Op>& ops) {
        for (auto it = ops.begin(); it != ops.end();) {
            if (pthread_equal(it->owner, self)) {
                s->Finish(it->ov, it->event, ERROR_OPERATION_ABORTED, it->done);
                it = ops.erase(it);
            } else {
                ++it;
            }
        }
    };
    cancel(s->reads);
    cancel(s->writes);
    if (s->wait && pthread_equal(s->wait->owner, self))
        s->FinishWait(0, ERROR_OPERATION_ABORTED);
    s->Kick();
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    Locked s = Acquire("GetCommModemStatus", hFile);
    if (!s)
        return FALSE;
    if (!lpModemStat)
        return Fail(ERROR_INVALID_PARAMETER);
    if (s->hungUp)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    if (!FakeModemEnabled()) {
        int bits = 0;
        if (Ioctl(s->fd, TIOCMGET, &bits) != 0) {
            DWORD err = HangUpErrno(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrnoToWin32(errno);
            if (err == ERROR_DEVICE_NOT_CONNECTED)
                s->HangUp();
            return Fail(err);
        }
        *lpModemStat = TiocmToMs(bits);
        return TRUE;
    }
    *lpModemStat = FakeModemInputs();
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    Locked s = Acquire("EscapeCommFunction", hFile);
    if (!s)
        return FALSE;
    if (s->hungUp)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    auto result = [&](int r) -> BOOL {
        if (r == 0)
            return TRUE;
        DWORD err = HangUpErrno(errno) ? ERROR_DEVICE_NOT_CONNECTED : ErrnoToWin32(errno);
        if (err == ERROR_DEVICE_NOT_CONNECTED)
            s->HangUp();
        return Fail(err);
    };
    switch (dwFunc) {
    case SETDTR:
    case CLRDTR:
    case SETRTS:
    case CLRRTS: {
        const int bit = (dwFunc == SETDTR || dwFunc == CLRDTR) ? TIOCM_DTR : TIOCM_RTS;
        const bool on = dwFunc == SETDTR || dwFunc == SETRTS;
        return SetModemOutput(*s.s, bit, on) ? TRUE : result(-1);
    }
    case SETBREAK:
        return result(Ioctl(s->fd, TIOCSBRK, nullptr));
    case CLRBREAK:
        return result(Ioctl(s->fd, TIOCCBRK, nullptr));
    case SETXOFF:
        return result(Retry([&] { return tcflow(s->fd, TCOOFF); }));
    case SETXON:
        return result(Retry([&] { return tcflow(s->fd, TCOON); }));
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    Locked s = Acquire("PurgeComm", hFile);
    if (!s)
        return FALSE;
    const DWORD all = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (dwFlags == 0 || (dwFlags & ~all))
        return Fail(ERROR_INVALID_PARAMETER);
    auto abort = [&](std::deque<Op>& ops) {
        for (Op& op : ops)
            s->Finish(op.ov, op.event, ERROR_OPERATION_ABORTED, op.done);
        ops.clear();
    };
    if (dwFlags & PURGE_TXABORT)
        abort(s->writes);
    if (dwFlags & PURGE_RXABORT)
        abort(s->reads);
    if (s->hungUp)
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    int r = 0;
    if (dwFlags & PURGE_TXCLEAR)
        r = Retry([&] { return tcflush(s->fd, TCOFLUSH); });
    if (r == 0 && (dwFlags & PURGE_RXCLEAR)) {
        r = Retry([&] { return tcflush(s->fd, TCIFLUSH); });
        if (r == 0) {
            s->rxMark = 0;
            s->rxCountedValid = false;
        }
    }
    s->Kick();
    if (r != 0) {
        if (HangUpErrno(errno)) {
            s->HangUp();
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        return Fail(ErrnoToWin32(errno));
    }
    return TRUE;
}
