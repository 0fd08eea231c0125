#pragma once
// Counts of the traffic since the log was last cleared: frames sent, replies,
// replies marked, requests left without a reply, and the spread of response
// times. Its memory does not grow with the traffic.
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

class TLogCounts {
public:
    // A request that gets no reply within this long counts as unanswered.
    static constexpr std::int64_t kReplyWindowNs = 1'000'000'000;

    TLogCounts();

    void Clear();
    // A request was handed to the port at When (steady-clock ns).
    void RequestSent(std::int64_t When);
    // A reply whose last byte was read at When. Returns its response time
    // in ms, measured from the latest request, or nothing before any request.
    std::optional<double> ReplyReceived(bool Marked, std::int64_t When);
    // Counts the open request as unanswered once its window has passed.
    void Settle(std::int64_t Now);
    // Counts an open request as unanswered now (the end of a run).
    void CloseOpenRequest();

    std::uint64_t Sent() const { return FSent; }
    std::uint64_t Replies() const { return FReplies; }
    std::uint64_t Marked() const { return FMarked; }
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
    std::uint64_t FUnanswered = 0;
    std::int64_t FLastRequest = 0; // meaningful once FSent > 0
    bool FOpenRequest = false;
    // Response times by bucket: 10 µs wide below 1 s, 1 ms wide up to 100 s,
    // then one bucket for the rest. Exact minimum and maximum beside them.
    std::vector<std::uint32_t> FBuckets;
    std::uint64_t FTimes = 0;
    double FMin = 0;
    double FMax = 0;
};
