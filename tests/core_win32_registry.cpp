// The serial device map read through the registry calls, over a fake sysfs
// tree and a device-map folder.
#include "tests/core_win32_Support.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

using namespace win32test;

namespace {

const char16_t* kSerialComm = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// A throw-away /sys/class/tty look-alike.
class FakeSysfs {
public:
    FakeSysfs()
    {
        char tmpl[] = "/tmp/kelvor-sysfs-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp");
        fRoot = tmpl;
    }
    ~FakeSysfs() { std::system(("rm -rf " + fRoot).c_str()); }
    // A tty; with a driver it counts as a serial device. `type` is written
    // when given (the UART type file of ttyS ports).
    void Add(const std::string& name, bool driver, const char* type = nullptr)
    {
        std::string dir = fRoot + "/" + name;
        mkdir(dir.c_str(), 0755);
        if (driver) {
            mkdir((dir + "/device").c_str(), 0755);
            mkdir((dir + "/device/driver").c_str(), 0755);
        }
        if (type) {
            FILE* f = std::fopen((dir + "/type").c_str(), "w");
            std::fputs(type, f);
            std::fclose(f);
        }
    }
    const std::string& root() const { return fRoot; }

private:
    std::string fRoot;
};

// All values of the key: value name -> data.
std::map<std::u16string, std::u16string> ReadAll(HKEY key)
{
    std::map<std::u16string, std::u16string> out;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        BYTE data[512];
        DWORD cchName = 256, cbData = sizeof data, type = 0;
        LSTATUS r = RegEnumValueW(key, i, name, &cchName, nullptr, &type, data, &cbData);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(r, ERROR_SUCCESS);
        if (r != ERROR_SUCCESS)
            break;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(cbData % 2, 0u);
        std::u16string value(reinterpret_cast<const char16_t*>(data), cbData / 2);
        EXPECT_EQ(value.back(), u'\0') << "data is NUL-terminated";
        value.pop_back();
        out[std::u16string(name, cchName)] = value;
    }
    return out;
}

TEST(Win32Registry, SerialMapListsDriverBackedTtysAndMappedPorts)
{
    FakeSysfs sysfs;
    sysfs.Add("ttyS0", true, "4\n");   // a real 16550A
    sysfs.Add("ttyS1", true, "0\n");   // placeholder without hardware
    sysfs.Add("ttyUSB0", true);
    sysfs.Add("tty0", false);          // virtual console, no driver
    sysfs.Add("null", true);           // stands in for a device that exists in /dev
    ScopedEnv root("KELVORCOMM_SYSFS_TTY", sysfs.root().c_str());

    testsupport::PtyPair pty;
    testsupport::DeviceMap map;
    map.map(7, pty.slavePath());     // not in sysfs: listed from the map
    map.map(5, "/dev/null");         // in sysfs: listed under its COM name
    map.map(9, "/nonexistent/tty");  // dangling: left out

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key), ERROR_SUCCESS);
    ASSERT_NE(key, nullptr);
    auto values = ReadAll(key);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    std::map<std::u16string, std::u16string> expected = {
        {u"/dev/ttyS0", u"ttyS0"},
        {u"/dev/ttyUSB0", u"ttyUSB0"},
        {u"/dev/null", u"COM5"},
        {Wide(pty.slavePath()), u"COM7"},
    };
    EXPECT_EQ(values, expected);
}

TEST(Win32Registry, EnumerationFollowsWin32BufferRules)
{
    FakeSysfs sysfs;
    sysfs.Add("ttyUSB0", true);
    ScopedEnv root("KELVORCOMM_SYSFS_TTY", sysfs.root().c_str());
    testsupport::DeviceMap map; // empty

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"hardware\\devicemap\\serialcomm", 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << "key names are case-blind";

    WCHAR name[64];
    BYTE data[64];
    DWORD cchName = 12; // "/dev/ttyUSB0" is 12 characters: no room for the NUL
    DWORD cbData = sizeof data;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &cchName, nullptr, nullptr, data, &cbData), ERROR_MORE_DATA);

    cchName = 13;
    cbData = 15; // "ttyUSB0" + NUL needs 16 bytes
    EXPECT_EQ(RegEnumValueW(key, 0, name, &cchName, nullptr, nullptr, data, &cbData), ERROR_MORE_DATA);
    EXPECT_EQ(cbData, 16u) << "the size needed is reported";

    cchName = 13;
    cbData = 0;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &cchName, nullptr, nullptr, nullptr, &cbData), ERROR_SUCCESS)
        << "without a data buffer only the size is asked for";
    EXPECT_EQ(cbData, 16u);
    EXPECT_EQ(cchName, 12u);
    EXPECT_EQ(std::u16string(name), u"/dev/ttyUSB0");

    cchName = 64;
    cbData = 16;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &cchName, nullptr, nullptr, data, &cbData), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data)), u"ttyUSB0");

    cchName = 64;
    cbData = sizeof data;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &cchName, nullptr, nullptr, data, &cbData), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueW(key, 0, nullptr, &cchName, nullptr, nullptr, data, &cbData), ERROR_INVALID_PARAMETER);

    WCHAR owner[64];
    DWORD cb = sizeof owner;
    EXPECT_EQ(RegQueryValueExW(key, u"RegisteredOwner", nullptr, nullptr, reinterpret_cast<BYTE*>(owner), &cb),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    cchName = 64;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &cchName, nullptr, nullptr, data, &cbData), ERROR_INVALID_HANDLE);
}

TEST(Win32Registry, OtherKeysDoNotExist)
{
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                            &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    const HKEY currentUser = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
    EXPECT_EQ(RegOpenKeyExW(currentUser, kSerialComm, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    // A registry key is no kernel handle and the other way round.
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(ev)), ERROR_INVALID_HANDLE);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(key)));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(ev));
}

TEST(Win32Registry, FaultInjectionCanEndTheEnumerationPartWay)
{
    FakeSysfs sysfs;
    sysfs.Add("ttyUSB0", true);
    sysfs.Add("ttyUSB1", true);
    ScopedEnv root("KELVORCOMM_SYSFS_TTY", sysfs.root().c_str());
    testsupport::DeviceMap map;
    HKEY key = nullptr;
    win32posix::FailCall("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key), ERROR_SUCCESS);
    win32posix::FailCall("RegEnumValueW", 2, ERROR_MORE_DATA);
    WCHAR name[64];
    DWORD cchName = 64;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &cchName, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    cchName = 64;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &cchName, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(key);
    win32posix::ResetFaults();
}

} // namespace
