#pragma once
// The serial device behind a HANDLE of the Linux Win32 layer: the tty, the
// overlapped operations waiting on it and its event state. Its monitor
// thread (SerialMonitor.cpp) and the Win32 calls (SerialApi.cpp) drive it.
#include "platform/win32/posix/Internal.h"
#include "platform/win32/posix/Rs485.h"
#include "platform/win32/posix/Termios2.h"

#include <linux/serial.h>
#include <pthread.h>
#include <sys/types.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace win32posix::detail {

// OVERLAPPED::Internal holds the state of an operation: 0 done, pending, or
// a failure carrying its Win32 error code.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusErrorBit = 0xE0000000u;
inline ULONG_PTR StatusOf(DWORD err) { return err ? (kStatusErrorBit | err) : 0; }
inline DWORD ErrorOf(ULONG_PTR st) { return st == 0 ? 0 : static_cast<DWORD>(st & 0xFFFFu); }

constexpr DWORD kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kAllEvents = 0x07FF;

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

// ioctl on a tty, retried when a signal interrupts it. Tests can see and
// change what it reports (SetIoctlSeam).
int Ioctl(int fd, unsigned long req, void* arg);
int ApplyIoctlSeam(int fd, unsigned long request, void* arg, int result);

// tcflush/tcflow, retried when a signal interrupts them.
template <class F>
int Retry(F f)
{
    int r;
    while ((r = f()) != 0 && errno == EINTR) {
    }
    return r;
}

inline bool Unsupported(int e) { return e == ENOTTY || e == EINVAL || e == EOPNOTSUPP || e == ENOSYS; }
inline bool HangUpErrno(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE; }
DWORD TiocmToMs(int bits);

// The stand-in modem lines of SetFakeModemLines (FaultInjection.cpp).
bool FakeModemEnabled();
DWORD FakeModemInputs();
void SetFakeModemOutput(DWORD bit, bool on);

class Serial : public Object {
public:
    Serial() : Object(Kind::Serial, true) {}
    ~Serial() override { Shutdown(); }
    void OnClose() override { Shutdown(); }

    // Starts the monitor thread, which moves pending operations on and
    // completes waits (SerialMonitor.cpp).
    void Start();

    // Everything below is guarded by m, except fd, wake and poller which are
    // fixed from Start() until Shutdown() has joined the monitor.
    std::mutex m;
    std::condition_variable done; // an operation finished (GetOverlappedResult)
    int doneWaiters = 0;          // threads waiting on done
    int fd = -1;
    int wake = -1;
    int poller = -1; // the monitor's epoll set: wake, and fd edge-triggered
    bool exclusive = false; // we set TIOCEXCL and must take it back
    TtySaved saved;         // the tty's settings before we made it raw
    bool savedValid = false;
    bool closed = false;
    bool hungUp = false;
    DWORD mask = 0;
    DWORD history = 0;  // events seen and not yet reported
    DWORD rxMark = 0;   // bytes waiting that were already reported with EV_RXCHAR
    // The count a wait just reported with EV_RXCHAR, for the ClearCommError
    // that follows it: no bytes have left the tty since, so it is at most
    // what waits now, and the bytes it leaves out the next wait reports.
    // Used once; a read, a purge or a hang-up drops it.
    DWORD rxCounted = 0;
    bool rxCountedValid = false;
    bool txPending = false;
    // Bytes were handed to the driver since its output queue was last seen
    // empty; while false the queue is empty without asking.
    bool outQueued = false;
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
    // RS-485 mode (Rs485.cpp): what RTS_CONTROL_TOGGLE asks the driver for,
    // whether we turned the mode on, and the driver's setting from before.
    Rs485Options rs485Options;
    bool rs485On = false;
    serial_rs485 rs485Before{};

    // A thread that waits for a pending WaitCommEvent watches received
    // bytes itself (Object::WaitInline), and keeps that watch between its
    // waits; meanwhile the monitor leaves the tty's input alone.
    bool WaitInline(Waiter& W, int Milliseconds) override;
    void LeaveInline() override;
    // Gives the watch of received bytes back to the monitor.
    void ReleaseInline();
    bool inlineOwned = false;
    pthread_t inlineOwner{};
    // Registers fd in the monitor's set for what is to be watched now.
    void WatchFdNow();

    void Kick();
    void SignalOp(const std::shared_ptr<Object>& ev, bool EndsInline = false);
    void Finish(OVERLAPPED* ov, const std::shared_ptr<Object>& ev, DWORD err, DWORD count, bool EndsInline = false);
    void FinishWait(DWORD events, DWORD err = 0);
    DWORD InQue();
    DWORD OutQue();
    // cbInQue and cbOutQue of ClearCommError, asking the driver only for
    // what this side cannot tell.
    DWORD InQueForStatus();
    DWORD OutQueForStatus();
    void HangUp();
    // Reads into `buf` what the device holds now: >0 bytes, 0 none, -1 failed (error set).
    ssize_t ReadNow(void* buf, DWORD size, DWORD& err);
    ssize_t WriteNow(const void* buf, DWORD size, DWORD& err);
    void ServeReads();
    void ServeWrites();
    bool Drained();
    bool ReadModem(DWORD& ms);
    bool WatchingModem() const;
    void CheckModem();
    void CheckLineErrors();
    // Turns RS-485 mode on with rs485Options, or back to the driver's own
    // setting; 0 or a Win32 error.
    DWORD SetRs485(bool on);
    // Moves every operation on as far as the device allows and completes a
    // pending WaitCommEvent when an event it asks for has happened. Without
    // CountInput it does not ask for the input count: for a wait that the
    // thread which watches the tty itself starts (IsInlineOwner), whose
    // level-triggered poll finds bytes already waiting.
    void Evaluate(bool CountInput = true);
    bool IsInlineOwner() const { return inlineOwned && pthread_equal(inlineOwner, pthread_self()); }
    void Shutdown();

private:
    void Run();
    int DrainPollMs();

    // While the monitor evaluates, the owners of what it completes are woken
    // only once it has let go of m, so that they do not wait for m. The
    // events themselves are set under m, in order with the calls.
    void WatchFd(std::uint32_t events);
    bool deferWakes = false;
    WakeList deferred;
    std::uint32_t watched = 0; // what fd is registered for in poller

    // The monitor's watch on a draining output queue: the count it saw last
    // and how long it then waited (0: not watching).
    DWORD drainSeen = 0;
    int drainWaitMs = 0;

    std::thread monitor;
};

} // namespace win32posix::detail
