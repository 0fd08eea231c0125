#include "app/monitor/FrameSplitter.h"

#include <algorithm>

#include "app/modbus/Crc16.h"
#include "app/modbus/Functions.h"
#include "app/modbus/Reply.h"

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
// Above this rate the 3.5-character silence is fixed.
constexpr unsigned long kFixedGapBaud = 19200;
constexpr std::int64_t kFixedGapNs = 1'750'000;
constexpr std::int64_t kMinStallNs = 50'000'000;
constexpr std::size_t kExceptionLength = 5;
constexpr std::size_t kShortestFrame = 4; // address, function, CRC
// Consumed bytes are dropped from the front once this many have gathered.
constexpr std::size_t kCompactAt = 4096;

} // namespace

TBusTiming TBusTiming::ForLine(const TLineSettings& Line)
{
    // In half bits, for 1.5 stop bits: start, data, parity, stop.
    const int stopHalves = Line.StopBits == 0 ? 2 : Line.StopBits == 1 ? 3 : 4;
    const std::int64_t halfBits = 2 * (1 + Line.DataBits + (Line.Parity != 0 ? 1 : 0)) + stopHalves;
    const std::int64_t baud = std::max<std::int64_t>(Line.Baud, 1);
    TBusTiming t;
    t.CharNs = std::max<std::int64_t>(halfBits * kNsPerSecond / (2 * baud), 1);
    t.FrameGapNs = Line.Baud > kFixedGapBaud ? kFixedGapNs : 7 * t.CharNs / 2;
    t.StallNs = std::max(t.FrameGapNs, kMinStallNs);
    return t;
}

TFrameSplitter::TFrameSplitter(const TBusTiming& Timing, std::int64_t Start, TFrameEvent OnFrame)
    : FTiming(Timing), FOnFrame(std::move(OnFrame)), FLastByte(Start), FLastFrame(Start)
{
}

void TFrameSplitter::Feed(const std::uint8_t* Data, std::size_t Count, std::int64_t When)
{
    if (Count == 0)
        return;
    // The chunk's bytes came back to back and the last at When, but none
    // before the byte ahead of it had finished.
    const auto last = static_cast<std::int64_t>(Count) - 1;
    auto arrival = [&](std::int64_t Index, std::int64_t Previous) {
        return std::min(When, std::max(When - (last - Index) * FTiming.CharNs, Previous + FTiming.CharNs));
    };
    // The line was silent until the first byte began.
    Poll(arrival(0, FLastByte) - FTiming.CharNs);
    for (std::int64_t i = 0; i <= last; ++i) {
        FLastByte = arrival(i, FLastByte);
        FBytes.push_back(Data[i]);
        FTimes.push_back(FLastByte);
    }
    Scan(false);
}

void TFrameSplitter::Poll(std::int64_t Now)
{
    const std::optional<std::int64_t> deadline = Deadline();
    if (deadline && Now >= *deadline)
        Scan(true);
}

std::optional<std::int64_t> TFrameSplitter::Deadline() const
{
    if (Size() == 0)
        return std::nullopt;
    return FLastByte + (FWaitingSized ? FTiming.StallNs : FTiming.FrameGapNs);
}

void TFrameSplitter::Finish()
{
    if (Size() > 0)
        Scan(true);
}

bool TFrameSplitter::SilenceBefore(std::size_t At) const
{
    return FTimes[At] - FTiming.CharNs - FTimes[At - 1] >= FTiming.FrameGapNs;
}

// What the bytes from At can be. Final: no more bytes come for this frame,
// so one still short is not a frame, and an unsized one is all that is in.
// Readings that end by CheckedTo failed their CRC before.
TFrameSplitter::TCandidate TFrameSplitter::Evaluate(std::size_t At, bool Final, std::size_t CheckedTo) const
{
    const std::uint8_t* b = FBytes.data() + At;
    const std::size_t n = FBytes.size() - At;
    const std::uint8_t address = b[0];
    if (address > kMaxSlaveAddress)
        return {};
    if (n < 2)
        return Final ? TCandidate{} : TCandidate{TVerdict::Pending, TBusFrameKind::Unknown, 0, true};
    const std::uint8_t function = b[1];
    const auto base = static_cast<std::uint8_t>(function & ~mbfn::ExceptionBit);
    if (base == 0)
        return {};

    TCandidate found;
    bool sized = false;
    bool waiting = false;
    // The shortest reading whose bytes are in and whose CRC checks wins, the
    // first of those of one length. Not the longest: a frame that checks
    // still checks with zero bytes after it, and a broadcast starts with one.
    auto consider = [&](int Length, TBusFrameKind Kind) {
        if (Length < 0)
            return;
        sized = true;
        const auto length = static_cast<std::size_t>(Length);
        if (Length == 0 || length > n) {
            waiting = true;
        } else if ((found.Verdict != TVerdict::Complete || length < found.Length) && At + length > CheckedTo &&
                   CRC16(b, length) == 0) {
            found = {TVerdict::Complete, Kind, length, true};
        }
    };
    const bool expected = FOpen && address == FOpen->Address && base == FOpen->Function;
    if (function & mbfn::ExceptionBit) {
        if (address == 0)
            return {}; // no one answers a broadcast
        consider(static_cast<int>(kExceptionLength), TBusFrameKind::Reply);
    } else {
        // The reply that is due comes first, so that an echo (5, 6) after
        // its request is the reply, and otherwise a request.
        if (expected)
            consider(WholeReplyLength(address, base, b, n), TBusFrameKind::Reply);
        consider(WholeRequestLength(b, n), TBusFrameKind::Request);
        if (!expected && address != 0)
            consider(WholeReplyLength(address, base, b, n), TBusFrameKind::Reply);
    }
    if (found.Verdict == TVerdict::Complete)
        return found;
    if (sized)
        return waiting && !Final ? TCandidate{TVerdict::Pending, TBusFrameKind::Unknown, 0, true} : TCandidate{};
    // A function the rules cannot size: the silence ends it.
    if (n > kMaxRtuFrame)
        return {};
    if (!Final)
        return {TVerdict::Pending, TBusFrameKind::Unknown, 0, false};
    if (n < kShortestFrame || CRC16(b, n) != 0)
        return {};
    return {TVerdict::Complete, expected ? TBusFrameKind::Reply : TBusFrameKind::Request, n, false};
}

