#include "tests/support/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

PtyPair::PtyPair()
{
    int m = -1, s = -1;
    char name[256] = {};
    if (openpty(&m, &s, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    tcsetattr(s, TCSANOW, &t);
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    fMaster = m;
    fSlaveKeeper = s;
    fSlavePath = name;
}

PtyPair::~PtyPair()
{
    closeMaster();
    closeSlaveKeeper();
}

void PtyPair::write(const Bytes& data) { write(data.data(), data.size()); }

void PtyPair::write(const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (size > 0) {
        ssize_t n = ::write(fMaster, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("pty write: no room for 10 s");
        pollfd pfd{fMaster, POLLOUT, 0};
        ::poll(&pfd, 1, 50);
    }
}

Bytes PtyPair::read(std::size_t want, std::chrono::milliseconds timeout)
{
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{fMaster, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        std::uint8_t buf[4096];
        ssize_t n = ::read(fMaster, buf, std::min(sizeof buf, want - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

Bytes PtyPair::readUntilQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit)
{
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fMaster, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(quiet.count())) <= 0)
            break;
        std::uint8_t buf[4096];
        ssize_t n = ::read(fMaster, buf, sizeof buf);
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

void PtyPair::closeMaster()
{
    if (fMaster >= 0) {
        ::close(fMaster);
        fMaster = -1;
    }
}

void PtyPair::closeSlaveKeeper()
{
    if (fSlaveKeeper >= 0) {
        ::close(fSlaveKeeper);
        fSlaveKeeper = -1;
    }
}

DeviceMap::DeviceMap()
{
    char tmpl[] = "/tmp/kelvorcomm-devices-XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    fPath = tmpl;
    if (const char* old = std::getenv("KELVORCOMM_DEVICES")) {
        fHadOld = true;
        fOldValue = old;
    }
    setenv("KELVORCOMM_DEVICES", fPath.c_str(), 1);
}

DeviceMap::~DeviceMap()
{
    if (DIR* d = opendir(fPath.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                ::unlink((fPath + "/" + n).c_str());
        }
        closedir(d);
    }
    ::rmdir(fPath.c_str());
    if (fHadOld)
        setenv("KELVORCOMM_DEVICES", fOldValue.c_str(), 1);
    else
        unsetenv("KELVORCOMM_DEVICES");
}

void DeviceMap::map(int comNo, const std::string& target)
{
    unmap(comNo);
    std::string link = fPath + "/com" + std::to_string(comNo);
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("symlink failed: " + link);
}

void DeviceMap::unmap(int comNo)
{
    ::unlink((fPath + "/com" + std::to_string(comNo)).c_str());
}

int CountOpenFds()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

int CountThreads()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

Bytes HexBytes(const char* hex)
{
    Bytes out;
    int nibbles = 0, acc = 0;
    for (const char* p = hex; *p; ++p) {
        int v;
        if (*p >= '0' && *p <= '9') v = *p - '0';
        else if (*p >= 'a' && *p <= 'f') v = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F') v = *p - 'A' + 10;
        else continue;
        acc = acc * 16 + v;
        if (++nibbles == 2) {
            out.push_back(static_cast<std::uint8_t>(acc));
            nibbles = acc = 0;
        }
    }
    return out;
}

} // namespace testsupport
