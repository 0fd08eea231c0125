// The package layer under load: an application thread writing packages, a
// "reader thread" feeding bytes and transmit-empty events, an application
// thread reading packages and the layer's own timer, while the main thread
// changes type, size, queue size and interval. Stable phases count every
// package; churn phases only demand that nothing crashes and no byte that
// was never sent turns up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "comm/TKelvorCommPkg.h"
#include "tests/core_pkg_FakePort.h"

using namespace KelvorComm32;
using namespace std::chrono_literals;
using pkgtest::Bytes;
using pkgtest::FakePort;
using pkgtest::WaitFor;

namespace {

// Self-checking record, every byte in 1..200 (never a frame mark):
// n+1, seq low, seq high, then n bytes derived from seq.
Bytes MakeRecord(int seq)
{
    int n = seq % 61;
    Bytes r{static_cast<std::uint8_t>(n + 1), static_cast<std::uint8_t>(seq % 200 + 1),
            static_cast<std::uint8_t>(seq / 200 % 200 + 1)};
    for (int i = 0; i < n; ++i)
        r.push_back(static_cast<std::uint8_t>((seq * 7 + i) % 200 + 1));
    return r;
}

// The sequence number of a whole record, or -1.
int ParseRecord(const std::uint8_t* p, std::size_t len)
{
    if (len < 3 || p[0] < 1 || p[1] < 1 || p[2] < 1)
        return -1;
    int seq = (p[1] - 1) + (p[2] - 1) * 200;
    if (MakeRecord(seq) != Bytes(p, p + len))
        return -1;
    return seq;
}

// True when p is the start of some record (cut by PackageSize).
bool IsRecordPrefix(const std::uint8_t* p, std::size_t len)
{
    if (len < 3)
        return len == 0 || (p[0] >= 1 && p[0] <= 61);
    int seq = (p[1] - 1) + (p[2] - 1) * 200;
    Bytes full = MakeRecord(seq);
    return len <= full.size() && std::equal(p, p + len, full.begin());
}

bool InAlphabet(const std::uint8_t* p, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i)
        if (!((p[i] >= 1 && p[i] <= 200) || p[i] == 0xEB || p[i] == 0xEE))
            return false;
    return true;
}

Bytes Framed(const Bytes& r)
{
    Bytes f{0xEB};
    f.insert(f.end(), r.begin(), r.end());
    f.push_back(0xEE);
    return f;
}

enum Mode { Paused, Stable, Churn, Stop };

struct Rig {
    FakePort port;
    TCommPackage pkg{&port};

    std::atomic<int> mode{Paused};
    std::atomic<int> pauseEpoch{0};
    std::atomic<int> ackFeeder{0}, ackWriter{0}, ackReader{0};
    // Odd while the main thread reconfigures (a seqlock around each change).
    std::atomic<unsigned> gen{0};

    // Stable phase bookkeeping.
    int target = 0;
    std::atomic<int> fed{0}, written{0};
    std::atomic<int> consumed{0};
    std::vector<int> got;             // reader thread only during a phase
    std::vector<int> accepted;        // writer thread only during a phase
    std::atomic<int> badPackages{0};  // malformed in a stable phase
    std::atomic<int> garbage{0};      // bytes nobody sent, any phase
    std::atomic<int> oversize{0};     // longer than PackageSize
    std::atomic<int> churnReads{0};

    bool Paused_(std::atomic<int>& ack)
    {
        if (mode.load() != Paused)
            return false;
        ack.store(pauseEpoch.load());
        std::this_thread::sleep_for(200us);
        return true;
    }

    void Feeder()
    {
        int seq = 20000; // apart from the stable phases' numbers
        while (mode.load() != Stop) {
            if (Paused_(ackFeeder))
                continue;
            const bool stable = mode.load() == Stable;
            const TCommPackageType type = pkg.PackageType();
            bool feed = true;
            if (stable) {
                int window = type == cptFrameTimeout ? 1 : 8; // one by one: no merges
                feed = fed.load() < target && fed.load() - consumed.load() < window;
            }
            if (feed) {
                int s = stable ? fed.load() : (seq++ % 40000);
                Bytes r = MakeRecord(s);
                port.Feed(type == cptFrameTimeout ? r : Framed(r));
                if (stable)
                    ++fed;
            }
            port.Notify(EV_RXCHAR | EV_TXEMPTY);
            std::this_thread::sleep_for(100us);
        }
    }