void TFrameSplitter::Scan(bool Final)
{
    for (;;) {
        const std::size_t at = FHead + FDead;
        if (at >= FBytes.size())
            break;
        if (FDead >= kMaxRtuFrame) {
            // Noise without end: one unknown frame per frame's worth.
            Emit(TBusFrameKind::Unknown, FHead, FDead);
            FDead = 0;
            continue;
        }
        const TCandidate c = Evaluate(at, Final, 0);
        if (c.Verdict == TVerdict::Complete) {
            if (FDead > 0)
                Emit(TBusFrameKind::Unknown, FHead, FDead);
            Emit(c.Kind, at, c.Length);
            FDead = 0;
            continue;
        }
        if (c.Verdict == TVerdict::Pending) {
            // A frame cannot hold a silence: when one follows inside the
            // bytes waited for and a frame that checks starts after it, the
            // frame waited for was broken off. The end of an unsized one is
            // not known at all, so a frame that checks anywhere in it ends
            // it (or else noise that looks unsized would hide good frames
            // until the next silence).
            const std::size_t checkedTo = c.Sized ? 0 : FLookedTo;
            bool brokenOff = false;
            for (std::size_t s = at + 1; s < FBytes.size() && !brokenOff; ++s) {
                if (c.Sized && !SilenceBefore(s))
                    continue;
                const TCandidate next = Evaluate(s, false, checkedTo);
                if (next.Verdict == TVerdict::Complete) {
                    FDead = s - FHead;
                    brokenOff = true;
                } else if (next.Verdict == TVerdict::Pending && c.Sized) {
                    break;
                }
            }
            if (brokenOff) {
                FLookedTo = 0;
                continue;
            }
            FLookedTo = c.Sized ? 0 : FBytes.size();
            FWaitingSized = c.Sized && FDead == 0;
            Compact();
            return;
        }
        ++FDead;
        FLookedTo = 0;
    }
    if (Final && FDead > 0) {
        Emit(TBusFrameKind::Unknown, FHead, FDead);
        FDead = 0;
    }
    FWaitingSized = false;
    Compact();
}

void TFrameSplitter::Emit(TBusFrameKind Kind, std::size_t At, std::size_t Length)
{
    TBusFrame& f = FFrame;
    f.Kind = Kind;
    f.Bytes.assign(FBytes.begin() + static_cast<std::ptrdiff_t>(At),
                   FBytes.begin() + static_cast<std::ptrdiff_t>(At + Length));
    f.End = FTimes[At + Length - 1];
    f.SilenceNs = std::max<std::int64_t>(FTimes[At] - FTiming.CharNs - FLastFrame, 0);
    f.Paired = false;
    f.Request.clear();
    f.AfterRequestNs = 0;
    FLastFrame = f.End;
    FHead = At + Length;
    FLookedTo = 0;

    const std::uint8_t address = f.Bytes[0];
    const auto base = static_cast<std::uint8_t>(f.Bytes.size() > 1 ? f.Bytes[1] & ~mbfn::ExceptionBit : 0);
    if (Kind == TBusFrameKind::Request) {
        if (address == 0) {
            FOpen.reset();
        } else {
            if (!FOpen)
                FOpen.emplace();
            FOpen->Address = address;
            FOpen->Function = base;
            FOpen->Bytes.assign(f.Bytes.begin(), f.Bytes.end());
            FOpen->End = f.End;
        }
    } else if (Kind == TBusFrameKind::Reply && FOpen && address == FOpen->Address && base == FOpen->Function) {
        f.Paired = true;
        f.Request.swap(FOpen->Bytes);
        f.AfterRequestNs = f.End - FOpen->End;
        FOpen.reset();
    }
    if (FOnFrame)
        FOnFrame(f);
}

void TFrameSplitter::Compact()
{
    if (FHead == FBytes.size()) {
        FBytes.clear();
        FTimes.clear();
        FHead = 0;
        FLookedTo = 0;
    } else if (FHead >= kCompactAt) {
        FBytes.erase(FBytes.begin(), FBytes.begin() + static_cast<std::ptrdiff_t>(FHead));
        FTimes.erase(FTimes.begin(), FTimes.begin() + static_cast<std::ptrdiff_t>(FHead));
        FLookedTo = FLookedTo > FHead ? FLookedTo - FHead : 0;
        FHead = 0;
    }
}
