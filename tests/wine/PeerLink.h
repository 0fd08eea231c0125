#pragma once
// The Windows tests' end of the rig: the far ends of their COM ports are pty
// masters held by wine_peer on the Linux side, reached over a loopback
// socket (KELVOR_WINE_PEER). One link per test; what it made goes with it.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace winetest {

using Bytes = std::vector<std::uint8_t>;

class PeerLink {
public:
    PeerLink();
    ~PeerLink();
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;

    bool Connected() const { return fSocket != ~std::uintptr_t(0); }

    // A fresh line behind COM<n>, or the libmodbus slave behind it.
    void Open(int n);
    void OpenModbusSlave(int n);
    // The far end sends.
    void Send(int n, const Bytes& data);
    void Send(int n, const std::string& text) { Send(n, Bytes(text.begin(), text.end())); }
    // What the program wrote: until `want` bytes came or `limit` passed.
    Bytes Recv(int n, std::size_t want, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Everything until the line has been quiet for `quiet`.
    Bytes RecvUntilQuiet(int n, std::chrono::milliseconds quiet,
                         std::chrono::milliseconds limit = std::chrono::seconds(20));
    // The far end goes away, as a pulled cable.
    void HangUp(int n);

private:
    std::string Ask(const std::string& request);

    std::uintptr_t fSocket = ~std::uintptr_t(0);
    std::string fPending;
};

// True when this program runs under Wine rather than on Windows itself.
bool UnderWine();

std::string AsText(const Bytes& b);

} // namespace winetest
