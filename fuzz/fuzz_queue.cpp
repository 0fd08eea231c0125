// The byte ring queue against a plain model (a deque and a capacity):
// puts, takes, clears and resizes in the order the input gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "comm/TKelvorComm32.h"

using KelvorComm32::TCommQueue;

namespace {

struct Model {
    long size;
    bool valid = true;
    std::deque<char> bytes;
    long Count() const { return static_cast<long>(bytes.size()); }
    long Remain() const { return size - 1 - Count(); }
};

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t at = 0;
    auto next = [&]() -> int { return at < size ? data[at++] : 0; };
    const long initial = 1 + next() % 64;
    TCommQueue q(initial);
    Model m{initial};
    std::vector<char> buf(300);
    char seq = 0;
    while (at < size) {
        const int op = next() % 7;
        const long len = next() - 8; // a few negative lengths too
        switch (op) {
        case 0: { // block put
            const long n = len > 0 ? len : 0;
            for (long i = 0; i < n; ++i)
                buf[static_cast<std::size_t>(i)] = seq++;
            const long took = q.In(buf.data(), len);
            const long want = m.valid && len > 0 ? std::min(len, m.Remain()) : 0;
            Check(took == want);
            for (long i = 0; i < took; ++i)
                m.bytes.push_back(buf[static_cast<std::size_t>(i)]);
            seq = static_cast<char>(seq - (n - took)); // what was refused comes again
            break;
        }
        case 1: { // block take
            const long got = q.Out(buf.data(), len);
            const long want = m.valid && len > 0 ? std::min(len, m.Count()) : 0;
            Check(got == want);
            for (long i = 0; i < got; ++i) {
                Check(buf[static_cast<std::size_t>(i)] == m.bytes.front());
                m.bytes.pop_front();
            }
            break;
        }
        case 2: { // one byte in
            const char c = seq;
            const bool took = q.In(&c);
            Check(took == (m.valid && m.Remain() > 0));
            if (took) {
                m.bytes.push_back(c);
                ++seq;
            }
            break;
        }
        case 3: { // one byte out
            char c = 0;
            const bool got = q.Out(&c);
            Check(got == (m.valid && m.Count() > 0));
            if (got) {
                Check(c == m.bytes.front());
                m.bytes.pop_front();
            }
            break;
        }
        case 4:
            q.Clear();
            m.bytes.clear();
            break;
        case 5: { // resize, or free with a size of 0 or less
            const long n = len % 40;
            q.fSetBufSize(n);
            m.bytes.clear();
            if (n > 0)
                m.size = n;
            m.valid = n > 0;
            break;
        }
        default:
            Check(q.In(nullptr, 5) == 0 && q.Out(nullptr, 5) == 0);
            break;
        }
        Check(q.BufSize() == m.size);
        Check(q.IsValid() == m.valid);
        Check(q.Count() == m.Count());
        Check(q.Remain() == m.Remain());
    }
    return 0;
}
