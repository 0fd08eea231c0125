// The one registry key the library reads: the system's serial devices,
// built from sysfs and the device-map folder.
#include "platform/rtl/Rtl.h"
#include "platform/win32/posix/FaultInjection.h"
#include "platform/win32/posix/Internal.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace win32posix::detail {

namespace {

struct Value {
    std::u16string name;
    std::u16string data;
};

class Key : public Object {
public:
    Key() : Object(Kind::Key, true) {}
    std::vector<Value> values; // snapshot taken when the key was opened
};

std::vector<std::string> ListDir(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

// Canonical form for comparing device paths; the path itself when it does
// not resolve (a fake sysfs tree names devices that need not exist).
std::string Canonical(const std::string& path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// Placeholder UARTs of the legacy 8250 driver report type 0 (unknown).
bool IsPlaceholderUart(const std::string& root, const std::string& name)
{
    if (name.rfind("ttyS", 0) != 0)
        return false;
    std::ifstream in(root + "/" + name + "/type");
    std::string type;
    if (!(in >> type))
        return false;
    return type == "0";
}

std::vector<Value> SerialDevices()
{
    const char* env = std::getenv("KELVORCOMM_SYSFS_TTY");
    const std::string root = env && *env ? env : "/sys/class/tty";

    // com<n> entries of the device map, by number.
    struct Mapped {
        int n;
        std::string link;
        std::string target; // canonical
        bool used = false;
    };
    std::vector<Mapped> mapped;
    const std::string folder = DeviceMapFolder();
    for (const std::string& entry : ListDir(folder)) {
        if (entry.size() < 4 || entry.compare(0, 3, "com") != 0)
            continue;
        int n = ComNumber(::FromUtf8(entry));
        std::string link = folder + "/" + entry;
        if (n > 0 && Exists(link))
            mapped.push_back({n, link, Canonical(link)});
    }
    std::sort(mapped.begin(), mapped.end(), [](const Mapped& a, const Mapped& b) { return a.n < b.n; });

    std::vector<Value> values;
    for (const std::string& name : ListDir(root)) {
        if (!Exists(root + "/" + name + "/device/driver") || IsPlaceholderUart(root, name))
            continue;
        const std::string dev = "/dev/" + name;
        const std::string canon = Canonical(dev);
        std::u16string portName = ::FromUtf8(name);
        for (Mapped& m : mapped) {
            if (!m.used && m.target == canon) {
                m.used = true;
                portName = u"COM" + ::FromUtf8(std::to_string(m.n));
                break;
            }
        }
        values.push_back({::FromUtf8(dev), portName});
    }
    // Mapped ports that sysfs does not list (pseudo-terminals, for one).
    for (Mapped& m : mapped) {
        if (m.used)
            continue;
        std::u16string valueName = ::FromUtf8(m.target);
        if (std::any_of(values.begin(), values.end(), [&](const Value& v) { return v.name == valueName; }))
            valueName = ::FromUtf8(m.link); // names in a key are unique
        values.push_back({valueName, u"COM" + ::FromUtf8(std::to_string(m.n))});
    }
    return values;
}

bool EqualNoCase(LPCWSTR a, const char16_t* b)
{
    for (;; ++a, ++b) {
        char16_t x = *a, y = *b;
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - u'a' + u'A');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

bool IsPredefined(HKEY k)
{
    auto v = reinterpret_cast<std::uintptr_t>(k);
    return v >= 0x80000000u && v <= 0x80000006u;
}

LSTATUS Status(LONG code)
{
    SetLastError(static_cast<DWORD>(code));
    return code;
}

} // namespace

} // namespace win32posix::detail

using namespace win32posix::detail;
using win32posix::ShouldFail;

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    if (ShouldFail("RegOpenKeyExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (!phkResult)
        return Status(ERROR_INVALID_PARAMETER);
    *phkResult = nullptr;
    if (!IsPredefined(hKey) && !LookupAs<Key>(hKey, Kind::Key))
        return Status(ERROR_INVALID_HANDLE);
    if (hKey != HKEY_LOCAL_MACHINE || !lpSubKey || !EqualNoCase(lpSubKey, u"HARDWARE\\DEVICEMAP\\SERIALCOMM"))
        return Status(ERROR_FILE_NOT_FOUND);
    auto key = std::make_shared<Key>();
    key->values = SerialDevices();
    *phkResult = reinterpret_cast<HKEY>(Insert(std::move(key)));
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                      LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData)
{
    if (ShouldFail("RegEnumValueW"))
        return static_cast<LSTATUS>(GetLastError());
    auto key = LookupAs<Key>(hKey, Kind::Key);
    if (!key)
        return Status(ERROR_INVALID_HANDLE);
    if (!lpValueName || !lpcchValueName || (lpData && !lpcbData))
        return Status(ERROR_INVALID_PARAMETER);
    if (dwIndex >= key->values.size())
        return Status(ERROR_NO_MORE_ITEMS);
    const Value& v = key->values[dwIndex];
    // The name needs room for its NUL; the data carries its NUL.
    if (*lpcchValueName < v.name.size() + 1)
        return Status(ERROR_MORE_DATA);
    const DWORD dataBytes = static_cast<DWORD>((v.data.size() + 1) * sizeof(char16_t));
    if (lpData && *lpcbData < dataBytes) {
        *lpcbData = dataBytes;
        return Status(ERROR_MORE_DATA);
    }
    std::memcpy(lpValueName, v.name.c_str(), (v.name.size() + 1) * sizeof(char16_t));
    *lpcchValueName = static_cast<DWORD>(v.name.size());
    if (lpType)
        *lpType = REG_SZ;
    if (lpData)
        std::memcpy(lpData, v.data.c_str(), dataBytes);
    if (lpcbData)
        *lpcbData = dataBytes;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR, LPDWORD, LPDWORD, BYTE*, LPDWORD)
{
    if (ShouldFail("RegQueryValueExW"))
        return static_cast<LSTATUS>(GetLastError());
    if (!IsPredefined(hKey) && !LookupAs<Key>(hKey, Kind::Key))
        return Status(ERROR_INVALID_HANDLE);
    // The serial map is read by enumeration only; no other key exists.
    return Status(ERROR_FILE_NOT_FOUND);
}

LSTATUS RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    if (!LookupAs<Key>(hKey, Kind::Key) || !Remove(reinterpret_cast<std::uintptr_t>(hKey)))
        return Status(ERROR_INVALID_HANDLE);
    return ERROR_SUCCESS;
}
