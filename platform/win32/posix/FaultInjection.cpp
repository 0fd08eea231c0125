// Test hooks of the Linux Win32 layer: calls made to fail or preceded by a
// test's action, a seam on the serial ioctls, stand-in modem lines.
#include "platform/win32/posix/FaultInjection.h"

#include "platform/win32/posix/SerialDevice.h"

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

namespace win32posix {

namespace {

struct Rule {
    int skip;   // calls still to pass before failing
    int count;  // calls to fail from there
    DWORD error;
};

struct Action {
    int skip; // calls still to pass before it runs
    std::function<void()> run;
};

struct Faults {
    std::mutex m;
    std::map<std::string, Rule> rules;
    std::map<std::string, Action> actions;
    std::shared_ptr<const IoctlSeam> seam;
};

Faults& TheFaults()
{
    static Faults* f = new Faults;
    return *f;
}

// Let every call skip the mutex while nothing is armed.
std::atomic<bool> gArmed{false};
std::atomic<bool> gSeamSet{false};

void Rearm(Faults& f) { gArmed.store(!f.rules.empty() || !f.actions.empty()); }

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

void BeforeCall(const char* name, std::function<void()> action, int nth)
{
    if (!name || !action || nth < 1)
        return;
    Faults& f = TheFaults();
    std::lock_guard lk(f.m);
    f.actions[name] = Action{nth - 1, std::move(action)};
    gArmed.store(true);
}

void SetIoctlSeam(IoctlSeam seam)
{
    Faults& f = TheFaults();
    std::lock_guard lk(f.m);
    f.seam = seam ? std::make_shared<const IoctlSeam>(std::move(seam)) : nullptr;
    gSeamSet.store(f.seam != nullptr);
}

void ResetFaults()
{
    Faults& f = TheFaults();
    std::lock_guard lk(f.m);
    f.rules.clear();
    f.actions.clear();
    f.seam.reset();
    gArmed.store(false);
    gSeamSet.store(false);
}

bool ShouldFail(const char* name)
{
    if (!gArmed.load(std::memory_order_acquire))
        return false;
    Faults& f = TheFaults();
    std::function<void()> action;
    {
        std::lock_guard lk(f.m);
        auto a = f.actions.find(name);
        if (a != f.actions.end()) {
            if (a->second.skip > 0) {
                --a->second.skip;
            } else {
                action = std::move(a->second.run);
                f.actions.erase(a);
                Rearm(f);
            }
        }
    }
    // Outside the lock: the action may call into the layer itself.
    if (action)
        action();
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
        Rearm(f);
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

int ApplyIoctlSeam(int fd, unsigned long request, void* arg, int result)
{
    if (!gSeamSet.load(std::memory_order_acquire))
        return result;
    std::shared_ptr<const IoctlSeam> seam;
    {
        Faults& f = TheFaults();
        std::lock_guard lk(f.m);
        seam = f.seam;
    }
    if (!seam)
        return result;
    const int saved = errno;
    const int reported = (*seam)(fd, request, arg, result);
    if (reported == result)
        errno = saved;
    return reported;
}

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
