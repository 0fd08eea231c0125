// Handles, events, waits, threads and the per-thread error code.
#include "platform/win32/posix/FaultInjection.h"
#include "platform/win32/posix/Internal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <pthread.h>
#include <span>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>

namespace win32posix::detail {

namespace {

thread_local DWORD tLastError = 0;

struct Table {
    std::mutex m;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects;
    std::uintptr_t next = 1;
};

// Never destroyed: threads may still look handles up while the process exits.
Table& TheTable()
{
    static Table* t = new Table;
    return *t;
}

} // namespace

std::mutex& WaitMutex()
{
    static std::mutex* m = new std::mutex;
    return *m;
}

void Signal(Object& o, WakeList* Later, bool EndsInline)
{
    // Woken outside the lock. A waiter that returns meanwhile (another of
    // its objects came first) only takes a spurious wake-up in a later wait,
    // which looks at its objects again.
    std::array<std::shared_ptr<Waiter>, 4> wake;
    std::size_t n = 0;
    {
        std::lock_guard lk(WaitMutex());
        if (EndsInline)
            o.inlineSource.reset();
        o.signaled = true;
        for (const auto& w : o.waiters) {
            if (Later)
                Later->waiters.push_back(w);
            else if (n < wake.size())
                wake[n++] = w;
            else
                w->Wake();
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        wake[i]->Wake();
}

void WakeList::Wake()
{
    for (const auto& w : waiters)
        w->Wake();
    waiters.clear();
}

Waiter::~Waiter()
{
    if (efd >= 0)
        ::close(efd);
}

void Waiter::Wake()
{
    cv.notify_one();
    if (polling.load()) {
        const std::uint64_t one = 1;
        ssize_t r;
        while ((r = ::write(efd, &one, sizeof one)) < 0 && errno == EINTR) {
        }
        (void)r;
    }
}

void ResetForInline(Object& Event, const std::shared_ptr<Object>& Device)
{
    std::lock_guard lk(WaitMutex());
    Event.signaled = false;
    Event.inlineSource = Device;
}

void ClearInlineSource(Object& Event)
{
    std::lock_guard lk(WaitMutex());
    Event.inlineSource.reset();
}

void Unsignal(Object& o)
{
    std::lock_guard lk(WaitMutex());
    o.signaled = false;
}

std::uintptr_t Insert(std::shared_ptr<Object> o)
{
    Table& t = TheTable();
    std::lock_guard lk(t.m);
    // Multiples of four, like Windows handles: never 0 and never -1.
    std::uintptr_t h = (t.next++) << 2;
    t.objects.emplace(h, std::move(o));
    return h;
}

namespace {

// The handles a thread used last, so that a port's threads, which name the
// same few handles on every byte, need not take the table's lock each time.
// Handle values are never reused, so an entry stays right until its object
// leaves the table (Object::removed); it does not keep the object alive.
struct LookupCache {
    struct Entry {
        std::uintptr_t h = 0;
        std::weak_ptr<Object> o;
    };
    std::array<Entry, 16> entries;
    Entry& For(std::uintptr_t h) { return entries[(h >> 2) % entries.size()]; }
};

thread_local LookupCache tLookups;

} // namespace

std::shared_ptr<Object> Lookup(std::uintptr_t h)
{
    LookupCache::Entry& e = tLookups.For(h);
    if (e.h == h) {
        std::shared_ptr<Object> o = e.o.lock();
        if (o && !o->removed.load(std::memory_order_acquire))
            return o;
    }
    Table& t = TheTable();
    std::shared_ptr<Object> o;
    {
        std::lock_guard lk(t.m);
        auto it = t.objects.find(h);
        if (it == t.objects.end())
            return nullptr;
        o = it->second;
    }
    e.h = h;
    e.o = o;
    return o;
}

std::shared_ptr<Object> Remove(std::uintptr_t h)
{
    Table& t = TheTable();
    std::shared_ptr<Object> o;
    {
        std::lock_guard lk(t.m);
        auto it = t.objects.find(h);
        if (it == t.objects.end())
            return nullptr;
        o = std::move(it->second);
        t.objects.erase(it);
        o->removed.store(true, std::memory_order_release);
    }
    o->OnClose();
    return o;
}

DWORD ErrnoToWin32(int e)
{
    switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: case ENOTDIR: case ENAMETOOLONG: case ELOOP: return ERROR_FILE_NOT_FOUND;
    case EACCES: case EPERM: case EBUSY: case EWOULDBLOCK: case EISDIR: case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: case ERANGE: return ERROR_INVALID_PARAMETER;
    case ENOTTY: case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EIO: case ENXIO: case ENODEV: return ERROR_DEVICE_NOT_CONNECTED;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD OpenErrnoToWin32(int e)
{
    switch (e) {
    // A missing port on Windows is "file not found", whatever the reason.
    case ENOENT: case ENOTDIR: case ENAMETOOLONG: case ELOOP: case ENXIO: case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    default:
        return ErrnoToWin32(e);
    }
}

} // namespace win32posix::detail

using namespace win32posix::detail;
using win32posix::ShouldFail;

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

BOOL CloseHandle(HANDLE hObject)
{
    auto o = Lookup(Raw(hObject));
    // Registry keys are closed with RegCloseKey only.
    if (!o || o->kind == Kind::Key || !Remove(Raw(hObject))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ---- events ----

namespace {
class Event : public Object {
public:
    explicit Event(bool manual) : Object(Kind::Event, manual) {}
};
} // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    if (ShouldFail("CreateEventW"))
        return nullptr;
    if (lpName && *lpName) {
        // Named events are shared between processes on Windows; nothing here needs them.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto e = std::make_shared<Event>(bManualReset != FALSE);
    e->signaled = bInitialState != FALSE;
    return reinterpret_cast<HANDLE>(Insert(std::move(e)));
}

BOOL SetEvent(HANDLE hEvent)
{
    if (ShouldFail("SetEvent"))
        return FALSE;
    auto e = LookupAs<Object>(hEvent, Kind::Event);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Signal(*e);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent)
{
    if (ShouldFail("ResetEvent"))
        return FALSE;
    auto e = LookupAs<Object>(hEvent, Kind::Event);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Unsignal(*e);
    return TRUE;
}

// ---- waits ----

static DWORD WaitObjectsLocked(std::span<std::shared_ptr<Object>> objs, BOOL bWaitAll, DWORD dwMilliseconds,
                               std::unique_lock<std::mutex>& lk, std::shared_ptr<Object>& watched)
{
    const DWORD nCount = static_cast<DWORD>(objs.size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    thread_local const std::shared_ptr<Waiter> tWaiter = std::make_shared<Waiter>();
    const std::shared_ptr<Waiter>& w = tWaiter;
    bool registered = false;
    auto unregister = [&] {
        if (!registered)
            return;
        for (auto& o : objs)
            o->waiters.erase(std::remove(o->waiters.begin(), o->waiters.end(), w), o->waiters.end());
    };
    bool timedOut = false;
    bool noInline = false;
    for (;;) {
        if (!bWaitAll) {
            for (DWORD i = 0; i < nCount; ++i) {
                Object& o = *objs[i];
                if (o.signaled) {
                    if (!o.manualReset)
                        o.signaled = false;
                    unregister();
                    return WAIT_OBJECT_0 + i;
                }
            }
        } else if (std::all_of(objs.begin(), objs.end(), [](auto& o) { return o->signaled; })) {
            for (auto& o : objs)
                if (!o->manualReset)
                    o->signaled = false;
            unregister();
            return WAIT_OBJECT_0;
        }
        if (timedOut || dwMilliseconds == 0) {
            unregister();
            return WAIT_TIMEOUT;
        }
        if (!registered) {
            for (auto& o : objs)
                o->waiters.push_back(w);
            registered = true;
        }
        // One of the objects is set by a device this thread can watch itself.
        std::shared_ptr<Object> source;
        if (!noInline)
            for (auto& o : objs)
                if ((source = o->inlineSource.lock()))
                    break;
        if (source && !bWaitAll && w->efd < 0)
            w->efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (source && (bWaitAll || w->efd < 0)) {
            // Not here: the device's monitor must watch for it.
            lk.unlock();
            source->LeaveInline();
            lk.lock();
            noInline = true;
            continue;
        }
        if (source) {
            int ms = -1;
            if (dwMilliseconds != INFINITE) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
            }
            w->polling.store(true);
            lk.unlock();
            const bool waited = source->WaitInline(*w, ms);
            lk.lock();
            w->polling.store(false);
            if (waited) {
                if (!watched)
                    watched = std::move(source);
                if (dwMilliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline)
                    timedOut = true; // one last look before giving up
            } else {
                noInline = true;
            }
            continue; // the lock was let go: look at the objects again
        }
        if (dwMilliseconds == INFINITE)
            w->cv.wait(lk);
        else if (w->cv.wait_until(lk, deadline) == std::cv_status::timeout)
            timedOut = true; // one last look before giving up
    }
}

namespace {

// Up to MAXIMUM_WAIT_OBJECTS references, of which only those added exist.
class WaitRefs {
public:
    WaitRefs() {}
    ~WaitRefs()
    {
        for (std::size_t i = 0; i < fCount; ++i)
            fItems[i].~shared_ptr();
    }
    WaitRefs(const WaitRefs&) = delete;
    WaitRefs& operator=(const WaitRefs&) = delete;
    void Add(std::shared_ptr<Object> o) { new (&fItems[fCount++]) std::shared_ptr<Object>(std::move(o)); }
    std::span<std::shared_ptr<Object>> Span() { return {fItems, fCount}; }
    std::shared_ptr<Object>& operator[](std::size_t i) { return fItems[i]; }

private:
    union {
        std::shared_ptr<Object> fItems[MAXIMUM_WAIT_OBJECTS];
    };
    std::size_t fCount = 0;
};

} // namespace

static DWORD WaitObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The references keep every object alive while we wait, even if another
    // thread closes its handle meanwhile. Only as many are made as there are
    // handles: a wait on one or two is the common case, many times a second.
    WaitRefs refs;
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<Object> o = Lookup(Raw(lpHandles[i]));
        if (!o || o->kind == Kind::Key) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        refs.Add(std::move(o));
    }
    // A thread that watched a device for an earlier wait and now returns
    // before this one's end (a time-out, another object) gives the watch back.
    std::shared_ptr<Object> watched;
    std::unique_lock lk(WaitMutex());
    for (DWORD i = 0; i < nCount && !watched; ++i)
        watched = refs[i]->inlineSource.lock();
    const DWORD r = WaitObjectsLocked(refs.Span(), bWaitAll, dwMilliseconds, lk, watched);
    lk.unlock();
    // The device's own lock comes before WaitMutex(), so only now.
    if (watched)
        watched->LeaveInline();
    return r;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    if (ShouldFail("WaitForSingleObject"))
        return WAIT_FAILED;
    return WaitObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (ShouldFail("WaitForMultipleObjects"))
        return WAIT_FAILED;
    return WaitObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
}

void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- threads ----

namespace {

class Thread : public Object {
public:
    Thread() : Object(Kind::Thread, true) {}
    std::atomic<pid_t> tid{0};
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};
    std::atomic<bool> priorityWanted{false};
};

// Windows priorities above normal become a lower nice value. Only a
// privileged process may do that; without the right it stays a wish.
void ApplyPriority(pid_t tid, int priority)
{
    if (tid == 0)
        return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -2 * std::clamp(priority, -10, 10));
}

struct StartBlock {
    void (*fn)(void*);
    void* arg;
    std::shared_ptr<Thread> self;
    std::uintptr_t handle;
};

void* ThreadMain(void* p)
{
    auto* sb = static_cast<StartBlock*>(p);
    auto self = std::move(sb->self);
    self->tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    if (self->priorityWanted.load())
        ApplyPriority(self->tid.load(), self->priority.load());
    void (*fn)(void*) = sb->fn;
    void* arg = sb->arg;
    std::uintptr_t handle = sb->handle;
    delete sb;
    fn(arg);
    // The runtime closes a _beginthread handle itself when the thread ends.
    Remove(handle);
    Signal(*self);
    return nullptr;
}

} // namespace

std::uintptr_t _beginthread(void (*start_address)(void*), unsigned stack_size, void* arglist)
{
    const auto failed = static_cast<std::uintptr_t>(-1);
    if (ShouldFail("_beginthread")) {
        errno = EAGAIN;
        return failed;
    }
    if (!start_address) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return failed;
    }
    auto self = std::make_shared<Thread>();
    std::uintptr_t handle = Insert(self);
    auto* sb = new StartBlock{start_address, arglist, self, handle};

    // Linux threads need far more than a Windows 4 KiB request, and the
    // sanitizers more still: the thread sanitizer keeps most of a megabyte of
    // thread-local state at the top of each stack.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const std::size_t minStack = 4u << 20;
#else
    const std::size_t minStack = 1u << 20;
#endif
    long page = sysconf(_SC_PAGESIZE);
    std::size_t stack = std::max<std::size_t>(stack_size, minStack);
    if (page > 0)
        stack = (stack + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page) * static_cast<std::size_t>(page);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_attr_setstacksize(&attr, stack);
    pthread_t tid;
    if (rc == 0)
        rc = pthread_create(&tid, &attr, ThreadMain, sb);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete sb;
        Remove(handle);
        errno = rc;
        SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrnoToWin32(rc));
        return failed;
    }
    return handle;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority)
{
    auto t = LookupAs<Thread>(hThread, Kind::Thread);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (nPriority < -15 || nPriority > 15) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t->priority.store(nPriority);
    t->priorityWanted.store(true);
    ApplyPriority(t->tid.load(), nPriority);
    return TRUE;
}
