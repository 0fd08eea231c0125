#include "app/monitor/BusCounts.h"

namespace {

bool Seen(const TBusCounts::TSlaveCounts& C)
{
    return C.Requests + C.Replies + C.Unanswered + C.Failed > 0;
}

} // namespace

void TBusCounts::Add(const TBusFrame& Frame)
{
    const std::uint8_t address = Frame.Bytes.empty() ? 0 : Frame.Bytes[0];
    switch (Frame.Kind) {
    case TBusFrameKind::Request:
        if (FOpen) {
            ++FTotal.Unanswered;
            ++FSlaves[*FOpen].Unanswered;
        }
        ++FTotal.Requests;
        ++FSlaves[address].Requests;
        // A broadcast is answered by no one.
        FOpen = address != 0 ? std::optional<std::uint8_t>(address) : std::nullopt;
        break;
    case TBusFrameKind::Reply:
        ++FTotal.Replies;
        ++FSlaves[address].Replies;
        if (Frame.Paired)
            FOpen.reset();
        break;
    case TBusFrameKind::Unknown:
        // Its own first byte may be anything: it counts for the slave whose
        // reply was due, if one was.
        ++FTotal.Failed;
        if (FOpen)
            ++FSlaves[*FOpen].Failed;
        break;
    }
}

void TBusCounts::Finish()
{
    if (!FOpen)
        return;
    ++FTotal.Unanswered;
    ++FSlaves[*FOpen].Unanswered;
    FOpen.reset();
}

QString TBusCounts::Summary() const
{
    QString s = QStringLiteral("请求 %1 帧，回复 %2 帧，无回复 %3 次，校验失败 %4 帧")
                    .arg(FTotal.Requests)
                    .arg(FTotal.Replies)
                    .arg(FTotal.Unanswered)
                    .arg(FTotal.Failed);
    for (int a = 0; a < 256; ++a) {
        const TSlaveCounts& c = FSlaves[static_cast<std::size_t>(a)];
        if (!Seen(c))
            continue;
        s += a == 0 ? QStringLiteral("\n  站 0（广播）：请求 %1").arg(c.Requests)
                    : QStringLiteral("\n  站 %1：请求 %2，回复 %3，无回复 %4，校验失败 %5")
                          .arg(a)
                          .arg(c.Requests)
                          .arg(c.Replies)
                          .arg(c.Unanswered)
                          .arg(c.Failed);
    }
    return s;
}
