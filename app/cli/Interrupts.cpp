#include "app/cli/Interrupts.h"

#include <csignal>
#include <pthread.h>

namespace {

// Sent by the destructor to end the watcher.
constexpr int kStopSignal = SIGUSR2;

sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, kStopSignal);
    return set;
}

} // namespace

TInterrupts::TInterrupts(std::function<void(int Count)> OnInterrupt)
{
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    FWatcher = std::thread([set, OnInterrupt = std::move(OnInterrupt)] {
        int count = 0;
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0 || signal == kStopSignal)
                return;
            OnInterrupt(++count);
        }
    });
}

TInterrupts::~TInterrupts()
{
    pthread_kill(FWatcher.native_handle(), kStopSignal);
    FWatcher.join();
}
