#pragma once
// Counts of the traffic since the log was last cleared: frames sent, replies,
// replies marked, exception replies, requests left without a reply, and the
// spread of response times. Which package answers which request is decided
// by TExchange, which keeps these counts. Its memory does not grow with the
// traffic.
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

class TLogCounts {
public:
    TLogCounts();

    void Clear();
    void CountRequest() { ++FSent; }
    // A reply; Marked when its CRC fails, Exception for an exception reply.
    // Ms, when given, goes into the response times.
    void CountReply(bool Marked, bool Exception, std::optional<double> Ms);
    void CountUnanswered() { ++FUnanswered; }

    std::uint64_t Sent() const { return FSent; }
    std::uint64_t Replies() const { return FReplies; }
    std::uint64_t Marked() const { return FMarked; }
    std::uint64_t Exceptions() const { return FExceptions; }
    std::uint64_t Unanswered() const { return FUnanswered; }
    // Response times in ms; nothing until the first is known.
    std::optional<double> MinMs() const;
    std::optional<double> MedianMs() const;
    std::optional<double> MaxMs() const;

    // For the user: "发送 3 帧，回复 3 帧，..." and the response times, and
    // both in one line.
    QString CountsText() const;
    QString TimesText() const;
    QString Summary() const;

private:
    void Record(double Ms);
    // The value at the given rank (0-based) of the recorded times.
    double ValueAtRank(std::uint64_t Rank) const;

    std::uint64_t FSent = 0;
    std::uint64_t FReplies = 0;
    std::uint64_t FMarked = 0;
    std::uint64_t FExceptions = 0;
    std::uint64_t FUnanswered = 0;
    // Response times by bucket: 10 µs wide below 1 s, 1 ms wide up to 100 s,
    // then one bucket for the rest. Exact minimum and maximum beside them.
    std::vector<std::uint32_t> FBuckets;
    std::uint64_t FTimes = 0;
    double FMin = 0;
    double FMax = 0;
};
