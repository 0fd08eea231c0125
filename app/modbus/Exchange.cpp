#include "app/modbus/Exchange.h"

#include <algorithm>
#include <cstring>

std::int64_t TExchange::WindowFor(const TByteDynArray& Request, double CharacterMs, std::int64_t WaitNs)
{
    const std::size_t bytes = Request.size() + static_cast<std::size_t>(std::max(ReplyLengthFor(Request), 0));
    return WaitNs + static_cast<std::int64_t>(static_cast<double>(bytes) * CharacterMs * 1e6);
}

void TExchange::Clear()
{
    FRequests.clear();
    FNext = 1;
    FCounts.Clear();
}

void TExchange::Sent(const TByteDynArray& Frame, std::int64_t When, bool RemoveEcho, std::int64_t WindowNs)
{
    FCounts.CountRequest();
    TRequest r;
    r.No = FNext++;
    r.Frame = Frame;
    r.SentAt = When;
    r.WindowNs = WindowNs;
    r.EchoPending = RemoveEcho;
    FRequests.push_back(std::move(r));
    while (FRequests.size() > kKeptRequests) {
        if (FRequests.front().Open)
            Unanswered(FRequests.front());
        FRequests.pop_front();
    }
}

TExchange::TReceipt TExchange::Received(const std::uint8_t* Data, std::size_t Count, std::size_t Take,
                                        std::int64_t LastByte)
{
    TReceipt r;
    r.Length = std::min(Count, Take);
    // The last request that went out before the package's last byte came in:
    // a reply ended by the pause is announced late, maybe after the next
    // request, but its bytes came before that one was sent.
    auto it = std::find_if(FRequests.rbegin(), FRequests.rend(),
                           [LastByte](const TRequest& q) { return q.SentAt <= LastByte; });
    if (it == FRequests.rend()) {
        r.Kind = TReplyKind::Foreign;
        return r;
    }
    TRequest& q = *it;
    // Bytes for this request close the chances of every one before it.
    for (auto older = std::next(it); older != FRequests.rend(); ++older)
        if (older->Open)
            Unanswered(*older);
    r.Request = q.No;
    r.RequestFrame = q.Frame;

    if (q.EchoPending) {
        q.EchoPending = false;
        const std::size_t n = q.Frame.size();
        const bool echoFirst = Count >= n && std::memcmp(Data, q.Frame.data(), n) == 0;
        if (echoFirst && Count == n) {
            r.Dropped = true;
            r.Length = 0;
            q.EchoAt = LastByte;
            return r;
        }
        if (echoFirst)
            r.Offset = n; // the reply came on the echo's heels, in one package
        else
            r.EchoMismatch = true;
    }
    // A collision is shown whole: nothing is hidden that may explain it.
    r.Length = r.EchoMismatch ? Count : std::min(Count - r.Offset, Take);
    r.Kind = ClassifyReply(q.Frame, Data + r.Offset, r.Length);
    if (!IsAnswer(r.Kind))
        return r;

    r.Answers = true;
    const std::int64_t from = q.EchoAt != 0 ? q.EchoAt : q.SentAt;
    r.ResponseMs = std::max(0.0, static_cast<double>(LastByte - from) / 1e6);
    if (q.Open && LastByte - q.SentAt > q.WindowNs)
        Unanswered(q);
    q.Open = false;
    // A request's first reply gives its response time; later ones (a reply
    // in pieces) are counted but do not.
    const bool first = !q.Answered;
    q.Answered = true;
    FCounts.CountReply(r.Kind == TReplyKind::BadCrc, r.Kind == TReplyKind::Exception,
                       first ? r.ResponseMs : std::nullopt);
    return r;
}

void TExchange::Settle(std::int64_t Now)
{
    for (TRequest& q : FRequests)
        if (q.Open && Now - q.SentAt > q.WindowNs)
            Unanswered(q);
}

void TExchange::CloseOpenRequests()
{
    for (TRequest& q : FRequests)
        if (q.Open)
            Unanswered(q);
}

void TExchange::Unanswered(TRequest& R)
{
    R.Open = false;
    FCounts.CountUnanswered();
}
