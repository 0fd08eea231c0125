// The serial device object: reading and writing the tty for the operations
// that wait on it, hang-up, drain, modem lines and line errors.
#include "platform/win32/posix/SerialDevice.h"

#include "platform/win32/posix/FaultInjection.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace win32posix::detail {

int Ioctl(int fd, unsigned long req, void* arg)
{
    int r;
    while ((r = ioctl(fd, req, arg)) != 0 && errno == EINTR) {
    }
    return ApplyIoctlSeam(fd, req, arg, r);
}

DWORD TiocmToMs(int bits)
{
    DWORD ms = 0;
    if (bits & TIOCM_CTS) ms |= MS_CTS_ON;
    if (bits & TIOCM_DSR) ms |= MS_DSR_ON;
    if (bits & TIOCM_RI) ms |= MS_RING_ON;
    if (bits & TIOCM_CD) ms |= MS_RLSD_ON;
    return ms;
}

void Serial::Kick()
{
    std::uint64_t one = 1;
    ssize_t r;
    while ((r = ::write(wake, &one, sizeof one)) < 0 && errno == EINTR) {
    }
    (void)r;
}

void Serial::SignalOp(const std::shared_ptr<Object>& ev, bool EndsInline)
{
    WakeList* later = deferWakes ? &deferred : nullptr;
    if (ev)
        Signal(*ev, later, EndsInline);
    else
        Signal(*this, later);
}

void Serial::Finish(OVERLAPPED* ov, const std::shared_ptr<Object>& ev, DWORD err, DWORD count, bool EndsInline)
{
    ov->InternalHigh = count;
    ov->Internal = StatusOf(err);
    SignalOp(ev, EndsInline);
    if (doneWaiters > 0)
        done.notify_all();
}

void Serial::FinishWait(DWORD events, DWORD err)
{
    WaitOp w = std::move(*wait);
    wait.reset();
    *w.maskOut = events;
    Finish(w.ov, w.event, err, 0, true);
}

DWORD Serial::InQue()
{
    int n = 0;
    if (hungUp || Ioctl(fd, FIONREAD, &n) != 0) {
        if (!hungUp && HangUpErrno(errno))
            HangUp();
        return 0;
    }
    return n > 0 ? static_cast<DWORD>(n) : 0;
}

DWORD Serial::OutQue()
{
    int n = 0;
    if (hungUp || Ioctl(fd, TIOCOUTQ, &n) != 0)
        return 0;
    if (n <= 0)
        outQueued = false;
    return n > 0 ? static_cast<DWORD>(n) : 0;
}

DWORD Serial::InQueForStatus()
{
    if (rxCountedValid) {
        rxCountedValid = false;
        return rxCounted;
    }
    return InQue();
}

DWORD Serial::OutQueForStatus() { return outQueued ? OutQue() : 0; }

void Serial::HangUp()
{
    if (hungUp)
        return;
    hungUp = true;
    txPending = false;
    outQueued = false;
    rxCountedValid = false;
    history |= mask & EV_ERR; // reported once; later waits stay pending
    for (Op& op : reads)
        Finish(op.ov, op.event, ERROR_DEVICE_NOT_CONNECTED, 0);
    for (Op& op : writes)
        Finish(op.ov, op.event, ERROR_DEVICE_NOT_CONNECTED, op.done);
    reads.clear();
    writes.clear();
}

ssize_t Serial::ReadNow(void* buf, DWORD size, DWORD& err)
{
    ssize_t n;
    rxCountedValid = false;
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

ssize_t Serial::WriteNow(const void* buf, DWORD size, DWORD& err)
{
    ssize_t n;
    while ((n = ::write(fd, buf, size)) < 0 && errno == EINTR) {
    }
    if (n > 0) {
        txPending = true;
        outQueued = true;
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

void Serial::ServeReads()
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

void Serial::ServeWrites()
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
bool Serial::Drained()
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

bool Serial::ReadModem(DWORD& ms)
{
    if (FakeModemEnabled()) {
        ms = FakeModemInputs();
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

bool Serial::WatchingModem() const { return (mask & kLineEvents) && (modemSupported || FakeModemEnabled()); }

void Serial::CheckModem()
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
void Serial::CheckLineErrors()
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

void Serial::Evaluate(bool CountInput)
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
    DWORD ev = 0;
    if ((mask & EV_RXCHAR) && !hungUp && CountInput) {
        inq = InQue();
        if (inq > rxMark)
            ev |= EV_RXCHAR;
        else if (inq < rxMark)
            rxMark = inq; // flushed behind our back
    }
    // After the count: asking for it may be what finds the line gone.
    ev |= history & mask;
    if (ev == 0)
        return;
    history &= ~ev;
    if (ev & EV_RXCHAR) {
        rxMark = inq;
        rxCounted = inq;
        rxCountedValid = true;
    }
    FinishWait(ev);
}

void Serial::ReleaseInline()
{
    if (!inlineOwned)
        return;
    inlineOwned = false;
    WatchFdNow();
}

void Serial::LeaveInline()
{
    std::lock_guard lk(m);
    if (wait && inlineOwned && pthread_equal(inlineOwner, pthread_self()))
        ReleaseInline();
}

// Only a wait for received bytes with none reported and unread: poll()
// then tells of new bytes only, as the monitor's edges do.
bool Serial::WaitInline(Waiter& W, int Milliseconds)
{
    const pthread_t self = pthread_self();
    int tty;
    {
        std::lock_guard lk(m);
        if (closed || hungUp || !wait || !(mask & EV_RXCHAR) || rxMark != 0 || !reads.empty()) {
            if (pthread_equal(inlineOwner, self))
                ReleaseInline();
            return false;
        }
        if (!inlineOwned || !pthread_equal(inlineOwner, self)) {
            inlineOwner = self;
            inlineOwned = true;
            WatchFdNow();
        }
        tty = fd;
    }
    // A close sets the event we wait for, which knocks on W.efd first.
    pollfd p[2] = {{W.efd, POLLIN, 0}, {tty, POLLIN, 0}};
    int n;
    while ((n = ::poll(p, 2, Milliseconds)) < 0 && errno == EINTR) {
    }
    W.polling.store(false); // what we complete below needs no knock
    if (n > 0 && (p[0].revents & POLLIN)) {
        std::uint64_t v;
        ssize_t r = ::read(W.efd, &v, sizeof v);
        (void)r;
    }
    if (n > 0 && p[1].revents) {
        std::lock_guard lk(m);
        if (!closed) {
            if ((p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !hungUp) {
                ServeReads();
                HangUp();
            }
            Evaluate();
        }
    }
    return true;
}

void Serial::Shutdown()
{
    {
        std::lock_guard lk(m);
        if (!closed) {
            closed = true;
            // The owners may have gone already: wake them, but leave
            // their OVERLAPPED and mask alone.
            if (wait && wait->event)
                ClearInlineSource(*wait->event);
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
        // The driver keeps its RS-485 mode for the next program, and the
        // settings and the flag outlive our descriptor: a terminal someone
        // else uses gets back what it had.
        SetRs485(false);
        if (savedValid && !hungUp)
            TtyRestore(fd, saved);
        if (exclusive)
            ioctl(fd, TIOCNXCL);
        ::close(fd);
        fd = -1;
    }
    if (wake >= 0) {
        ::close(wake);
        wake = -1;
    }
    if (poller >= 0) {
        ::close(poller);
        poller = -1;
    }
}

} // namespace win32posix::detail
