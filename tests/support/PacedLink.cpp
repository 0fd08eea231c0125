#include "tests/support/PacedLink.h"

#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

// termios2 for the rate of a pty; <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>

namespace testsupport {

namespace {

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Bytes read from one side, waiting to go out on the other.
struct Direction {
    int from;
    int to;
    std::deque<std::uint8_t> queue;
    std::int64_t next = 0; // earliest time the next byte may leave
};

} // namespace

PacedLink::PacedLink(const std::string& peerPath, unsigned baud) : PacedLink(peerPath, LinkOptions{baud}) {}

PacedLink::PacedLink(const std::string& peerPath, const LinkOptions& options) : fOptions(options)
{
    if (options.tap)
        fTap = std::make_unique<PtyPair>();
    fPeer = ::open(peerPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fPeer < 0)
        return;
    // Raw, keeping the rate the peer set.
    termios2 t{};
    if (::ioctl(fPeer, TCGETS2, &t) == 0) {
        t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
        t.c_oflag &= ~OPOST;
        t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        ::ioctl(fPeer, TCSETS2, &t);
    }
    Start();
}

PacedLink::PacedLink(const LinkOptions& options) : fOptions(options)
{
    if (options.tap)
        fTap = std::make_unique<PtyPair>();
    fFar = std::make_unique<PtyPair>();
    // The peer opens the slave; the master, read and written here, shows the
    // rate the peer set.
    fPeer = ::dup(fFar->master());
    if (fPeer >= 0)
        Start();
}

void PacedLink::Start()
{
    if (pipe2(fStop, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(fPeer);
        fPeer = -1;
        return;
    }
    fByteNs = fOptions.baud ? 10'000'000'000LL / fOptions.baud : 0;
    fThread = std::thread([this] { Run(); });
}

unsigned PacedLink::RateOf(int fd)
{
    // On a pty master this reads the slave's settings, which is what the
    // program on that side set.
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

PacedLink::~PacedLink()
{
    if (fThread.joinable()) {
        const char c = 0;
        (void)!::write(fStop[1], &c, 1);
        fThread.join();
    }
    for (int fd : {fStop[0], fStop[1], fPeer})
        if (fd >= 0)
            ::close(fd);
}

void PacedLink::Run()
{
    Direction dirs[2] = {{fNear.master(), fPeer, {}, 0}, {fPeer, fNear.master(), {}, 0}};
    for (;;) {
        // Release what is due; a relay that fell behind catches up at once
        // rather than stretching the line.
        const std::int64_t now = Now();
        std::int64_t wake = -1;
        for (Direction& d : dirs) {
            while (!d.queue.empty() && d.next <= now) {
                const std::size_t n = fByteNs ? 1 : d.queue.size();
                std::uint8_t buf[4096];
                const std::size_t take = std::min(n, sizeof buf);
                for (std::size_t i = 0; i < take; ++i)
                    buf[i] = d.queue[i];
                // A side at another rate than the line's puts garbage on
                // it, which the far end's UART does not take as bytes.
                const bool heard = !fOptions.matchRates ||
                                   (RateOf(d.from) == fOptions.baud && RateOf(d.to) == fOptions.baud);
                const ssize_t put = heard ? ::write(d.to, buf, take) : static_cast<ssize_t>(take);
                if (put <= 0)
                    break; // no room: try again at the next wake-up
                if (!heard)
                    fDropped += static_cast<std::uint64_t>(put);
                if (fOptions.echo && d.from == fNear.master())
                    (void)!::write(fNear.master(), buf, static_cast<std::size_t>(put)); // what a 2-wire adapter hears
                if (fTap)
                    (void)!::write(fTap->master(), buf, static_cast<std::size_t>(put)); // a full tap loses bytes
                d.queue.erase(d.queue.begin(), d.queue.begin() + put);
                if (d.to == fNear.master() || (fOptions.echo && d.from == fNear.master()))
                    fLastToProgram.store(Now());
                d.next += fByteNs * put;
            }
            if (!d.queue.empty()) {
                const std::int64_t due = std::max<std::int64_t>(d.next - now, 0);
                wake = wake < 0 ? due : std::min(wake, due);
            }
        }
        pollfd p[3] = {{fStop[0], POLLIN, 0}, {dirs[0].from, POLLIN, 0}, {dirs[1].from, POLLIN, 0}};
        timespec ts{static_cast<time_t>(wake / 1'000'000'000), static_cast<long>(wake % 1'000'000'000)};
        // A full pty is polled again after a millisecond.
        if (wake == 0)
            ts = {0, 1'000'000};
        const int r = ::ppoll(p, 3, wake < 0 ? nullptr : &ts, nullptr);
        if (r < 0 && errno != EINTR)
            return;
        if (p[0].revents)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i + 1].revents & POLLIN))
                continue;
            std::uint8_t buf[4096];
            const ssize_t got = ::read(dirs[i].from, buf, sizeof buf);
            if (got <= 0)
                continue;
            Direction& d = dirs[i];
            // An idle line sends the first byte now; it is on the wire for
            // one byte time before the far end has it.
            if (d.queue.empty())
                d.next = std::max(d.next, Now() + fByteNs);
            d.queue.insert(d.queue.end(), buf, buf + got);
        }
    }
}

} // namespace testsupport
