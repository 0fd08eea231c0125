// The monitor thread of a serial device: one per open handle, it waits in
// poll() for the tty and its wake-up eventfd, and moves the device's
// operations on (Serial::Evaluate) each time it wakes.
#include "platform/win32/posix/SerialDevice.h"

#include "platform/win32/posix/FaultInjection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace win32posix {

namespace {
std::atomic<std::uint64_t> gMonitorWakeups{0};
} // namespace

std::uint64_t MonitorWakeups() { return gMonitorWakeups.load(); }

} // namespace win32posix

namespace win32posix::detail {

namespace {
// How often modem lines are sampled while someone waits for them.
constexpr int kModemPollMs = 20;
// While bytes sit unread after being reported, new arrivals cannot be seen
// with poll(); look at the count now and then instead.
constexpr int kUnreadPollMs = 20;
// Longest wait between looks at an output queue that does not move.
constexpr int kDrainBackOffMaxMs = 100;
} // namespace

void Serial::Start() { monitor = std::thread([this] { Run(); }); }

// Time to the next look at an output queue that is draining: about as long
// as its bytes take on the line. While the count does not move (flow control
// holds the line) each look waits twice as long as the one before, up to
// kDrainBackOffMaxMs, so a held line costs a few wake-ups a second.
int Serial::DrainPollMs()
{
    const DWORD queued = OutQue();
    const DWORD baud = dcb.BaudRate ? dcb.BaudRate : 9600;
    const DWORD bits = 1u + dcb.ByteSize + (dcb.Parity ? 1u : 0u) + (dcb.StopBits ? 2u : 1u);
    const unsigned long long lineMs = static_cast<unsigned long long>(queued) * bits * 1000ull / baud + 1;
    int ms = static_cast<int>(std::clamp<unsigned long long>(lineMs, 1, 50));
    if (queued != 0 && queued == drainSeen && drainWaitMs > 0)
        ms = std::clamp(drainWaitMs * 2, ms, std::max(ms, kDrainBackOffMaxMs));
    drainSeen = queued;
    drainWaitMs = ms;
    return ms;
}

void Serial::Run()
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
            else
                drainWaitMs = 0; // the next drain starts from the line's pace
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
        win32posix::gMonitorWakeups.fetch_add(1, std::memory_order_relaxed);
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

} // namespace win32posix::detail
