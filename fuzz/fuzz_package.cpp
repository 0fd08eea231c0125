// The package layer's head/tail framing. The first input byte picks a case:
//  - receive: the rest arrives in chunks of the sizes the input gives and
//    is cut into packages by the layer and by a model of the state table
//    (escapes, restarts, PackageSize cuts, a full read queue losing
//    packages); both must agree (read as whole records, so that an empty
//    package is told from none);
//  - round trip: the rest is cut into packages that one layer frames (with
//    or without doubled marks) and another takes apart again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "comm/TKelvorCommPkg.h"
#include "tests/core_pkg_FakePort.h"

using namespace KelvorComm32;
using pkgtest::Bytes;
using pkgtest::FakePort;

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Layer {
    FakePort port;
    TCommPackage pkg{&port};
    explicit Layer(TCommPackageType type)
    {
        pkg.fSetPkgType(type);
        pkg.fSetQSize(8);
    }
    void Restart(unsigned long packageSize, std::uint8_t head, std::uint8_t tail, std::uint8_t ctrl, bool doubled)
    {
        pkg.fSetPkgSz(packageSize); // also empties everything
        pkg.FrameHead = head;
        pkg.FrameTail = tail;
        pkg.FrameCtrl = ctrl;
        pkg.fSetDblFrameMark(doubled);
        pkg.fSetActive(true);
        port.TakeSent();
    }
    // Every queued package, empty ones included: the compatible type hands
    // out whole records, so an empty package is told from none.
    std::vector<Bytes> Drain()
    {
        std::vector<Bytes> out;
        std::vector<std::uint8_t> slot(std::max<std::size_t>(pkg.PackageSize() + 4, 32));
        while (pkg.ReadPackage(slot.data(), 0) == 1) {
            const auto* rec = reinterpret_cast<const TCommPackageHead*>(slot.data());
            out.emplace_back(rec->Data, rec->Data + rec->Length);
        }
        return out;
    }
};

// They stay alive across inputs: each layer keeps a timer thread.
Layer& Receiver()
{
    static Layer* l = new Layer(cptCompatiblePkg);
    return *l;
}
Layer& Sender()
{
    static Layer* l = new Layer(cptFrameHeadTail);
    return *l;
}

// The state table, one byte at a time; the read queue holds 7 packages.
struct ModelParser {
    std::uint8_t head, tail, ctrl;
    unsigned long limit;
    bool inFrame = false, ctrlPending = false;
    Bytes recv;
    std::vector<Bytes> queued;
    void Feed(std::uint8_t b)
    {
        if (!ctrlPending && b == head) {
            recv.clear();
            inFrame = true;
        } else if (inFrame && ctrlPending) {
            if (recv.size() < limit)
                recv.push_back(b);
            ctrlPending = false;
        } else if (inFrame) {
            if (b == ctrl) {
                ctrlPending = true;
            } else if (b == tail) {
                if (queued.size() < 7)
                    queued.push_back(recv);
                recv.clear();
                inFrame = false;
            } else if (recv.size() < limit) {
                recv.push_back(b);
            }
        } else if (ctrlPending) {
            ctrlPending = false;
        } else if (b == ctrl) {
            ctrlPending = true;
        }
    }
};

void Receive(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return;
    ModelParser model{data[0], data[1], data[2], 1ul + data[3] % 40};
    Layer& l = Receiver();
    l.Restart(model.limit, model.head, model.tail, model.ctrl, false);
    std::size_t at = 4;
    while (at < size) {
        const std::size_t chunk = std::min<std::size_t>(1 + data[at] % 32, size - at - 1);
        ++at;
        const Bytes part(data + at, data + at + chunk);
        at += chunk;
        for (std::uint8_t b : part)
            model.Feed(b);
        l.port.FeedAndNotify(part);
        // Taken after each chunk, as an application reading every notification would.
        Check(l.Drain() == model.queued);
        model.queued.clear();
    }
}

void RoundTrip(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return;
    const unsigned long limit = 1ul + data[0] % 64;
    const bool doubled = data[1] & 1;
    Layer& tx = Sender();
    Layer& rx = Receiver();
    tx.Restart(limit, TCommPackage::DefaultFrameHead, TCommPackage::DefaultFrameTail, TCommPackage::DefaultFrameCtrl,
               doubled);
    rx.Restart(limit, TCommPackage::DefaultFrameHead, TCommPackage::DefaultFrameTail, TCommPackage::DefaultFrameCtrl,
               false);
    std::size_t at = 2;
    while (at < size) {
        const std::size_t n = std::min<std::size_t>(1 + data[at] % limit, size - at - 1);
        ++at;
        const Bytes package(data + at, data + at + n);
        at += n;
        if (package.empty())
            continue;
        Check(tx.pkg.WritePackage(package.data(), static_cast<unsigned long>(package.size())) == package.size());
        rx.port.FeedAndNotify(tx.port.TakeSent());
        const std::vector<Bytes> got = rx.Drain();
        Check(got.size() == 1 && got[0] == package);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    if (data[0] & 1)
        RoundTrip(data + 1, size - 1);
    else
        Receive(data + 1, size - 1);
    return 0;
}
