#pragma once
// The passive side of a Modbus RTU bus: bytes seen on the line, in both
// directions, cut into frames and told apart as requests, replies and
// bytes that form neither.
//
// A frame ends where the length rules say (a request's by its function, a
// reply's by its fields) and its CRC confirms it. A frame whose function
// the rules cannot size ends at a silence of 3.5 characters. Bytes that
// pass no rule are skipped up to the next position where a frame checks,
// and go out as one unknown frame. A reply that follows a request from the
// same address, for the same function, is paired with it; a broadcast
// (address 0) expects no reply.
//
// No widgets and no port: the caller feeds bytes with the time the reader
// took them, and calls Poll at Deadline() so that a frame ends on silence
// even when no more bytes come.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "app/OpenFailure.h"

struct TBusTiming {
    std::int64_t CharNs = 0;     // one character on the line
    std::int64_t FrameGapNs = 0; // the silence that ends a frame: 3.5 characters, 1.75 ms above 19200 baud
    // How long a frame whose length is known waits for its last bytes
    // before it is given up: USB adapters hand bytes over in bursts, so a
    // frame may pause in the middle on its way to us.
    std::int64_t StallNs = 0;

    static TBusTiming ForLine(const TLineSettings& Line);
};

enum class TBusFrameKind { Request, Reply, Unknown };

struct TBusFrame {
    TBusFrameKind Kind = TBusFrameKind::Unknown;
    std::vector<std::uint8_t> Bytes; // CRC included
    std::int64_t End = 0;            // when its last byte came (steady-clock ns)
    std::int64_t SilenceNs = 0;      // the line's silence before its first byte
    // A reply that answers the request before it: that request, and the
    // time from the request's last byte to the reply's.
    bool Paired = false;
    std::vector<std::uint8_t> Request;
    std::int64_t AfterRequestNs = 0;
};

class TFrameSplitter {
public:
    using TFrameEvent = std::function<void(const TBusFrame& Frame)>;

    // Start: when listening began (the silence before the first frame counts from it).
    TFrameSplitter(const TBusTiming& Timing, std::int64_t Start, TFrameEvent OnFrame);

    // Bytes as the reader took them at When (steady-clock ns). The bytes of
    // one chunk are taken to have come one character apart, ending at When.
    void Feed(const std::uint8_t* Data, std::size_t Count, std::int64_t When);
    // Ends what is pending if the line has been silent long enough by Now.
    void Poll(std::int64_t Now);
    // When Poll should next be called; nothing while no bytes are pending.
    std::optional<std::int64_t> Deadline() const;
    // Listening ends: whatever is pending goes out.
    void Finish();

    // The request still waiting for its reply, if any.
    bool AwaitingReply() const { return FOpen.has_value(); }

private:
    enum class TVerdict { Complete, Pending, Dead };
    struct TCandidate {
        TVerdict Verdict = TVerdict::Dead;
        TBusFrameKind Kind = TBusFrameKind::Unknown;
        std::size_t Length = 0;
        bool Sized = false; // for Pending: the rules know (or will know) its length
    };
    struct TOpenRequest {
        std::uint8_t Address;
        std::uint8_t Function;
        std::vector<std::uint8_t> Bytes;
        std::int64_t End;
    };

    std::size_t Size() const { return FBytes.size() - FHead; }
    TCandidate Evaluate(std::size_t At, bool Final, std::size_t CheckedTo) const;
    void Scan(bool Final);
    bool SilenceBefore(std::size_t At) const;
    void Emit(TBusFrameKind Kind, std::size_t At, std::size_t Length);
    void Compact();

    TBusTiming FTiming;
    TFrameEvent FOnFrame;
    // Bytes not yet in a frame, from FHead on, with when each came.
    std::vector<std::uint8_t> FBytes;
    std::vector<std::int64_t> FTimes;
    std::size_t FHead = 0;
    // Bytes from FHead known to start no frame.
    std::size_t FDead = 0;
    // The bytes pending make a frame whose length is known but not all in.
    bool FWaitingSized = false;
    // While an unsized frame is pending: the bytes up to here have been
    // searched for a frame that checks.
    std::size_t FLookedTo = 0;
    std::int64_t FLastByte = 0;  // when the last byte fed came
    std::int64_t FLastFrame = 0; // when the last frame's last byte came
    std::optional<TOpenRequest> FOpen;
    TBusFrame FFrame; // reused, so frames cost no allocation once warm
};
