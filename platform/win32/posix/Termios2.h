#pragma once
// Line settings through termios2, kept apart because <asm/termbits.h> and
// <termios.h> cannot be included together.

namespace win32posix::detail {

struct TtyLine {
    unsigned baud = 9600;
    int dataBits = 8;                       // 5..8
    enum Parity { None, Odd, Even, Mark, Space } parity = None;
    bool parityCheck = false;               // check parity of received bytes
    bool twoStopBits = false;
    bool rtsCts = false;
    bool xonOut = false;                    // obey XON/XOFF from the peer
    bool xonIn = false;                     // send XON/XOFF ourselves
    unsigned char xonChar = 0x11;
    unsigned char xoffChar = 0x13;
};

// A tty's settings as they were at opening, given back at closing.
struct TtySaved {
    alignas(8) unsigned char bytes[64] = {};
};
int TtySave(int fd, TtySaved& saved);
int TtyRestore(int fd, const TtySaved& saved);

// Raw mode, receiver on, modem lines ignored, no hang-up on close.
// Each returns 0 or an errno value.
int TtyMakeRaw(int fd);
int TtyGetLine(int fd, TtyLine& line);
int TtySetLine(int fd, const TtyLine& line);

} // namespace win32posix::detail
