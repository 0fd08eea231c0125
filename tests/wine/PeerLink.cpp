#include "tests/wine/PeerLink.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

namespace winetest {

namespace {

std::string Hex(const Bytes& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t c : b) {
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 15]);
    }
    return s;
}

Bytes FromHex(const std::string& s)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace

PeerLink::PeerLink()
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return;
    const char* where = std::getenv("KELVOR_WINE_PEER");
    if (!where)
        return;
    const std::string text = where;
    const auto colon = text.rfind(':');
    if (colon == std::string::npos)
        return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(std::atoi(text.c_str() + colon + 1)));
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &addr.sin_addr) != 1)
        return;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return;
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        closesocket(s);
        return;
    }
    fSocket = s;
}

PeerLink::~PeerLink()
{
    if (Connected())
        closesocket(static_cast<SOCKET>(fSocket));
    WSACleanup();
}

std::string PeerLink::Ask(const std::string& request)
{
    if (!Connected())
        throw std::runtime_error("no link to wine_peer (KELVOR_WINE_PEER): run these tests with scripts/test wine");
    const std::string line = request + "\n";
    for (std::size_t done = 0; done < line.size();) {
        const int n = send(static_cast<SOCKET>(fSocket), line.data() + done, static_cast<int>(line.size() - done), 0);
        if (n <= 0)
            throw std::runtime_error("wine_peer: send failed");
        done += static_cast<std::size_t>(n);
    }
    std::size_t end;
    while ((end = fPending.find('\n')) == std::string::npos) {
        char buf[65536];
        const int n = recv(static_cast<SOCKET>(fSocket), buf, sizeof buf, 0);
        if (n <= 0)
            throw std::runtime_error("wine_peer: connection lost");
        fPending.append(buf, static_cast<std::size_t>(n));
    }
    std::string reply = fPending.substr(0, end);
    fPending.erase(0, end + 1);
    if (reply.rfind("ok", 0) != 0)
        throw std::runtime_error("wine_peer: " + request.substr(0, 40) + ": " + reply);
    return reply.size() > 3 ? reply.substr(3) : std::string();
}

void PeerLink::Open(int n) { Ask("open " + std::to_string(n)); }

void PeerLink::OpenModbusSlave(int n) { Ask("modbus " + std::to_string(n)); }

void PeerLink::Send(int n, const Bytes& data) { Ask("send " + std::to_string(n) + " " + Hex(data)); }

Bytes PeerLink::Recv(int n, std::size_t want, std::chrono::milliseconds limit)
{
    return FromHex(Ask("recv " + std::to_string(n) + " " + std::to_string(want) + " " + std::to_string(limit.count())));
}

Bytes PeerLink::RecvUntilQuiet(int n, std::chrono::milliseconds quiet, std::chrono::milliseconds limit)
{
    return FromHex(
        Ask("quiet " + std::to_string(n) + " " + std::to_string(quiet.count()) + " " + std::to_string(limit.count())));
}

void PeerLink::HangUp(int n) { Ask("hangup " + std::to_string(n)); }

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string AsText(const Bytes& b) { return std::string(b.begin(), b.end()); }

} // namespace winetest
