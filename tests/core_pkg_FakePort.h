#pragma once
// A port that never opens: received bytes are fed by the test, written
// bytes are collected, notifications are raised by hand.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/TKelvorCommPkg.h"

namespace pkgtest {

using Bytes = std::vector<std::uint8_t>;

class FakePort : public KelvorComm32::TComm32 {
public:
    long Read(void* Buffer, long Size) override
    {
        std::lock_guard<std::mutex> g(fLock);
        long n = std::min<long>(Size, static_cast<long>(fRx.size()));
        auto* d = static_cast<std::uint8_t*>(Buffer);
        for (long i = 0; i < n; ++i) {
            d[i] = fRx.front();
            fRx.pop_front();
        }
        return n;
    }
    long Write(const void* Buffer, long Size) override
    {
        std::lock_guard<std::mutex> g(fLock);
        if (Size <= 0)
            return 0;
        long n = std::min(Size, fAcceptPerWrite);
        auto* s = static_cast<const std::uint8_t*>(Buffer);
        fTx.insert(fTx.end(), s, s + n);
        ++fWrites;
        return n;
    }
    void PurgeRead(bool Abort) override
    {
        std::lock_guard<std::mutex> g(fLock);
        fPurges.push_back(Abort ? "R+" : "R");
        fRx.clear();
    }
    void PurgeWrite(bool Abort) override
    {
        std::lock_guard<std::mutex> g(fLock);
        fPurges.push_back(Abort ? "W+" : "W");
    }

    void Feed(const Bytes& b)
    {
        std::lock_guard<std::mutex> g(fLock);
        fRx.insert(fRx.end(), b.begin(), b.end());
    }
    // What the reader thread does after queueing bytes.
    void Notify(int Mask)
    {
        if (OnCommNotify)
            OnCommNotify(this, Mask);
    }
    void FeedAndNotify(const Bytes& b)
    {
        Feed(b);
        Notify(EV_RXCHAR);
    }
    Bytes Sent()
    {
        std::lock_guard<std::mutex> g(fLock);
        return fTx;
    }
    Bytes TakeSent()
    {
        std::lock_guard<std::mutex> g(fLock);
        Bytes out;
        out.swap(fTx);
        return out;
    }
    std::size_t Pending()
    {
        std::lock_guard<std::mutex> g(fLock);
        return fRx.size();
    }
    void SetAcceptPerWrite(long n)
    {
        std::lock_guard<std::mutex> g(fLock);
        fAcceptPerWrite = n;
    }
    std::vector<const char*> Purges()
    {
        std::lock_guard<std::mutex> g(fLock);
        return fPurges;
    }

private:
    std::mutex fLock;
    std::deque<std::uint8_t> fRx;
    Bytes fTx;
    long fAcceptPerWrite = 1L << 30;
    int fWrites = 0;
    std::vector<const char*> fPurges;
};

// Counts the reads of the port: the timer thread's polls.
class CountingPort : public FakePort {
public:
    long Read(void* Buffer, long Size) override
    {
        ++reads;
        return FakePort::Read(Buffer, Size);
    }
    std::atomic<long> reads{0};
};

// Waits for a condition with a generous deadline; true if it came.
inline bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Takes queued packages (framed and timeout types) until ReadPackage gives
// 0, which also stops at a package of length 0.
inline std::vector<Bytes> Drain(KelvorComm32::TCommPackage& p, std::size_t bufSize = 1 << 16)
{
    std::vector<Bytes> out;
    Bytes b(bufSize);
    for (;;) {
        unsigned long got = p.ReadPackage(b.data(), static_cast<unsigned long>(b.size()));
        if (got == 0)
            break;
        out.emplace_back(b.begin(), b.begin() + static_cast<long>(got));
    }
    return out;
}

} // namespace pkgtest
