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
} // namespace

void Serial::Start() { monitor = std::thread([this] { Run(); }); }

int Serial::DrainPollMs()
{
    DWORD baud = dcb.BaudRate ? dcb.BaudRate : 9600;
    DWORD bits = 1u + dcb.ByteSize + (dcb.Parity ? 1u : 0u) + (dcb.StopBits ? 2u : 1u);
    unsigned long long ms = static_cast<unsigned long long>(OutQue()) * bits * 1000ull / baud + 1;
    return static_cast<int>(std::clamp<unsigned long long>(ms, 1, 50));
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
