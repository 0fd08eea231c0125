// termios2 access: any baud rate through BOTHER, mark/space parity through CMSPAR.
#include "platform/win32/posix/Termios2.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

namespace win32posix::detail {

namespace {

int Get(int fd, termios2& t)
{
    while (ioctl(fd, TCGETS2, &t) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int Set(int fd, const termios2& t)
{
    while (ioctl(fd, TCSETS2, &t) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

} // namespace

static_assert(sizeof(termios2) <= sizeof(TtySaved::bytes), "TtySaved too small for termios2");

int TtySave(int fd, TtySaved& saved)
{
    termios2 t{};
    if (int e = Get(fd, t))
        return e;
    std::memcpy(saved.bytes, &t, sizeof t);
    return 0;
}

int TtyRestore(int fd, const TtySaved& saved)
{
    termios2 t{};
    std::memcpy(&t, saved.bytes, sizeof t);
    return Set(fd, t);
}

int TtyMakeRaw(int fd)
{
    termios2 t{};
    if (int e = Get(fd, t))
        return e;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                         IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    // VMIN 1 makes a non-blocking read report EAGAIN when empty, so 0 means hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return Set(fd, t);
}

int TtyGetLine(int fd, TtyLine& line)
{
    termios2 t{};
    if (int e = Get(fd, t))
        return e;
    line.baud = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        line.parity = TtyLine::None;
    else if (t.c_cflag & CMSPAR)
        line.parity = (t.c_cflag & PARODD) ? TtyLine::Mark : TtyLine::Space;
    else
        line.parity = (t.c_cflag & PARODD) ? TtyLine::Odd : TtyLine::Even;
    line.parityCheck = (t.c_iflag & INPCK) != 0;
    line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    line.xonOut = (t.c_iflag & IXON) != 0;
    line.xonIn = (t.c_iflag & IXOFF) != 0;
    line.xonChar = t.c_cc[VSTART];
    line.xoffChar = t.c_cc[VSTOP];
    return 0;
}

int TtySetLine(int fd, const TtyLine& line)
{
    termios2 t{};
    if (int e = Get(fd, t))
        return e;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB |
                                         CRTSCTS | HUPCL);
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CLOCAL | CREAD;
    t.c_ispeed = line.baud;
    t.c_ospeed = line.baud;
    switch (line.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
    }
    switch (line.parity) {
    case TtyLine::None: break;
    case TtyLine::Odd: t.c_cflag |= PARENB | PARODD; break;
    case TtyLine::Even: t.c_cflag |= PARENB; break;
    case TtyLine::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case TtyLine::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (line.twoStopBits)
        t.c_cflag |= CSTOPB;
    if (line.rtsCts)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
    if (line.parityCheck && line.parity != TtyLine::None)
        t.c_iflag |= INPCK;
    if (line.xonOut)
        t.c_iflag |= IXON;
    if (line.xonIn)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = line.xonChar;
    t.c_cc[VSTOP] = line.xoffChar;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return Set(fd, t);
}

} // namespace win32posix::detail
