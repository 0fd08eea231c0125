#pragma once
// Shared internals of the Linux Win32 layer: the handle table, waitable
// objects and error mapping. Not part of the public interface.
#include "platform/win32/Win32.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace win32posix::detail {

enum class Kind { Event, Thread, Serial, Key };

// One thread blocked in WaitForSingleObject/WaitForMultipleObjects. Each
// thread keeps one for its life, shared with whoever is about to wake it, so
// a wake-up can be sent after WaitMutex() is let go: the woken thread then
// does not run straight into the lock its waker still holds.
struct Waiter {
    std::condition_variable cv;
    // While the thread waits in poll() on a device instead of on cv
    // (Object::WaitInline), a write to efd wakes it.
    std::atomic<bool> polling{false};
    int efd = -1;
    ~Waiter();
    void Wake();
};

// Everything a HANDLE can name. The waitable state (signaled, waiters) of
// every object is guarded by WaitMutex(), so a wait on several objects sees
// one consistent picture without lock ordering trouble.
class Object {
public:
    Object(Kind k, bool manual) : kind(k), manualReset(manual) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Called once when the handle leaves the table (CloseHandle); the object
    // itself lives on while someone still holds a reference.
    virtual void OnClose() {}

    // A thread about to wait for this object may watch the device that will
    // set it instead of leaving that to the device's monitor: one thread
    // wakes for the device's news, not two. Waits on the calling thread
    // until the device has news, W is woken or Milliseconds (-1: no limit)
    // pass; false when the device cannot be watched that way now.
    virtual bool WaitInline(Waiter& W, int Milliseconds)
    {
        (void)W;
        (void)Milliseconds;
        return false;
    }
    // The thread that watched inline stops waiting: the device takes the
    // watch back if what it watched for is still pending.
    virtual void LeaveInline() {}

    const Kind kind;
    const bool manualReset;
    // Set once the handle has left the table: lookups no longer find it.
    std::atomic<bool> removed{false};
    bool signaled = false;          // guarded by WaitMutex()
    std::vector<std::shared_ptr<Waiter>> waiters; // guarded by WaitMutex()
    std::weak_ptr<Object> inlineSource;           // guarded by WaitMutex()
};

// The device whose pending operation sets Event, for Object::WaitInline.
// ResetForInline also clears Event, as an operation that starts does, under
// the same lock.
void ResetForInline(Object& Event, const std::shared_ptr<Object>& Device);
void ClearInlineSource(Object& Event);

// Threads to wake once the caller has let go of its own locks.
struct WakeList {
    std::vector<std::shared_ptr<Waiter>> waiters;
    void Wake();
};

std::mutex& WaitMutex();
// Sets the object; its waiters are woken at once, or, with Later, when the
// caller wakes that list. EndsInline: the operation the object's inline
// source completes has ended (ClearInlineSource, under the same lock).
void Signal(Object& o, WakeList* Later = nullptr, bool EndsInline = false);
void Unsignal(Object& o);

// Handle table. Handle values are never reused, so a stale handle is simply
// not found.
std::uintptr_t Insert(std::shared_ptr<Object> o);
std::shared_ptr<Object> Lookup(std::uintptr_t h);
std::shared_ptr<Object> Remove(std::uintptr_t h);

inline std::uintptr_t Raw(const void* h) { return reinterpret_cast<std::uintptr_t>(h); }

template <class T>
std::shared_ptr<T> LookupAs(const void* h, Kind k)
{
    auto o = Lookup(Raw(h));
    if (!o || o->kind != k)
        return nullptr;
    return std::static_pointer_cast<T>(o);
}

// errno -> Win32 error code, for calls on an open device.
DWORD ErrnoToWin32(int e);
// errno -> Win32 error code, for opening a device.
DWORD OpenErrnoToWin32(int e);

// Whether CreateFileW may open the device at path: ERROR_SUCCESS for a
// terminal device of a tty driver (serial ports, USB adapters,
// pseudo-terminals); ERROR_BAD_DEVICE for anything else (a file, a folder,
// a FIFO, another driver's device); ERROR_DEVICE_IN_USE for the process's
// own controlling terminal; the error of a name that is not there. Looks
// without opening.
DWORD CheckSerialDevice(const std::string& path);

// Device-map helpers shared by CreateFileW and the registry.
std::string DeviceMapFolder();
// n when `name` is COMn (any case, n > 0 without leading zeros), else 0.
int ComNumber(const std::u16string& name);
// Length of a NUL-terminated UTF-16 string.
std::size_t WideLength(LPCWSTR s);

} // namespace win32posix::detail
