#pragma once
// The demo Modbus RTU slave, served by libmodbus in a thread of its own.
//
// Data: coils, discrete inputs, holding and input registers at addresses 0
// to 999. At start holding register n is 0x1000 + n, input register n is n,
// coil n and discrete input n are on when n is odd. Holding register 999
// counts the requests served, this one included. Functions as libmodbus
// answers them (1 to 6, 15, 16, 23, and 17 and 22 besides); exception
// replies for bad addresses; silence for another slave id. It takes itself
// to be alone on its line: no other slave's reply follows a request for
// another id, so the next frame is taken as a request.
//
// The slave is not tied to a kind of line: bytes received from the line go
// in through Feed, and replies come out through the Send closure. In
// between, libmodbus reads and writes a socket pair, so the slave can tell
// exactly which bytes each request was made of (for the `slave` command's
// log) without a second, hand-written Modbus parser.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Rtl.h"

struct TDemoExchange {
    std::vector<std::uint8_t> Request; // the bytes libmodbus took as one request
    std::vector<std::uint8_t> Reply;   // empty when it did not answer
};

class TDemoSlave {
public:
    static constexpr int DefaultSlaveId = 1;
    static constexpr int Size = 1000;          // addresses 0 to 999 of each table
    static constexpr int CounterRegister = 999; // holding register counting requests

    using TSend = std::function<void(const std::uint8_t* Data, std::size_t Count)>;
    using TExchangeEvent = std::function<void(const TDemoExchange& Exchange)>;

    // Starts serving. Send and OnExchange are called on the slave's thread.
    // ByteTimeoutMs: the longest gap between two bytes of one request.
    // Raises Exception (a Chinese message) when it cannot start.
    TDemoSlave(int SlaveId, TSend Send, TExchangeEvent OnExchange = {}, int ByteTimeoutMs = 100);
    // Stops the thread; Send and OnExchange are not called after it returns.
    ~TDemoSlave();

    // Bytes that arrived on the line. One caller at a time; it may block
    // while the slave is behind, and returns at once once Stop has begun.
    void Feed(const std::uint8_t* Data, std::size_t Count);

    // Ends the thread (the destructor does it too).
    void Stop();

    TDemoSlave(const TDemoSlave&) = delete;
    TDemoSlave& operator=(const TDemoSlave&) = delete;

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

// The demo slave behind one end of a pseudo-terminal pair made in this
// process: a program opens PortPath() as it would open a serial device.
class TDemoDevice {
public:
    // Raises Exception (a Chinese message) when the pair or the slave
    // cannot be made.
    explicit TDemoDevice(int SlaveId = TDemoSlave::DefaultSlaveId);
    ~TDemoDevice();

    // The terminal to open, such as "/dev/pts/4".
    const std::string& PortPath() const;

    TDemoDevice(const TDemoDevice&) = delete;
    TDemoDevice& operator=(const TDemoDevice&) = delete;

private:
    struct TPty;
    std::unique_ptr<TPty> FPty;
};

// The port list's entry for the demo device, and its tooltip.
inline constexpr const char16_t* kDemoPortName = u"DEMO";
inline constexpr const char16_t* kDemoPortTip = u"内置的模拟 Modbus RTU 从站（站号 1），无需硬件即可试用";