    void Writer()
    {
        Bytes rec(70000, 0);
        int seq = 0;
        while (mode.load() != Stop) {
            if (Paused_(ackWriter))
                continue;
            const bool stable = mode.load() == Stable;
            if (stable && written.load() >= target) {
                std::this_thread::sleep_for(200us);
                continue;
            }
            int s = stable ? written.load() : seq++ % 40000;
            Bytes r = MakeRecord(s);
            unsigned long ok;
            if (pkg.PackageType() == cptCompatiblePkg) {
                std::uint32_t len = static_cast<std::uint32_t>(r.size());
                std::memcpy(rec.data(), &len, 4);
                std::memcpy(rec.data() + 4, r.data(), r.size());
                ok = pkg.WritePackage(rec.data(), 0);
            } else {
                // Same large buffer: should the type turn compatible under
                // us, the layer copies a whole slot from it.
                std::memcpy(rec.data(), r.data(), r.size());
                ok = pkg.WritePackage(rec.data(), static_cast<unsigned long>(r.size()));
            }
            if (stable && ok) {
                accepted.push_back(s);
                ++written;
            }
            if (!ok)
                std::this_thread::sleep_for(100us);
        }
    }

    void Reader()
    {
        Bytes buf(70000, 0);
        while (mode.load() != Stop) {
            if (Paused_(ackReader))
                continue;
            const bool stable = mode.load() == Stable;
            const unsigned g0 = gen.load();
            const TCommPackageType type = pkg.PackageType();
            const unsigned long size = pkg.PackageSize();
            const std::uint8_t* p = buf.data();
            std::size_t len = 0;
            bool took;
            if (type == cptCompatiblePkg) {
                took = pkg.ReadPackage(buf.data(), 0) != 0;
                std::uint32_t l;
                std::memcpy(&l, buf.data(), 4);
                p = buf.data() + 4;
                len = l;
            } else {
                len = pkg.ReadPackage(buf.data(), static_cast<unsigned long>(buf.size()));
                took = len > 0;
            }
            const bool clean = (g0 & 1) == 0 && gen.load() == g0;
            if (!took) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            if (!clean)
                continue; // the call may have run under another type
            if (!InAlphabet(p, len))
                ++garbage;
            if (len > size)
                ++oversize;
            if (stable) {
                int s = ParseRecord(p, len);
                if (s < 0)
                    ++badPackages;
                got.push_back(s);
                ++consumed;
            } else {
                ++churnReads;
                if (type != cptFrameTimeout && !IsRecordPrefix(p, len))
                    ++garbage;
            }
        }
    }

    void Pause()
    {
        mode.store(Paused);
        int e = pauseEpoch.fetch_add(1) + 1;
        ASSERT_TRUE(WaitFor([&] { return ackFeeder.load() == e && ackWriter.load() == e && ackReader.load() == e; },
                            30s));
    }

    template <class F>
    void Reconfigure(F&& change)
    {
        gen.fetch_add(1);
        change();
        gen.fetch_add(1);
    }
};

// The bytes the layer put on the wire, cut back into records.
std::vector<int> WireRecords(const Bytes& tx, TCommPackageType type, int& bad)
{
    std::vector<int> out;
    std::size_t i = 0;
    while (i < tx.size()) {
        if (type != cptFrameTimeout) {
            if (tx[i] != 0xEB) {
                ++bad;
                return out;
            }
            ++i;
        }
        if (i >= tx.size()) {
            ++bad;
            return out;
        }
        std::size_t len = 3 + (tx[i] - 1u);
        if (i + len > tx.size()) {
            ++bad;
            return out;
        }
        int s = ParseRecord(&tx[i], len);
        if (s < 0)
            ++bad;
        out.push_back(s);
        i += len;
        if (type != cptFrameTimeout) {
            if (i >= tx.size() || tx[i] != 0xEE) {
                ++bad;
                return out;
            }
            ++i;
        }
    }
    return out;
}

} // namespace

