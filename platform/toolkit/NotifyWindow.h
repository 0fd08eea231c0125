#pragma once
// The hidden notification window: a message queue served by the thread that
// created it. Any thread may post (number, wparam, lparam); the owner's event
// loop hands the messages to the window procedure one by one, in posting order.
#include <QObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

struct TMessage {
    unsigned Msg;
    std::uintptr_t WParam;
    std::intptr_t LParam;
    std::intptr_t Result;
};

class TNotifyWindow : public QObject {
public:
    using TWndMethod = std::function<void(TMessage&)>;

    explicit TNotifyWindow(TWndMethod WndProc);
    ~TNotifyWindow() override;
    TNotifyWindow(const TNotifyWindow&) = delete;
    TNotifyWindow& operator=(const TNotifyWindow&) = delete;

    // Safe from any thread. False once the window is being destroyed.
    bool Post(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam);
    // What the system's default window procedure answers for our messages.
    static std::intptr_t DefaultProc(TNotifyWindow* Window, unsigned Msg, std::uintptr_t WParam,
                                     std::intptr_t LParam);
    // Messages posted and not yet handed to the window procedure.
    std::size_t Pending() const;

protected:
    bool event(QEvent* Event) override;

private:
    void _WakeLocked();

    TWndMethod FWndProc;
    mutable std::mutex FLock;
    std::deque<TMessage> FQueue; // guarded by FLock
    bool FWakePending = false;   // guarded by FLock: a wake-up event is on its way
    bool FClosed = false;        // guarded by FLock
};

// Creates a notification window owned by the calling thread.
TNotifyWindow* AllocateHWnd(TNotifyWindow::TWndMethod WndProc);
// Destroys it; messages still queued for it are dropped.
void DeallocateHWnd(TNotifyWindow* Window);
