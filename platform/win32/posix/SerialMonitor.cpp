// The monitor thread of a serial device: one per open handle, it waits in
// epoll for the tty and its wake-up eventfd, and moves the device's
// operations on (Serial::Evaluate) each time it wakes.
#include "platform/win32/posix/SerialDevice.h"

#include "platform/win32/posix/FaultInjection.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <system_error>

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
// Longest wait between looks at an output queue that does not move.
constexpr int kDrainBackOffMaxMs = 100;
} // namespace

// The tty is watched edge-triggered: every arrival of bytes wakes the
// monitor once, whether or not earlier bytes are still unread, so a wait for
// received bytes needs neither a wake-up of its own nor looks at the count.
// Reads and writes are moved on until the device has no more before each
// wait, which is what edges need.
void Serial::Start()
{
    poller = epoll_create1(EPOLL_CLOEXEC);
    if (poller < 0)
        throw std::system_error(errno, std::generic_category(), "epoll_create1");
    epoll_event w{};
    w.events = EPOLLIN;
    w.data.fd = wake;
    epoll_event t{};
    t.events = EPOLLIN | EPOLLET;
    t.data.fd = fd;
    if (epoll_ctl(poller, EPOLL_CTL_ADD, wake, &w) != 0 || epoll_ctl(poller, EPOLL_CTL_ADD, fd, &t) != 0)
        throw std::system_error(errno, std::generic_category(), "epoll_ctl");
    watched = t.events;
    monitor = std::thread([this] { Run(); });
}

// What the monitor asks of fd: input unless a waiting thread watches it,
// EPOLLOUT only while a write waits for room (a tty has room most of the
// time), nothing once the line has hung up.
void Serial::WatchFdNow()
{
    if (hungUp) {
        WatchFd(0);
        return;
    }
    std::uint32_t events = EPOLLET;
    if (!inlineOwned || !reads.empty())
        events |= EPOLLIN;
    if (!writes.empty())
        events |= EPOLLOUT;
    WatchFd(events);
}

void Serial::WatchFd(std::uint32_t events)
{
    if (events == watched)
        return;
    epoll_event t{};
    t.events = events;
    t.data.fd = fd;
    const int r = events == 0 ? epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr)
                  : watched == 0 ? epoll_ctl(poller, EPOLL_CTL_ADD, fd, &t)
                                 : epoll_ctl(poller, EPOLL_CTL_MOD, fd, &t);
    if (r == 0)
        watched = events;
}

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
    WakeList wakes;
    bool lineDown = false;
    std::unique_lock lk(m);
    while (!closed) {
        deferWakes = true;
        if (lineDown && !hungUp) {
            // Take what is still readable first; a hang-up ends the line after it.
            ServeReads();
            HangUp();
        }
        Evaluate();
        deferWakes = false;
        int timeout = -1;
        auto shorten = [&timeout](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
        WatchFdNow();
        if (!hungUp) {
            if (txPending && writes.empty() && (mask & EV_TXEMPTY))
                shorten(DrainPollMs());
            else
                drainWaitMs = 0; // the next drain starts from the line's pace
            if (wait && WatchingModem())
                shorten(kModemPollMs);
        }
        std::swap(wakes, deferred);
        lk.unlock();
        wakes.Wake();
        epoll_event ev[2];
        int n;
        while ((n = ::epoll_wait(poller, ev, 2, timeout)) < 0 && errno == EINTR) {
        }
        win32posix::gMonitorWakeups.fetch_add(1, std::memory_order_relaxed);
        for (int i = 0; i < n; ++i) {
            if (ev[i].data.fd == wake) {
                std::uint64_t v;
                ssize_t r = ::read(wake, &v, sizeof v);
                (void)r;
            } else if (ev[i].events & (EPOLLHUP | EPOLLERR)) {
                lineDown = true;
            }
        }
        lk.lock();
    }
}

} // namespace win32posix::detail
