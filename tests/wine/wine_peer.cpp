// The Linux side of the Wine test rig. It runs the Windows test program as
// its child and serves it the far ends of its serial lines:
//
//   wine_peer [--modbus-slave PATH] DOSDEVICES -- COMMAND [ARGS...]
//
// It listens on a loopback TCP port, passes that port to the child as
// KELVOR_WINE_PEER=127.0.0.1:PORT, and answers one line per request on each
// connection (one connection per test, one request at a time):
//
//   open N               a new pty pair; DOSDEVICES/comN points at its slave
//   modbus N             the libmodbus slave on a pty of its own, at comN
//   send N HEX           the bytes go out of the master of comN
//   recv N COUNT MS      reads until COUNT bytes came or MS passed
//   quiet N QUIET LIMIT  reads until QUIET ms pass without a byte (or LIMIT)
//   hangup N             closes the master: the line is pulled
//
// Replies are "ok [TEXT]" or "err WHY"; bytes travel as hex. What a
// connection made (ptys, links, slaves) goes when it closes. The exit
// status is the child's.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

std::string gDosDevices;
std::string gModbusSlave;

struct Line {
    int master = -1;
    int keeper = -1; // our own slave descriptor: the line stays up between opens
    pid_t slave = -1; // the libmodbus slave serving this line, if any
    std::string link;
};

std::string Hex(const Bytes& b)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(b.size() * 2);
    for (std::uint8_t c : b) {
        s.push_back(digits[c >> 4]);
        s.push_back(digits[c & 15]);
    }
    return s;
}

