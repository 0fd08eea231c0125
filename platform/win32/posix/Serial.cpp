// Serial devices: CreateFileW on a tty and the Win32 communications calls,
// with overlapped completion driven by one monitor thread per open handle.
#include "platform/win32/posix/FaultInjection.h"
#include "platform/win32/posix/Internal.h"
#include "platform/win32/posix/Termios2.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/serial.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace win32posix {

namespace {
std::atomic<bool> gFakeModem{false};
std::atomic<DWORD> gFakeInputs{0};
std::atomic<DWORD> gFakeOutputs{kFakeDtr | kFakeRts};
std::atomic<std::uint64_t> gMonitorWakeups{0};
} // namespace

void SetFakeModemLines(bool enabled, DWORD inputs)
{
    gFakeInputs.store(inputs & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
    gFakeModem.store(enabled);
}

DWORD FakeModemOutputs() { return gFakeOutputs.load(); }

std::uint64_t MonitorWakeups() { return gMonitorWakeups.load(); }

} // namespace win32posix

namespace win32posix::detail {

namespace {

// OVERLAPPED::Internal holds the state of an operation: 0 done, pending, or
// a failure carrying its Win32 error code.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusErrorBit = 0xE0000000u;
ULONG_PTR StatusOf(DWORD err) { return err ? (kStatusErrorBit | err) : 0; }
DWORD ErrorOf(ULONG_PTR st) { return st == 0 ? 0 : static_cast<DWORD>(st & 0xFFFFu); }

constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kAllEvents = 0x07FF;
// How often modem lines are sampled while someone waits for them.
constexpr int kModemPollMs = 20;
// While bytes sit unread after being reported, new arrivals cannot be seen
// with poll(); look at the count now and then instead.
constexpr int kUnreadPollMs = 20;

struct Op {
    OVERLAPPED* ov = nullptr;
    std::shared_ptr<Object> event; // null: the file object itself is signalled
    pthread_t owner{};
    std::uint8_t* readBuf = nullptr;
    DWORD size = 0;
    std::vector<std::uint8_t> data; // a write's bytes, copied: the caller's buffer may go first
    DWORD done = 0;
};

struct WaitOp {
    DWORD* maskOut = nullptr;
    OVERLAPPED* ov = nullptr;
    std::shared_ptr<Object> event;
    pthread_t owner{};
};

int Ioctl(int fd, unsigned long req, void* arg)
{
    int r;
    while ((r = ioctl(fd, req, arg)) != 0 && errno == EINTR) {
    }
    return r;
}

// tcflush/tcflow, retried when a signal interrupts them.
template <class F>
int Retry(F f)
{
    int r;
    while ((r = f()) != 0 && errno == EINTR) {
    }
    return r;
}

bool Unsupported(int e) { return e == ENOTTY || e == EINVAL || e == EOPNOTSUPP || e == ENOSYS; }
bool HangUpErrno(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE; }

DWORD TiocmToMs(int bits)
{
    DWORD ms = 0;
    if (bits & TIOCM_CTS) ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR) ms |= MS_DSR_ON;
    if (bits & TIOCM_RI) ms |= MS_RING_ON;
    if (bits & TIOCM_CD) ms |= MS_RLSD_ON;
    return ms;
}

class Serial : public Object {
public:
    Serial() : Object(Kind::Serial, true) {}
    ~Serial() override { Shutdown(); }
    void OnClose() override { Shutdown(); }

    void Start() { monitor = std::thread([this] { Run(); }); }

    // Everything below is guarded by m, except fd and wake which are fixed
    // from Start() until Shutdown() has joined the monitor.
    std::mutex m;
    std::condition_variable done; // an operation finished (GetOverlappedResult)
    int fd = -1;
    int wake = -1;
    bool exclusive = false; // we set TIOCEXCL and must take it back
    bool closed = false;
    bool hungUp = false;
    DWORD mask = 0;
    DWORD history = 0;  // events seen and not yet reported
    DWORD rxMark = 0;   // bytes waiting that were already reported with EV_RXCHAR
    bool txPending = false;
    std::optional<WaitOp> wait;
    std::deque<Op> reads, writes;
    DCB dcb{};
    bool lsrSupported = true;
    bool modemSupported = true;
    bool icountSupported = true;
    long lastModem = -1;
    serial_icounter_struct icount{};
    bool icountValid = false;
    DWORD lineErrors = 0; // CE_ bits for ClearCommError

