// Test hooks of the Linux Win32 layer: calls made to fail, stand-in modem
// lines.
#include "platform/win32/posix/FaultInjection.h"

#include "platform/win32/posix/SerialDevice.h"

#include <atomic>
#include <map>
#include <mutex>

namespace win32posix {

namespace {

struct Rule {
    int skip;   // calls still to pass before failing
    int count;  // calls to fail from there
    DWORD error;
};

struct Faults {
    std::mutex m;
    std::map<std::string, Rule> rules;
};

Faults& TheFaults()
{
    static Faults* f = new Faults;
    return *f;
}

// Lets every call skip the mutex while no fault is armed.
std::atomic<bool> gArmed{false};

} // namespace

void FailCall(const char* name, int nth, DWORD error, int count)
{
    if (!name || nth < 1 || count < 1)
        return;
    Faults& f = TheFaults();
    std::lock_guard lk(f.m);
    f.rules[name] = Rule{nth - 1, count, error};
    gArmed.store(true);
}

void ResetFaults()
{
    Faults& f = TheFaults();
    std::lock_guard lk(f.m);
    f.rules.clear();
    gArmed.store(false);
}

bool ShouldFail(const char* name)
{
    if (!gArmed.load(std::memory_order_acquire))
        return false;
    Faults& f = TheFaults();
    DWORD error = 0;
    {
        std::lock_guard lk(f.m);
        auto it = f.rules.find(name);
        if (it == f.rules.end())
            return false;
        Rule& r = it->second;
        if (r.skip > 0) {
            --r.skip;
            return false;
        }
        error = r.error;
        if (--r.count == 0)
            f.rules.erase(it);
        if (f.rules.empty())
            gArmed.store(false);
    }
    SetLastError(error);
    return true;
}

namespace {
std::atomic<bool> gFakeModem{false};
std::atomic<DWORD> gFakeInputs{0};
std::atomic<DWORD> gFakeOutputs{kFakeDtr | kFakeRts};
} // namespace

void SetFakeModemLines(bool enabled, DWORD inputs)
{
    gFakeInputs.store(inputs & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
    gFakeModem.store(enabled);
}

DWORD FakeModemOutputs() { return gFakeOutputs.load(); }

} // namespace win32posix

namespace win32posix::detail {

bool FakeModemEnabled() { return gFakeModem.load(); }
DWORD FakeModemInputs() { return gFakeInputs.load(); }

void SetFakeModemOutput(DWORD bit, bool on)
{
    if (on)
        gFakeOutputs.fetch_or(bit);
    else
        gFakeOutputs.fetch_and(~bit);
}

} // namespace win32posix::detail
