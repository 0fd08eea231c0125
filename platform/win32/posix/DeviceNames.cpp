// The device namespace: which Linux device a Win32 name such as \\.\COM3 opens.
#include "platform/rtl/Rtl.h"
#include "platform/win32/posix/FaultInjection.h"
#include "platform/win32/posix/Internal.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win32posix::detail {

std::size_t WideLength(LPCWSTR s)
{
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

std::string DeviceMapFolder()
{
    if (const char* d = std::getenv("KELVORCOMM_DEVICES"); d && *d)
        return d;
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/.config/kelvorcomm/devices";
}

int ComNumber(const std::u16string& name)
{
    if (name.size() < 4)
        return 0;
    for (int i = 0; i < 3; ++i) {
        char16_t c = name[static_cast<std::size_t>(i)];
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
        if (c != u"COM"[i])
            return 0;
    }
    // Windows knows COM7, not COM07.
    if (name[3] == u'0')
        return 0;
    long long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c < u'0' || c > u'9')
            return 0;
        n = n * 10 + (c - u'0');
        if (n > INT_MAX)
            return 0;
    }
    return static_cast<int>(n);
}

} // namespace win32posix::detail

namespace win32posix {

std::string ResolveDevicePath(const std::u16string& win32Name)
{
    using namespace detail;
    static const std::u16string kPrefix = u"\\\\.\\";
    std::u16string name = win32Name;
    if (name.compare(0, kPrefix.size(), kPrefix) == 0)
        name.erase(0, kPrefix.size());
    if (name.empty() || name.find(u'\\') != std::u16string::npos)
        return {};
    if (name[0] == u'/')
        return ::ToUtf8(name);
    if (int n = ComNumber(name)) {
        std::string folder = DeviceMapFolder();
        std::string link = folder + "/com" + std::to_string(n);
        struct stat st{};
        if (lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return link;
            char buf[PATH_MAX];
            ssize_t len = readlink(link.c_str(), buf, sizeof buf - 1);
            if (len <= 0)
                return link;
            std::string target(buf, static_cast<std::size_t>(len));
            return target[0] == '/' ? target : folder + "/" + target;
        }
        return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + ::ToUtf8(name);
}

} // namespace win32posix
