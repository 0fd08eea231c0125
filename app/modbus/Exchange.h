#pragma once
// Requests sent and the packages that came back for them: which request a
// package answers, what it is to that request (reply, exception, echo, ...),
// the line's echo taken out when asked, the response time, and the counts.
// Shared by the window, `send` and `scan`, so they agree on every case.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "app/log/LogCounts.h"
#include "app/modbus/Reply.h"
#include "platform/rtl/Rtl.h"

class TExchange {
public:
    // A request without a reply within this long counts as unanswered, on
    // top of the time the request and its reply take on the wire.
    static constexpr std::int64_t kReplyWindowNs = 1'000'000'000;
    // Requests kept for late replies; an older one still open is unanswered.
    static constexpr std::size_t kKeptRequests = 64;

    // What a package is, and how much of it to show.
    struct TReceipt {
        // 1 for the first request since the last clear, 0 when the package
        // came before any.
        std::uint64_t Request = 0;
        // The request's echo, taken out whole: nothing to show.
        bool Dropped = false;
        // Echo removal was on and the package did not begin with the request
        // (a collision on the bus): shown whole and marked.
        bool EchoMismatch = false;
        // The bytes to show and classify: the echo at the front skipped, at
        // most Take bytes (all of them after an echo mismatch).
        std::size_t Offset = 0;
        std::size_t Length = 0;
        TReplyKind Kind = TReplyKind::Foreign;
        // A reply (good, exception or broken) to Request.
        bool Answers = false;
        // From the request (or its echo's last byte) to this package's last
        // byte, for an answer.
        std::optional<double> ResponseMs;
        // The request it belongs to (CRC included), empty when none.
        TByteDynArray RequestFrame;
    };

    // How long a request's reply is awaited: Wait, and what the request and
    // its reply (as long as the function's rule says) take on the wire.
    static std::int64_t WindowFor(const TByteDynArray& Request, double CharacterMs,
                                  std::int64_t WaitNs = kReplyWindowNs);

    // Forgets every request and clears the counts: a package that comes
    // later for a request sent before is still shown but counts for nothing.
    void Clear();
    // Frame (CRC included) was handed to the port at When (steady-clock ns,
    // TComm32::RxTimeNow's scale). With RemoveEcho the first bytes that come
    // back are checked against it and taken out. Its reply is awaited for
    // WindowNs (on a slow line, add what the frames take on the wire).
    void Sent(const TByteDynArray& Frame, std::int64_t When, bool RemoveEcho,
              std::int64_t WindowNs = kReplyWindowNs);
    // A package whose last byte was read at LastByte. It belongs to the last
    // request sent before that byte. Take limits the bytes shown (the reply
    // length box).
    TReceipt Received(const std::uint8_t* Data, std::size_t Count, std::size_t Take, std::int64_t LastByte);
    // Counts requests still open after their window as unanswered.
    void Settle(std::int64_t Now);
    // Counts every open request as unanswered now (the end of a run).
    void CloseOpenRequests();

    // The last request sent since the clear (1-based), 0 before any.
    std::uint64_t LastRequest() const { return FNext - 1; }
    const TLogCounts& Counts() const { return FCounts; }

private:
    struct TRequest {
        std::uint64_t No = 0;
        TByteDynArray Frame;
        std::int64_t SentAt = 0;
        std::int64_t WindowNs = kReplyWindowNs;
        std::int64_t EchoAt = 0; // last byte of the echo taken out, 0 when none
        bool EchoPending = false;
        bool Open = true;        // neither answered nor counted unanswered
        bool Answered = false;
    };

    void Unanswered(TRequest& R);

    std::deque<TRequest> FRequests; // oldest first
    std::uint64_t FNext = 1;
    TLogCounts FCounts;
};