TEST(PackageStress, WritingReadingAndReconfiguringAtOnce)
{
    Rig rig;
    rig.port.SetAcceptPerWrite(50); // long packages go out in pieces
    rig.pkg.fSetPkgInterval(2);
    rig.pkg.fSetActive(true);
    std::thread feeder([&] { rig.Feeder(); });
    std::thread writer([&] { rig.Writer(); });
    std::thread reader([&] { rig.Reader(); });

    std::mt19937 rng(12345);
    const TCommPackageType types[] = {cptCompatiblePkg, cptFrameHeadTail, cptFrameTimeout};
    const unsigned long stableSizes[] = {64, 300, 4096};
    const unsigned long churnSizes[] = {0, 10, 28, 64, 300, 4096};
    const unsigned long queueSizes[] = {2, 4, 16};
    const int target = 120;

    for (int phase = 0; phase < 9 && !HasFatalFailure(); ++phase) {
        // -- stable: everything the queues have room for arrives, once, in order
        rig.Pause();
        TCommPackageType type = types[phase % 3];
        rig.Reconfigure([&] {
            rig.pkg.fSetPkgType(type);
            rig.pkg.fSetPkgSz(stableSizes[rng() % 3]);
            rig.pkg.fSetQSize(16);
        });
        rig.port.TakeSent();
        while (rig.port.Pending())
            rig.port.Read(std::vector<std::uint8_t>(4096).data(), 4096);
        rig.Reconfigure([&] { rig.pkg.fSetActive(true); });
        rig.target = target;
        rig.fed = 0;
        rig.written = 0;
        rig.consumed = 0;
        rig.got.clear();
        rig.accepted.clear();
        rig.mode.store(Stable);
        bool done = WaitFor([&] { return rig.consumed.load() >= target && rig.written.load() >= target; }, 60s);
        // Let the last transmit-empty events push out what is still queued.
        WaitFor([&] {
            int bad = 0;
            return WireRecords(rig.port.Sent(), type, bad).size() >= static_cast<std::size_t>(target);
        }, 10s);
        rig.Pause();
        ASSERT_TRUE(done) << "phase " << phase << " type " << type << ": consumed " << rig.consumed.load()
                          << " written " << rig.written.load();
        std::vector<int> want(target);
        for (int i = 0; i < target; ++i)
            want[i] = i;
        EXPECT_EQ(rig.got, want) << "received, phase " << phase << " type " << type;
        EXPECT_EQ(rig.accepted, want);
        int bad = 0;
        EXPECT_EQ(WireRecords(rig.port.Sent(), type, bad), want) << "sent, phase " << phase << " type " << type;
        EXPECT_EQ(bad, 0);
        EXPECT_EQ(rig.badPackages.load(), 0);

        // -- churn: reconfigure under full load
        rig.mode.store(Churn);
        for (int i = 0; i < 40; ++i) {
            rig.Reconfigure([&] {
                switch (rng() % 5) {
                case 0:
                    rig.pkg.fSetPkgType(types[rng() % 3]);
                    break;
                case 1:
                    rig.pkg.fSetPkgSz(churnSizes[rng() % 6]);
                    break;
                case 2:
                    rig.pkg.fSetQSize(queueSizes[rng() % 3]);
                    break;
                case 3:
                    rig.pkg.fSetActive(rng() % 4 != 0);
                    break;
                default:
                    rig.pkg.fSetPkgInterval(rng() % 3);
                    break;
                }
            });
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
        rig.Reconfigure([&] { rig.pkg.fSetActive(true); });
        std::this_thread::sleep_for(20ms);
    }
    rig.mode.store(Stop);
    feeder.join();
    writer.join();
    reader.join();
    EXPECT_EQ(rig.garbage.load(), 0);
    EXPECT_EQ(rig.oversize.load(), 0);
    EXPECT_GT(rig.churnReads.load(), 0); // the churn phases did deliver
}
