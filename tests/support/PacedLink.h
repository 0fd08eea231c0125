#pragma once
// A serial line between the program under test and a peer on a pty of its
// own: a relay thread passes bytes both ways at the pace of a real line (ten
// bit times a byte at the given baud rate), or at once with baud 0.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/support/Pty.h"

namespace testsupport {

class PacedLink {
public:
    // peerPath: the pty the peer listens on (it is opened here).
    PacedLink(const std::string& peerPath, unsigned baud);
    ~PacedLink();
    PacedLink(const PacedLink&) = delete;
    PacedLink& operator=(const PacedLink&) = delete;

    bool ok() const { return fPeer >= 0; }
    // The device the program under test opens.
    const std::string& path() const { return fNear.slavePath(); }
    // When the last byte towards the program was written (steady-clock ns,
    // the library's RxTimeNow scale), 0 before any.
    std::int64_t lastToProgram() const { return fLastToProgram.load(); }

private:
    void Run();

    PtyPair fNear;
    int fPeer = -1;
    int fStop[2] = {-1, -1};
    std::int64_t fByteNs = 0;
    std::atomic<std::int64_t> fLastToProgram{0};
    std::thread fThread;
};

} // namespace testsupport
