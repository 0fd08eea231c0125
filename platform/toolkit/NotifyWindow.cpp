#include "platform/toolkit/NotifyWindow.h"

#include <QCoreApplication>
#include <QEvent>

#include "platform/rtl/Rtl.h"
#include "platform/toolkit/Toolkit.h"

namespace {

QEvent::Type WakeEventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

TNotifyWindow::TNotifyWindow(TWndMethod WndProc) : FWndProc(std::move(WndProc))
{
    WakeEventType(); // register on the owner's thread, not on a poster's
}

TNotifyWindow::~TNotifyWindow()
{
    std::lock_guard<std::mutex> g(FLock);
    FClosed = true;
    FQueue.clear();
    // A wake-up event still in Qt's queue is removed by ~QObject.
}

// The record itself travels through our own mutex-guarded queue, so the
// hand-over is visible to thread checkers; the posted event is only the knock.
bool TNotifyWindow::Post(unsigned Msg, std::uintptr_t WParam, std::intptr_t LParam)
{
    std::lock_guard<std::mutex> g(FLock);
    if (FClosed)
        return false;
    FQueue.push_back(TMessage{Msg, WParam, LParam, 0});
    if (!FWakePending)
        _WakeLocked();
    return true;
}

void TNotifyWindow::_WakeLocked()
{
    FWakePending = true;
    QCoreApplication::postEvent(this, new QEvent(WakeEventType()));
}

std::intptr_t TNotifyWindow::DefaultProc(TNotifyWindow*, unsigned, std::uintptr_t, std::intptr_t) { return 0; }

std::size_t TNotifyWindow::Pending() const
{
    std::lock_guard<std::mutex> g(FLock);
    return FQueue.size();
}

bool TNotifyWindow::event(QEvent* Event)
{
    TMessage msg;
    {
        // Our wake-up event was made on the posting thread under this lock;
        // look at it only once we hold the lock too.
        std::unique_lock<std::mutex> g(FLock);
        if (Event->type() != WakeEventType()) {
            g.unlock();
            return QObject::event(Event);
        }
        if (FQueue.empty()) {
            FWakePending = false;
            return true;
        }
        msg = FQueue.front();
        FQueue.pop_front();
        // Knock again before running the handler, so a nested event loop
        // inside it (a modal box) still gets the messages that follow.
        if (FQueue.empty())
            FWakePending = false;
        else
            _WakeLocked();
    }
    // The handler may destroy this window; nothing below touches it.
    TWndMethod proc = FWndProc;
    // Handler exceptions take the application's usual display; none may
    // reach Qt's event loop.
    try {
        try {
            if (proc)
                proc(msg);
        } catch (const std::exception& e) {
            Toolkit::ShowException(e);
        } catch (...) {
            Toolkit::ShowException(Exception());
        }
    } catch (...) {
    }
    return true;
}

TNotifyWindow* AllocateHWnd(TNotifyWindow::TWndMethod WndProc) { return new TNotifyWindow(std::move(WndProc)); }

void DeallocateHWnd(TNotifyWindow* Window) { delete Window; }