    void Kick()
    {
        std::uint64_t one = 1;
        ssize_t r;
        while ((r = ::write(wake, &one, sizeof one)) < 0 && errno == EINTR) {
        }
        (void)r;
    }

    void SignalOp(const std::shared_ptr<Object>& ev)
    {
        if (ev)
            Signal(*ev);
        else
            Signal(*this);
    }

    void Finish(OVERLAPPED* ov, const std::shared_ptr<Object>& ev, DWORD err, DWORD count)
    {
        ov->InternalHigh = count;
        ov->Internal = StatusOf(err);
        SignalOp(ev);
        done.notify_all();
    }

    void FinishWait(DWORD events, DWORD err = 0)
    {
        WaitOp w = std::move(*wait);
        wait.reset();
        *w.maskOut = events;
        Finish(w.ov, w.event, err, 0);
    }

    DWORD InQue()
    {
        int n = 0;
        if (hungUp || Ioctl(fd, FIONREAD, &n) != 0) {
            if (!hungUp && HangUpErrno(errno))
                HangUp();
            return 0;
        }
        return n > 0 ? static_cast<DWORD>(n) : 0;
    }

    DWORD OutQue()
    {
        int n = 0;
        if (hungUp || Ioctl(fd, TIOCOUTQ, &n) != 0)
            return 0;
        return n > 0 ? static_cast<DWORD>(n) : 0;
    }

    void HangUp()
    {
        if (hungUp)
            return;
        hungUp = true;
        txPending = false;
        history |= mask & EV_ERR; // reported once; later waits stay pending
        for (Op& op : reads)
            Finish(op.ov, op.event, ERROR_DEVICE_NOT_CONNECTED, 0);
        for (Op& op : writes)
            Finish(op.ov, op.event, ERROR_DEVICE_NOT_CONNECTED, op.done);
        reads.clear();
        writes.clear();
    }

    // Reads into `buf` what the device holds now: >0 bytes, 0 none, -1 failed (error set).
    ssize_t ReadNow(void* buf, DWORD size, DWORD& err)
    {
        ssize_t n;
        while ((n = ::read(fd, buf, size)) < 0 && errno == EINTR) {
        }
        if (n > 0) {
            DWORD got = static_cast<DWORD>(n);
            rxMark = rxMark > got ? rxMark - got : 0;
            return n;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n == 0 || HangUpErrno(errno)) {
            HangUp();
            err = ERROR_DEVICE_NOT_CONNECTED;
        } else {
            err = ErrnoToWin32(errno);
        }
        return -1;
    }

    ssize_t WriteNow(const void* buf, DWORD size, DWORD& err)
    {
        ssize_t n;
        while ((n = ::write(fd, buf, size)) < 0 && errno == EINTR) {
        }
        if (n > 0) {
            txPending = true;
            return n;
        }
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (HangUpErrno(errno)) {
            HangUp();
            err = ERROR_DEVICE_NOT_CONNECTED;
        } else {
            err = ErrnoToWin32(errno);
        }
        return -1;
    }

    void ServeReads()
    {
        while (!reads.empty() && !hungUp) {
            Op& op = reads.front();
            DWORD err = 0;
            ssize_t n = ReadNow(op.readBuf, op.size, err);
            if (n == 0)
                return;
            if (n < 0 && hungUp)
                return; // HangUp() failed them all
            Op finished = std::move(op);
            reads.pop_front();
            Finish(finished.ov, finished.event, n > 0 ? 0 : err, n > 0 ? static_cast<DWORD>(n) : 0);
        }
    }

    void ServeWrites()
    {
        while (!writes.empty() && !hungUp) {
            Op& op = writes.front();
            DWORD err = 0;
            DWORD left = static_cast<DWORD>(op.data.size()) - op.done;
            ssize_t n = WriteNow(op.data.data() + op.done, left, err);
            if (n == 0)
                return;
            if (n < 0 && hungUp)
                return;
            if (n > 0) {
                op.done += static_cast<DWORD>(n);
                if (op.done < op.data.size())
                    continue;
            }
            Op finished = std::move(op);
            writes.pop_front();
            Finish(finished.ov, finished.event, n > 0 ? 0 : err, finished.done);
        }
    }

