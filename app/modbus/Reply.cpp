#include "app/modbus/Reply.h"

#include <algorithm>
#include <cstring>

#include "app/modbus/Crc16.h"

namespace {

constexpr std::uint8_t kExceptionBit = 0x80;
constexpr int kExceptionReplyLength = 5; // address, function | 0x80, code, CRC
constexpr int kEchoReplyLength = 8;      // address, function, two words, CRC

// Replies whose third byte counts the data bytes that follow.
bool HasByteCount(std::uint8_t Function)
{
    return (Function >= 1 && Function <= 4) || Function == 23;
}

bool HasFixedLength(std::uint8_t Function)
{
    return Function == 5 || Function == 6 || Function == 15 || Function == 16;
}

} // namespace

int ReplyLengthFor(const TByteDynArray& Request)
{
    // Only data bytes count: the last two are the CRC, never a field.
    const std::size_t data = Request.size() >= 2 ? Request.size() - 2 : 0;
    if (data < 2)
        return -1;
    const bool hasQuantity = data >= 6;
    const int n = hasQuantity ? Request[4] * 256 + Request[5] : 0;
    switch (Request[1]) {
    case 1:
    case 2:
        return hasQuantity ? (n + 7) / 8 + 5 : -1;
    case 3:
    case 4:
    case 23:
        return hasQuantity ? 2 * n + 5 : -1;
    case 5:
    case 6:
    case 21:
    case 22:
        return static_cast<int>(Request.size());
    case 15:
    case 16:
        return 8;
    case 20:
        return data >= 3 ? Request[2] : -1;
    case 43:
        return 128;
    default:
        return -1;
    }
}

bool ReplyPasses(const std::uint8_t* Data, unsigned long Count)
{
    if (Data == nullptr)
        return false;
    return CRC16(Data, Count) == 0;
}

bool RepliesWithTheRequest(std::uint8_t Function)
{
    return Function == 5 || Function == 6 || Function == 8 || Function == 21 || Function == 22;
}

TReplyKind ClassifyReply(const TByteDynArray& Request, const std::uint8_t* Data, std::size_t Count)
{
    if (!ReplyPasses(Data, static_cast<unsigned long>(Count)))
        return TReplyKind::BadCrc;
    // Address and function of the request, ahead of its CRC, where it has them.
    const std::size_t fields = Request.size() >= 2 ? Request.size() - 2 : 0;
    if (Count == Request.size() && std::equal(Request.begin(), Request.end(), Data))
        return fields >= 2 && RepliesWithTheRequest(Request[1]) ? TReplyKind::Good : TReplyKind::Echo;
    if (fields >= 1 && (Count < 1 || Data[0] != Request[0]))
        return TReplyKind::Foreign;
    if (fields < 2)
        return TReplyKind::Good;
    if (Count >= 2 && Data[1] == (Request[1] | kExceptionBit) && (Request[1] & kExceptionBit) == 0)
        return TReplyKind::Exception;
    return Count >= 2 && Data[1] == Request[1] ? TReplyKind::Good : TReplyKind::Foreign;
}

int WholeReplyLength(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count)
{
    if (!(HasByteCount(Function) || HasFixedLength(Function)))
        return -1;
    if (Count == 0)
        return 0;
    if (Data[0] != Address)
        return -1;
    if (Count < 2)
        return 0;
    if (Data[1] == (Function | kExceptionBit))
        return kExceptionReplyLength;
    if (Data[1] != Function)
        return -1;
    if (HasFixedLength(Function))
        return kEchoReplyLength;
    if (Count < 3)
        return 0;
    return 5 + Data[2];
}

bool IsWholeReply(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count)
{
    const int length = WholeReplyLength(Address, Function, Data, Count);
    return length > 0 && Count == static_cast<std::size_t>(length) && CRC16(Data, Count) == 0;
}

namespace {

using KelvorComm32::cpeNo;
using KelvorComm32::cpeWait;
using KelvorComm32::cpeYes;

// An end test's answer, and with cpeWait the bytes it needs at least before
// it can answer otherwise.
struct TVerdict {
    int End = cpeNo;
    std::size_t More = 0;
};

// What the bytes so far are as a reply whose fields give its length.
TVerdict AsReply(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count)
{
    const int length = WholeReplyLength(Address, Function, Data, Count);
    if (length < 0)
        return {cpeNo};
    constexpr auto kShortest = static_cast<std::size_t>(kExceptionReplyLength);
    if (length == 0) // no reply is shorter than an exception
        return {cpeWait, Count < kShortest ? kShortest - Count : 1};
    if (Count < static_cast<std::size_t>(length))
        return {cpeWait, static_cast<std::size_t>(length) - Count};
    return {Count == static_cast<std::size_t>(length) && CRC16(Data, Count) == 0 ? cpeYes : cpeNo};
}

// What they are as the request's echo.
TVerdict AsEcho(const TByteDynArray& Request, const std::uint8_t* Data, std::size_t Count)
{
    if (Count > Request.size() || std::memcmp(Data, Request.data(), Count) != 0)
        return {cpeNo};
    return Count == Request.size() ? TVerdict{cpeYes} : TVerdict{cpeWait, Request.size() - Count};
}

// Whole as either of them wins; then still able to become one, as soon as
// the nearer of them can.
TVerdict Either(const TVerdict& A, const TVerdict& B)
{
    if (A.End == cpeYes || B.End == cpeYes)
        return {cpeYes};
    if (A.End == cpeWait && B.End == cpeWait)
        return {cpeWait, std::min(A.More, B.More)};
    return A.End == cpeWait ? A : B;
}

using TJudge = std::function<TVerdict(const std::uint8_t* Data, std::size_t Count)>;

TJudge ReplyJudge(const TByteDynArray& Request)
{
    // Address and function, ahead of the CRC.
    if (Request.size() < 4 || (Request[1] & kExceptionBit) != 0)
        return {};
    const std::uint8_t address = Request[0];
    const std::uint8_t function = Request[1];
    return [Request, address, function](const std::uint8_t* Data, std::size_t Count) {
        return Either(AsReply(address, function, Data, Count), AsEcho(Request, Data, Count));
    };
}

} // namespace

TReplyEndTest ReplyEndTest(const TByteDynArray& Request)
{
    TJudge judge = ReplyJudge(Request);
    if (!judge)
        return {};
    return [judge](const std::uint8_t* Data, std::size_t Count) { return judge(Data, Count).End; };
}

KelvorComm32::TCommPackageEndEvent PackageEndTest(const TByteDynArray& Request)
{
    TJudge judge = ReplyJudge(Request);
    if (!judge)
        return {};
    // The bytes still needed let the port leave them to gather.
    return [judge](TObject*, const std::uint8_t* Data, unsigned long Length) {
        const TVerdict v = judge(Data, Length);
        return v.End == cpeWait ? KelvorComm32::cpeWaitFor(v.More) : v.End;
    };
}
