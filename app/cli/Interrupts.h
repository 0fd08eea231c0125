#pragma once
// Ctrl-C and SIGTERM for the command line, delivered as calls on a thread
// of their own rather than in a signal handler, so they may lock and wake.
#include <functional>
#include <thread>

class TInterrupts {
public:
    // Blocks SIGINT and SIGTERM in the calling thread, and so in every
    // thread it starts from now on (the port's, the demo slave's): make it
    // before any of them. OnInterrupt gets the number of interrupts so far.
    explicit TInterrupts(std::function<void(int Count)> OnInterrupt);
    // Stops watching; the signals stay blocked.
    ~TInterrupts();

    TInterrupts(const TInterrupts&) = delete;
    TInterrupts& operator=(const TInterrupts&) = delete;

private:
    std::thread FWatcher;
};
