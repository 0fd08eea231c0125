#include "app/log/LogCounts.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kFineBuckets = 100'000;   // 10 µs each: 0 to 1 s
constexpr int kCoarseBuckets = 99'000;  // 1 ms each: 1 s to 100 s
constexpr int kBuckets = kFineBuckets + kCoarseBuckets + 1;
constexpr double kFineWidthMs = 0.01;
constexpr double kFineEndMs = 1000.0;
constexpr double kCoarseWidthMs = 1.0;

int BucketOf(double ms)
{
    if (ms < kFineEndMs)
        return std::max(0, static_cast<int>(ms / kFineWidthMs));
    const int coarse = static_cast<int>((ms - kFineEndMs) / kCoarseWidthMs);
    return kFineBuckets + std::min(coarse, kCoarseBuckets);
}

// The middle of a bucket, which is within half a bucket of every time in it.
double BucketMiddle(int bucket)
{
    if (bucket < kFineBuckets)
        return (bucket + 0.5) * kFineWidthMs;
    return kFineEndMs + (bucket - kFineBuckets + 0.5) * kCoarseWidthMs;
}

QString Ms(std::optional<double> v)
{
    return v ? QString::number(*v, 'f', 1) + QStringLiteral(" ms") : QStringLiteral("-");
}

} // namespace

TLogCounts::TLogCounts() : FBuckets(kBuckets, 0) {}

void TLogCounts::Clear()
{
    FSent = FReplies = FMarked = FExceptions = FUnanswered = 0;
    std::fill(FBuckets.begin(), FBuckets.end(), 0u);
    FTimes = 0;
    FMin = FMax = 0;
}

void TLogCounts::CountReply(bool Marked, bool Exception, std::optional<double> Ms)
{
    ++FReplies;
    if (Marked)
        ++FMarked;
    if (Exception)
        ++FExceptions;
    if (Ms)
        Record(std::max(0.0, *Ms));
}

void TLogCounts::Record(double Ms)
{
    FMin = FTimes == 0 ? Ms : std::min(FMin, Ms);
    FMax = FTimes == 0 ? Ms : std::max(FMax, Ms);
    ++FBuckets[static_cast<std::size_t>(BucketOf(Ms))];
    ++FTimes;
}

double TLogCounts::ValueAtRank(std::uint64_t Rank) const
{
    std::uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        seen += FBuckets[static_cast<std::size_t>(b)];
        if (seen > Rank)
            return std::clamp(BucketMiddle(b), FMin, FMax);
    }
    return FMax;
}

std::optional<double> TLogCounts::MinMs() const
{
    return FTimes ? std::optional<double>(FMin) : std::nullopt;
}

std::optional<double> TLogCounts::MaxMs() const
{
    return FTimes ? std::optional<double>(FMax) : std::nullopt;
}

std::optional<double> TLogCounts::MedianMs() const
{
    if (FTimes == 0)
        return std::nullopt;
    // An even count has two middle values; their mean is the median.
    const double low = ValueAtRank((FTimes - 1) / 2);
    const double high = ValueAtRank(FTimes / 2);
    return (low + high) / 2;
}

QString TLogCounts::CountsText() const
{
    return QStringLiteral("发送 %1 帧，回复 %2 帧，校验失败 %3 帧，异常 %4 帧，无回复 %5 次")
        .arg(FSent)
        .arg(FReplies)
        .arg(FMarked)
        .arg(FExceptions)
        .arg(FUnanswered);
}

QString TLogCounts::TimesText() const
{
    return QStringLiteral("响应时间：最短 %1，中位 %2，最长 %3").arg(Ms(MinMs()), Ms(MedianMs()), Ms(MaxMs()));
}

QString TLogCounts::Summary() const
{
    return CountsText() + QStringLiteral("；") + TimesText();
}
