#include "app/demo/DemoSlave.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

Exception SystemError(const char* What)
{
    return Exception(FromUtf8(std::string("不能建立模拟从站：") + What + ": " + std::strerror(errno)));
}

void CloseFd(int& Fd)
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

bool ReadAll(int Fd, std::uint8_t* Data, std::size_t Count)
{
    while (Count > 0) {
        const ssize_t n = ::read(Fd, Data, Count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        Data += n;
        Count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Waits until Fd is ready for Events or Wake is readable; true for Fd.
bool WaitFor(int Fd, short Events, int Wake)
{
    for (;;) {
        pollfd p[2] = {{Fd, Events, 0}, {Wake, POLLIN, 0}};
        const int r = ::poll(p, 2, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || p[1].revents != 0)
            return false;
        if (p[0].revents & (POLLERR | POLLNVAL))
            return false;
        if (p[0].revents != 0)
            return true;
    }
}

} // namespace

struct TDemoSlave::TState {
    TSend Send;
    TExchangeEvent OnExchange;
    int SlaveId = 1;
    int ByteTimeoutMs = 100;
    modbus_t* Ctx = nullptr;
    modbus_mapping_t* Map = nullptr;
    int Modbus = -1; // libmodbus's end of the socket pair
    int Line = -1;   // ours: requests go in, replies come out
    int WakeRead = -1;
    int WakeWrite = -1;
    std::thread Thread;

    // Bytes fed in but not yet told apart as a request, and how many were
    // written into the pair in all. Held only for short non-blocking steps.
    std::mutex Lock;
    std::deque<std::uint8_t> Pending;
    std::uint64_t Written = 0;
    std::uint64_t Taken = 0; // bytes told apart so far

    ~TState()
    {
        if (Map)
            modbus_mapping_free(Map);
        if (Ctx)
            modbus_free(Ctx);
        CloseFd(Modbus);
        CloseFd(Line);
        CloseFd(WakeRead);
        CloseFd(WakeWrite);
    }

    void NewContext()
    {
        if (Ctx)
            modbus_free(Ctx);
        // The device name is never opened: libmodbus is handed the socket.
        Ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
        if (!Ctx)
            throw SystemError("modbus_new_rtu");
        if (modbus_set_slave(Ctx, SlaveId) != 0)
            throw Exception(FromUtf8("不能建立模拟从站：站号 " + std::to_string(SlaveId) + " 无效"));
        modbus_set_socket(Ctx, Modbus);
        modbus_set_byte_timeout(Ctx, static_cast<std::uint32_t>(ByteTimeoutMs / 1000),
                                static_cast<std::uint32_t>(ByteTimeoutMs % 1000) * 1000);
    }

    // The bytes libmodbus has read since the last call: everything written
    // into the pair less what still waits in its end.
    std::vector<std::uint8_t> TakeConsumed()
    {
        std::lock_guard guard(Lock);
        int unread = 0;
        if (ioctl(Modbus, FIONREAD, &unread) != 0)
            unread = 0;
        const std::uint64_t consumed = Written - static_cast<std::uint64_t>(unread);
        std::size_t n = static_cast<std::size_t>(consumed - Taken);
        n = std::min(n, Pending.size());
        std::vector<std::uint8_t> out(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(n));
        Pending.erase(Pending.begin(), Pending.begin() + static_cast<std::ptrdiff_t>(n));
        Taken += n;
        return out;
    }

    // After a broken request: drops what is left of it, so the next
    // request starts clean (a real line would have a pause there).
    void DropUnread()
    {
        std::uint8_t sink[256];
        while (::recv(Modbus, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }

    void Run()
    {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        std::uint16_t& counter = Map->tab_registers[CounterRegister];
        while (WaitFor(Modbus, POLLIN, WakeRead)) {
            errno = 0;
            const int rc = modbus_receive(Ctx, query);
            if (rc < 0 && (errno == EBADF || errno == EIO))
                break;
            TDemoExchange exchange;
            if (rc > 0) {
                ++counter;
                const int n = modbus_reply(Ctx, query, rc, Map);
                if (n > 0) {
                    exchange.Reply.resize(static_cast<std::size_t>(n));
                    if (!ReadAll(Line, exchange.Reply.data(), exchange.Reply.size()))
                        break;
                    // For an unknown function libmodbus waits, then flushes
                    // the line; a flush does nothing to a socket, so do it
                    // here, before the master can have seen the reply.
                    if (n >= 3 && (exchange.Reply[1] & 0x80) && exchange.Reply[2] == MODBUS_EXCEPTION_ILLEGAL_FUNCTION)
                        DropUnread();
                }
            } else if (rc == 0) {
                // A request for another slave. libmodbus would now take the
                // next frame for that slave's reply and ignore it; alone on
                // its line, this slave would so drop the master's next
                // request. A fresh context forgets that expectation.
                try {
                    NewContext();
                } catch (const Exception&) {
                    break;
                }
            } else {
                DropUnread();
            }
            exchange.Request = TakeConsumed();
            if (!exchange.Reply.empty() && Send)
                Send(exchange.Reply.data(), exchange.Reply.size());
            if (OnExchange && !exchange.Request.empty())
                OnExchange(exchange);
        }
    }
};

TDemoSlave::TDemoSlave(int SlaveId, TSend Send, TExchangeEvent OnExchange, int ByteTimeoutMs)
    : FState(std::make_unique<TState>())
{
    TState& s = *FState;
    s.Send = std::move(Send);
    s.OnExchange = std::move(OnExchange);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw SystemError("socketpair");
    s.Modbus = pair[0];
    s.Line = pair[1];
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw SystemError("pipe");
    s.WakeRead = wake[0];
    s.WakeWrite = wake[1];

    s.SlaveId = SlaveId;
    s.ByteTimeoutMs = ByteTimeoutMs > 0 ? ByteTimeoutMs : 100;
    s.NewContext();
    s.Map = modbus_mapping_new(Size, Size, Size, Size);
    if (!s.Map)
        throw SystemError("modbus_mapping_new");
    for (int n = 0; n < Size; ++n) {
        s.Map->tab_bits[n] = static_cast<std::uint8_t>(n % 2);
        s.Map->tab_input_bits[n] = static_cast<std::uint8_t>(n % 2);
        s.Map->tab_registers[n] = static_cast<std::uint16_t>(0x1000 + n);
        s.Map->tab_input_registers[n] = static_cast<std::uint16_t>(n);
    }
    s.Map->tab_registers[CounterRegister] = 0;

    s.Thread = std::thread([&s] { s.Run(); });
}

TDemoSlave::~TDemoSlave() { Stop(); }

void TDemoSlave::Stop()
{
    TState& s = *FState;
    if (!s.Thread.joinable())
        return;
    const char one = 1;
    while (::write(s.WakeWrite, &one, 1) < 0 && errno == EINTR) {
    }
    s.Thread.join();
}

void TDemoSlave::Feed(const std::uint8_t* Data, std::size_t Count)
{
    TState& s = *FState;
    std::unique_lock guard(s.Lock);
    s.Pending.insert(s.Pending.end(), Data, Data + Count);
    // Written counts only bytes the pair holds, so TakeConsumed never
    // sees a write half done: each step here is one non-blocking send.
    while (Count > 0) {
        const ssize_t n = ::send(s.Line, Data, Count, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            s.Written += static_cast<std::uint64_t>(n);
            Data += n;
            Count -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            guard.unlock();
            const bool room = WaitFor(s.Line, POLLOUT, s.WakeRead);
            guard.lock();
            if (room)
                continue;
        }
        // Stopping, or the pair is gone: what is left goes nowhere.
        s.Pending.erase(s.Pending.end() - static_cast<std::ptrdiff_t>(Count), s.Pending.end());
        return;
    }
}

// ---------------------------------------------------------------------------

struct TDemoDevice::TPty {
    int Master = -1;
    int SlaveKeeper = -1; // keeps the line up while the program reopens its end
    int WakeRead = -1;
    int WakeWrite = -1;
    std::string Path;
    std::unique_ptr<TDemoSlave> Slave;
    std::thread Pump;

    ~TPty()
    {
        CloseFd(Master);
        CloseFd(SlaveKeeper);
        CloseFd(WakeRead);
        CloseFd(WakeWrite);
    }

    void Run()
    {
        std::uint8_t buf[4096];
        while (WaitFor(Master, POLLIN, WakeRead)) {
            const ssize_t n = ::read(Master, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                break;
            Slave->Feed(buf, static_cast<std::size_t>(n));
        }
    }
};

TDemoDevice::TDemoDevice(int SlaveId) : FPty(std::make_unique<TPty>())
{
    TPty& p = *FPty;
    char name[256] = {};
    if (::openpty(&p.Master, &p.SlaveKeeper, name, nullptr, nullptr) != 0)
        throw SystemError("openpty");
    p.Path = name;
    ::fcntl(p.Master, F_SETFD, FD_CLOEXEC);
    ::fcntl(p.SlaveKeeper, F_SETFD, FD_CLOEXEC);
    // Raw from the start, so nothing is echoed before the program sets it.
    termios t{};
    if (::tcgetattr(p.SlaveKeeper, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(p.SlaveKeeper, TCSANOW, &t);
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw SystemError("pipe");
    p.WakeRead = wake[0];
    p.WakeWrite = wake[1];

    // A reply nobody reads for a second is dropped, as on an open line, so
    // a full terminal can never hold up stopping.
    ::fcntl(p.Master, F_SETFL, ::fcntl(p.Master, F_GETFL) | O_NONBLOCK);
    const int master = p.Master;
    p.Slave = std::make_unique<TDemoSlave>(SlaveId, [master](const std::uint8_t* Data, std::size_t Count) {
        while (Count > 0) {
            const ssize_t n = ::write(master, Data, Count);
            if (n > 0) {
                Data += n;
                Count -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            pollfd out{master, POLLOUT, 0};
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || ::poll(&out, 1, 1000) <= 0)
                return;
        }
    });
    p.Pump = std::thread([&p] { p.Run(); });
}

TDemoDevice::~TDemoDevice()
{
    TPty& p = *FPty;
    const char one = 1;
    while (::write(p.WakeWrite, &one, 1) < 0 && errno == EINTR) {
    }
    // The slave first: the pump may be waiting inside Feed for it.
    p.Slave->Stop();
    p.Pump.join();
    p.Slave.reset();
}

const std::string& TDemoDevice::PortPath() const { return FPty->Path; }
