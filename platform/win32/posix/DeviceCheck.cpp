// What a name must be before CreateFileW opens it: a terminal device of a
// tty driver, and not the terminal the program runs in. Opening is not
// harmless: opening a watchdog device arms it, and a terminal put in raw
// mode stops echoing the user's typing.
#include "platform/win32/posix/Internal.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>
#include <string>

namespace win32posix::detail {

namespace {

// The driver class of a character device, by its sysfs entry: "tty" for
// serial ports, virtual consoles and the like.
std::string SysfsSubsystem(unsigned major, unsigned minor)
{
    const std::string link = "/sys/dev/char/" + std::to_string(major) + ':' + std::to_string(minor) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    const std::string path(target, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name /proc/devices gives a character major ("pts" for the slave side
// of pseudo-terminals, which have no sysfs entry).
bool MajorNamed(unsigned major, const std::string& name)
{
    std::ifstream devices("/proc/devices");
    std::string line;
    bool character = false;
    while (std::getline(devices, line)) {
        if (line == "Character devices:") {
            character = true;
            continue;
        }
        if (line.empty() || line == "Block devices:") {
            if (character)
                break;
            continue;
        }
        if (!character)
            continue;
        std::istringstream fields(line);
        unsigned m = 0;
        std::string n;
        if (fields >> m >> n && m == major && n == name)
            return true;
    }
    return false;
}

// The device number of the process's controlling terminal, 0 when it has none.
dev_t ControllingTerminal()
{
    std::ifstream stat("/proc/self/stat");
    std::string text;
    std::getline(stat, text);
    // Field 7, counted after the command name, which may hold blanks.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    long long ppid = 0, pgrp = 0, session = 0, ttyNr = 0;
    if (!(fields >> state >> ppid >> pgrp >> session >> ttyNr) || ttyNr <= 0)
        return 0;
    const auto nr = static_cast<unsigned long long>(ttyNr);
    return makedev(static_cast<unsigned>((nr >> 8) & 0xFFF), static_cast<unsigned>((nr & 0xFF) | ((nr >> 12) & 0xFFF00)));
}

} // namespace

DWORD CheckSerialDevice(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return OpenErrnoToWin32(errno);
    if (!S_ISCHR(st.st_mode))
        return ERROR_BAD_DEVICE;
    const unsigned major = major(st.st_rdev);
    const unsigned minor = minor(st.st_rdev);
    // /dev/tty is always the controlling terminal.
    constexpr unsigned kTtyAuxMajor = 5;
    if (major == kTtyAuxMajor && minor == 0)
        return ERROR_DEVICE_IN_USE;
    if (SysfsSubsystem(major, minor) != "tty" && !MajorNamed(major, "pts"))
        return ERROR_BAD_DEVICE;
    const dev_t own = ControllingTerminal();
    if (own != 0 && st.st_rdev == own)
        return ERROR_DEVICE_IN_USE;
    return ERROR_SUCCESS;
}

} // namespace win32posix::detail
