#pragma once
// A serial line between the program under test and a peer on a pty of its
// own: a relay thread passes bytes both ways at the pace of a real line (ten
// bit times a byte at the given baud rate), or at once with baud 0.
//
// It can also behave as lines at the bench do: drop what a side sends while
// that side's rate differs from the line's (a device at another rate hears
// nothing), echo the program's own bytes back to it (a 2-wire RS-485
// adapter), and copy everything on the line to a third pty (a bus monitor's
// tap).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/Pty.h"

namespace testsupport {

struct LinkOptions {
    unsigned baud = 0;       // pace and line rate; 0 passes bytes at once
    bool matchRates = false; // drop bytes from a side whose rate is not baud
    bool echo = false;       // the program hears its own bytes as they go out
    bool tap = false;        // copy the line to tapPath()
};

class PacedLink {
public:
    // peerPath: the pty the peer listens on (it is opened here).
    PacedLink(const std::string& peerPath, unsigned baud);
    PacedLink(const std::string& peerPath, const LinkOptions& options);
    // A link that makes the far end's pty itself: the peer opens farPath()
    // as its serial port (a program that opens a device by name).
    explicit PacedLink(const LinkOptions& options);
    ~PacedLink();
    PacedLink(const PacedLink&) = delete;
    PacedLink& operator=(const PacedLink&) = delete;

    bool ok() const { return fPeer >= 0; }
    // The device the program under test opens.
    const std::string& path() const { return fNear.slavePath(); }
    // The pty the peer opens, for a link that made it.
    std::string farPath() const { return fFar ? fFar->slavePath() : std::string(); }
    // The device a monitor opens to see both directions (with tap).
    std::string tapPath() const { return fTap ? fTap->slavePath() : std::string(); }
    // When the last byte towards the program was written (steady-clock ns,
    // the library's RxTimeNow scale), 0 before any.
    std::int64_t lastToProgram() const { return fLastToProgram.load(); }
    // Bytes dropped because a side's rate was not the line's.
    std::uint64_t dropped() const { return fDropped.load(); }

    // The rate a pty is set to (TCGETS2), 0 when it cannot be read.
    static unsigned RateOf(int fd);

private:
    void Run();
    void Start();

    LinkOptions fOptions;
    PtyPair fNear;
    std::unique_ptr<PtyPair> fTap;
    std::unique_ptr<PtyPair> fFar;
    int fPeer = -1;
    int fStop[2] = {-1, -1};
    std::int64_t fByteNs = 0;
    std::atomic<std::int64_t> fLastToProgram{0};
    std::atomic<std::uint64_t> fDropped{0};
    std::thread fThread;
};

} // namespace testsupport
