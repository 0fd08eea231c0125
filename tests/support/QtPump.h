#pragma once
// Running the UI thread's event loop in tests until a condition holds.
#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// Delivers posted events until `cond` holds or `limit` passed; false on time-out.
inline bool PumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Delivers posted events for `span`.
inline void PumpFor(std::chrono::milliseconds span)
{
    PumpUntil([] { return false; }, span);
}

} // namespace testsupport