    // True when the last byte has left: the UART's shift register where the
    // driver tells, else the output queue.
    bool Drained()
    {
        if (lsrSupported) {
            unsigned int lsr = 0;
            if (Ioctl(fd, TIOCSERGETLSR, &lsr) == 0) {
                if (!(lsr & TIOCSER_TEMT))
                    return false;
            } else if (Unsupported(errno)) {
                lsrSupported = false;
            }
        }
        return OutQue() == 0;
    }

    int DrainPollMs()
    {
        DWORD baud = dcb.BaudRate ? dcb.BaudRate : 9600;
        DWORD bits = 1u + dcb.ByteSize + (dcb.Parity ? 1u : 0u) + (dcb.StopBits ? 2u : 1u);
        unsigned long long ms = static_cast<unsigned long long>(OutQue()) * bits * 1000ull / baud + 1;
        return static_cast<int>(std::clamp<unsigned long long>(ms, 1, 50));
    }

    bool ReadModem(DWORD& ms)
    {
        if (gFakeModem.load()) {
            ms = gFakeInputs.load();
            return true;
        }
        if (!modemSupported || hungUp)
            return false;
        int bits = 0;
        if (Ioctl(fd, TIOCMGET, &bits) != 0) {
            if (Unsupported(errno))
                modemSupported = false; // a pty: no lines, stop asking
            else if (HangUpErrno(errno))
                HangUp();
            return false;
        }
        ms = TiocmToMs(bits);
        return true;
    }

    bool WatchingModem() const { return (mask & kLineEvents) && (modemSupported || gFakeModem.load()); }

    void CheckModem()
    {
        DWORD ms = 0;
        if (!ReadModem(ms))
            return;
        if (lastModem >= 0) {
            DWORD changed = ms ^ static_cast<DWORD>(lastModem);
            DWORD ev = 0;
            if (changed & MS_CTS_ON) ev |= EV_CTS;
            if (changed & MS_DSR_ON) ev |= EV_DSR;
            if (changed & MS_RLSD_ON) ev |= EV_RLSD;
            if (changed & MS_RING_ON) ev |= EV_RING;
            history |= ev & mask;
        }
        lastModem = ms;
    }

    // Line errors from the driver's counters, where it keeps them.
    void CheckLineErrors()
    {
        if (!icountSupported || hungUp)
            return;
        serial_icounter_struct now{};
        if (Ioctl(fd, TIOCGICOUNT, &now) != 0) {
            if (Unsupported(errno))
                icountSupported = false;
            return;
        }
        if (icountValid) {
            DWORD ce = 0;
            if (now.overrun != icount.overrun) ce |= CE_OVERRUN;
            if (now.buf_overrun != icount.buf_overrun) ce |= CE_RXOVER;
            if (now.parity != icount.parity) ce |= CE_RXPARITY;
            if (now.frame != icount.frame) ce |= CE_FRAME;
            if (now.brk != icount.brk) {
                ce |= CE_BREAK;
                history |= mask & EV_BREAK;
            }
            if (ce & (CE_OVERRUN | CE_RXOVER | CE_RXPARITY | CE_FRAME))
                history |= mask & EV_ERR;
            lineErrors |= ce;
        }
        icount = now;
        icountValid = true;
    }

    // Moves every operation on as far as the device allows and completes a
    // pending WaitCommEvent when an event it asks for has happened.
    void Evaluate()
    {
        if (closed)
            return;
        if (!hungUp) {
            ServeReads();
            ServeWrites();
            if (txPending && writes.empty() && (mask & EV_TXEMPTY) && !hungUp && Drained()) {
                txPending = false;
                history |= EV_TXEMPTY;
            }
            if (WatchingModem())
                CheckModem();
            if (mask & (EV_ERR | EV_BREAK))
                CheckLineErrors();
        }
        if (!wait)
            return;
        DWORD inq = 0;
        DWORD ev = history & mask;
        if ((mask & EV_RXCHAR) && !hungUp) {
            inq = InQue();
            if (inq > rxMark)
                ev |= EV_RXCHAR;
            else if (inq < rxMark)
                rxMark = inq; // flushed behind our back
        }
        if (ev == 0)
            return;
        history &= ~ev;
        if (ev & EV_RXCHAR)
            rxMark = inq;
        FinishWait(ev);
    }

