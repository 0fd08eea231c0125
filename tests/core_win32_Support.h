#pragma once
// Helpers shared by the Win32 layer tests.
#include "platform/win32/Win32.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/support/Pty.h"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace win32test {

inline std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }
inline std::u16string DeviceName(const std::string& path) { return u"\\\\.\\" + Wide(path); }

inline HANDLE OpenPort(const std::u16string& name)
{
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Polls `cond` until it holds or `limit` passes.
inline bool Eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// CPU time (clock ticks) used so far by the threads of this process whose
// name is `comm`.
inline long ThreadCpuTicks(const std::string& comm)
{
    long total = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d)
        return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream c(base + "/comm");
        std::string name;
        std::getline(c, name);
        if (name != comm)
            continue;
        std::ifstream s(base + "/stat");
        std::string line;
        std::getline(s, line);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        total += utime + stime;
    }
    closedir(d);
    return total;
}

// Thread count to compare against later. A sanitizer starts a helper thread
// of its own with the first thread, so one is started and joined first.
inline int BaselineThreads()
{
    std::thread([] {}).join();
    return testsupport::CountThreads();
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : fName(name)
    {
        if (const char* old = std::getenv(name))
            fOld = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (fOld)
            setenv(fName.c_str(), fOld->c_str(), 1);
        else
            unsetenv(fName.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string fName;
    std::optional<std::string> fOld;
};

// A manual-reset event that closes itself.
struct Event {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event()
    {
        if (h)
            CloseHandle(h);
    }
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
};

} // namespace win32test