bool FromHex(const std::string& s, Bytes& out)
{
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (s.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < s.size(); i += 2) {
        const int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

void CloseLine(Line& l)
{
    if (l.master >= 0)
        close(l.master);
    if (l.keeper >= 0)
        close(l.keeper);
    if (l.slave > 0) {
        kill(l.slave, SIGTERM);
        waitpid(l.slave, nullptr, 0);
    }
    if (!l.link.empty())
        unlink(l.link.c_str());
    l = Line{};
}

// Points DOSDEVICES/comN at Target in one step, so Wine never sees no link.
bool LinkCom(int n, const std::string& target, std::string& link)
{
    link = gDosDevices + "/com" + std::to_string(n);
    const std::string tmp = link + ".new";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        link.clear();
        return false;
    }
    return true;
}

std::string OpenPty(Line& l, int n)
{
    char name[256] = {};
    if (openpty(&l.master, &l.keeper, name, nullptr, nullptr) != 0)
        return std::string("err openpty: ") + std::strerror(errno);
    termios t{};
    tcgetattr(l.keeper, &t);
    cfmakeraw(&t);
    tcsetattr(l.keeper, TCSANOW, &t);
    fcntl(l.master, F_SETFD, FD_CLOEXEC);
    fcntl(l.keeper, F_SETFD, FD_CLOEXEC);
    fcntl(l.master, F_SETFL, fcntl(l.master, F_GETFL) | O_NONBLOCK);
    if (!LinkCom(n, name, l.link))
        return std::string("err link: ") + std::strerror(errno);
    return std::string("ok ") + name;
}

// Starts the libmodbus slave, which prints the path of its pty first.
std::string StartModbus(Line& l, int n)
{
    if (gModbusSlave.empty())
        return "err no --modbus-slave given";
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return "err pipe";
    l.slave = fork();
    if (l.slave == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(gModbusSlave.c_str(), gModbusSlave.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string path;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1 && c != '\n')
        path.push_back(c);
    close(out[0]);
    if (path.empty())
        return "err the slave printed no path";
    if (!LinkCom(n, path, l.link))
        return std::string("err link: ") + std::strerror(errno);
    return "ok " + path;
}

bool WriteAll(int fd, const Bytes& b)
{
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < b.size()) {
        const ssize_t n = write(fd, b.data() + done, b.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() > deadline)
            return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

// Reads until Want bytes came, Limit passed, or (Quiet > 0) the line was
// silent for Quiet ms.
Bytes ReadSome(int fd, std::size_t want, int quietMs, int limitMs)
{
    Bytes out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (out.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        const int wait = quietMs > 0 ? std::min<int>(quietMs, static_cast<int>(left)) : static_cast<int>(left);
        const int r = poll(&p, 1, wait);
        if (r == 0 && quietMs > 0)
            break;
        if (r <= 0)
            continue;
        std::uint8_t buf[4096];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::string Serve(std::map<int, Line>& lines, const std::string& request)
{
    std::istringstream in(request);
    std::string verb;
    int n = -1;
    in >> verb >> n;
    if (n < 1 || n > 256)
        return "err bad port number";
    Line& l = lines[n];
    if (verb == "open" || verb == "modbus") {
        CloseLine(l);
        return verb == "open" ? OpenPty(l, n) : StartModbus(l, n);
    }
    if (verb == "hangup") {
        if (l.master < 0 && l.slave <= 0)
            return "err not open";
        const std::string link = l.link;
        l.link.clear(); // the link stays: the program may try the port again
        CloseLine(l);
        l.link = link;
        return "ok";
    }
    if (l.master < 0)
        return "err not open";
    if (verb == "send") {
        std::string hex;
        in >> hex;
        Bytes b;
        if (!FromHex(hex, b))
            return "err bad hex";
        return WriteAll(l.master, b) ? "ok" : std::string("err write: ") + std::strerror(errno);
    }
    if (verb == "recv" || verb == "quiet") {
        long a = 0, b = 0;
        in >> a >> b;
        if (a < 0 || b < 0)
            return "err bad numbers";
        const Bytes got = verb == "recv" ? ReadSome(l.master, static_cast<std::size_t>(a), 0, static_cast<int>(b))
                                         : ReadSome(l.master, SIZE_MAX, static_cast<int>(a), static_cast<int>(b));
        return "ok " + Hex(got);
    }
    return "err unknown request";
}

struct Client {
    int fd = -1;
    std::string pending;
    std::map<int, Line> lines;
};

void Drop(Client& c)
{
    for (auto& [n, l] : c.lines)
        CloseLine(l);
    close(c.fd);
    c = Client{};
}

// False once the connection is gone.
bool Pump(Client& c)
{
    char buf[65536];
    const ssize_t n = read(c.fd, buf, sizeof buf);
    if (n <= 0)
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    c.pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = c.pending.find('\n')) != std::string::npos;) {
        std::string request = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!request.empty() && request.back() == '\r')
            request.pop_back();
        const std::string reply = Serve(c.lines, request) + "\n";
        if (!WriteAll(c.fd, Bytes(reply.begin(), reply.end())))
            return false;
    }
    return true;
}

int Usage()
{
    std::fprintf(stderr, "usage: wine_peer [--modbus-slave PATH] DOSDEVICES -- COMMAND [ARGS...]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--modbus-slave") == 0 && i + 1 < argc)
            gModbusSlave = argv[++i];
        else if (gDosDevices.empty())
            gDosDevices = argv[i];
        else
            return Usage();
    }
    if (gDosDevices.empty() || i + 1 >= argc)
        return Usage();
    char** command = argv + i + 1;
    signal(SIGPIPE, SIG_IGN);

    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(server, 4) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("wine_peer: socket");
        return 1;
    }
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    setenv("KELVOR_WINE_PEER", where.c_str(), 1);

    const pid_t child = fork();
    if (child == 0) {
        execvp(command[0], command);
        std::perror("wine_peer: exec");
        _exit(127);
    }
    if (child < 0) {
        std::perror("wine_peer: fork");
        return 1;
    }

    Client client;
    int status = 0;
    for (;;) {
        if (waitpid(child, &status, WNOHANG) == child)
            break;
        pollfd p[2] = {{server, POLLIN, 0}, {client.fd, POLLIN, 0}};
        if (poll(p, client.fd >= 0 ? 2 : 1, 100) <= 0)
            continue;
        if (client.fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) && !Pump(client))
            Drop(client);
        if (p[0].revents & POLLIN) {
            const int fd = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                // One test at a time: a new connection means the last test is over.
                if (client.fd >= 0)
                    Drop(client);
                client.fd = fd;
            }
        }
    }
    if (client.fd >= 0)
        Drop(client);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