    void Run()
    {
        pthread_setname_np(pthread_self(), "kc-serial-mon");
        std::unique_lock lk(m);
        while (!closed) {
            Evaluate();
            short events = 0;
            int timeout = -1;
            const bool watchFd = !hungUp;
            auto shorten = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
            if (watchFd) {
                if (!reads.empty())
                    events |= POLLIN;
                if (!writes.empty())
                    events |= POLLOUT;
                if (wait && (mask & EV_RXCHAR)) {
                    DWORD inq = InQue();
                    if (inq == 0)
                        events |= POLLIN;
                    else
                        shorten(kUnreadPollMs);
                }
                if (txPending && writes.empty() && (mask & EV_TXEMPTY))
                    shorten(DrainPollMs());
                if (wait && WatchingModem())
                    shorten(kModemPollMs);
            }
            lk.unlock();
            // POLLHUP/POLLERR come even with no events asked for, which is
            // how an idle handle learns of a hang-up.
            pollfd p[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
            int n;
            while ((n = ::poll(p, watchFd ? 2 : 1, timeout)) < 0 && errno == EINTR) {
            }
            gMonitorWakeups.fetch_add(1, std::memory_order_relaxed);
            if (n > 0 && (p[0].revents & POLLIN)) {
                std::uint64_t v;
                ssize_t r = ::read(wake, &v, sizeof v);
                (void)r;
            }
            lk.lock();
            if (n > 0 && watchFd && (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !closed) {
                // Take what is still readable first; a hang-up ends the line after it.
                ServeReads();
                HangUp();
            }
        }
    }

    void Shutdown()
    {
        {
            std::lock_guard lk(m);
            if (!closed) {
                closed = true;
                // The owners may have gone already: wake them, but leave
                // their OVERLAPPED and mask alone.
                if (wait)
                    SignalOp(wait->event);
                for (Op& op : reads)
                    SignalOp(op.event);
                for (Op& op : writes)
                    SignalOp(op.event);
                wait.reset();
                reads.clear();
                writes.clear();
                Signal(*this);
                done.notify_all();
                if (wake >= 0)
                    Kick();
            }
        }
        if (monitor.joinable())
            monitor.join();
        std::lock_guard lk(m);
        if (fd >= 0) {
            // The flag outlives our descriptor while others hold the tty open.
            if (exclusive)
                ioctl(fd, TIOCNXCL);
            ::close(fd);
            fd = -1;
        }
        if (wake >= 0) {
            ::close(wake);
            wake = -1;
        }
    }

private:
    std::thread monitor;
};

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
    if (gFakeModem.load()) {
        DWORD bit = tiocmBit == TIOCM_DTR ? kFakeDtr : kFakeRts;
        if (on)
            gFakeOutputs.fetch_or(bit);
        else
            gFakeOutputs.fetch_and(~bit);
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
    // Linux has no DSR/DTR handshake and no generic RTS toggling.
    if (d.fOutxDsrFlow || d.fDtrControl == DTR_CONTROL_HANDSHAKE || d.fRtsControl == RTS_CONTROL_TOGGLE)
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
        return fail(ERROR_FILE_NOT_FOUND); // not a serial device
    // Windows opens ports for one user only. TIOCEXCL keeps other programs
    // out, but not root; the lock also covers root and this process.
    int r;
    while ((r = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (r != 0)
        return fail(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno));
    s->exclusive = ioctl(fd, TIOCEXCL) == 0;
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
    if (int e = TtySetLine(s->fd, line)) {
        if (HangUpErrno(e)) {
            s->HangUp();
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        return Fail(ErrnoToWin32(e));
    }
    // A pty has no modem lines; that is no reason to refuse the settings.
    SetModemOutput(*s.s, TIOCM_DTR, d.fDtrControl != DTR_CONTROL_DISABLE);
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
    if (!BeginOverlapped(s, lpOverlapped, ev))
        return Fail(ERROR_INVALID_HANDLE);
    lpOverlapped->Internal = kStatusPending;
    lpOverlapped->InternalHigh = 0;
    s->wait = WaitOp{lpEvtMask, lpOverlapped, ev, pthread_self()};
    s->Evaluate();
    if (!s->wait)
        return TRUE; // an event was already there; *lpEvtMask holds it
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
        lpStat->cbInQue = s->InQue();
        lpStat->cbOutQue = s->OutQue();
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
    if (!BeginOverlapped(s, lpOverlapped, ev))
        return Fail(ERROR_INVALID_HANDLE);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
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
    while (lpOverlapped->Internal == kStatusPending) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        s->done.wait(s.lk);
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
    if (!win32posix::gFakeModem.load()) {
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
    *lpModemStat = win32posix::gFakeInputs.load();
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
        if (r == 0)
            s->rxMark = 0;
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
