// A test link as a program, for trying the tool against other programs by
// hand and for benchmarks run from a shell:
//   test_link [--baud N] [--match-rates] [--echo] [--tap] PEER_PTY|-
// prints the pty the program under test opens (and the tap's), then relays
// until it is killed. With "-" it makes the peer's pty too and prints it
// last, for a peer that opens a port by name.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "tests/support/PacedLink.h"

int main(int argc, char** argv)
{
    testsupport::LinkOptions options;
    std::string peer;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--baud" && i + 1 < argc)
            options.baud = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (a == "--match-rates")
            options.matchRates = true;
        else if (a == "--echo")
            options.echo = true;
        else if (a == "--tap")
            options.tap = true;
        else if (!a.empty() && (a[0] != '-' || a == "-") && peer.empty())
            peer = a;
        else {
            std::fprintf(stderr, "usage: test_link [--baud N] [--match-rates] [--echo] [--tap] PEER_PTY|-\n");
            return 2;
        }
    }
    if (peer.empty()) {
        std::fprintf(stderr, "usage: test_link [--baud N] [--match-rates] [--echo] [--tap] PEER_PTY|-\n");
        return 2;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const bool makeFar = peer == "-";
    testsupport::PacedLink link = makeFar ? testsupport::PacedLink(options) : testsupport::PacedLink(peer, options);
    if (!link.ok()) {
        std::fprintf(stderr, "cannot open %s: %s\n", peer.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", link.path().c_str());
    if (options.tap)
        std::printf("%s\n", link.tapPath().c_str());
    if (makeFar)
        std::printf("%s\n", link.farPath().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    return 0;
}
